// Writing Paradox tables: the layout of a table (what its header says), the
// images of its files (.DB with its blocks, .PX primary index, empty .MB),
// the encoding of values into record bytes, and the way new files take the
// place of a table's old ones.
//
// A table is always written whole into new files, which ReplaceParadoxFiles
// (db/ParadoxCommit.h) puts in place of the old ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/ParadoxCommit.h"
#include "db/ParadoxTable.h"

struct TParadoxLayout {
    std::vector<TParadoxField> fields; // offsets are set by Arrange()
    int keyFields = 0;                 // the first fields, in order
    int version = 0x09;                // 0x09 level 4, 0x0B level 5, 0x0C level 7
    uint32_t blockSize = 2048;
    int codePage = 1252;
    int sortOrderId = 0;
    std::string sortOrder = "ascii";
    uint32_t key = 0; // encryption key, 0 = none
    uint32_t autoIncrement = 0;
    std::string fileName; // the .DB file's own name, as the header records it

    // The layout of an existing table.
    static TParadoxLayout Of(const TParadoxTable& t);
    // Sets every field's offset; returns the record size.
    int Arrange();
    int RecordSize() const;
    // The lowest table level that holds these field types.
    void ChooseVersion();
};

// A field from an SQL type text: SMALLINT, INTEGER, DECIMAL(x,y),
// NUMERIC(x,y), FLOAT(x,y), CHAR(n), VARCHAR(n), DATE, BOOLEAN, BLOB(n,s),
// TIME, TIMESTAMP, MONEY, AUTOINC, BYTES(n), and the Paradox type names.
// An unknown type or a size out of range raises EDBEngineError.
TParadoxField ParadoxFieldFromSql(const std::string& name, const std::string& sqlType);

// The record bytes of one value (size of the field). Text is CP1252 and goes
// through the table's code page. A value that does not fit raises.
std::string EncodeParadoxValue(const TParadoxTable& table, const TParadoxField& f, const TParadoxValue& v);
std::string EncodeParadoxValue(const TParadoxField& f, const TParadoxValue& v);

// File images.
std::vector<uint8_t> BuildParadoxData(const TParadoxLayout& layout, const std::vector<std::string>& records);
// The primary index of a keyed table over the same blocks BuildParadoxData
// lays out.
std::vector<uint8_t> BuildParadoxIndex(const TParadoxLayout& layout, const std::vector<std::string>& records);
std::vector<uint8_t> BuildEmptyMemoFile(uint32_t key);

// The file beside a table with that extension (".PX", ".MB"), found without
// regard to case; a name for a new one when there is none.
std::string ParadoxCompanionFile(const std::string& dataPath, const std::string& ext);
// The name ParadoxCompanionFile gives a companion the folder does not have.
std::string NewParadoxCompanionFile(const std::string& dataPath, const std::string& ext);
