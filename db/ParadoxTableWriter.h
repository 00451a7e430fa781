// Writing Paradox tables: the layout of a table (what its header says), the
// images of its files (.DB with its blocks, .PX primary index, .MB memo file),
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

namespace vx::db {

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
    // What the old files' headers hold (all 0 for a new table): counts of
    // rewrites, advanced by one in the files written.
    TParadoxStamps stamps;
    uint16_t indexChanges12 = 0; // the .PX's own count at 0x12
    uint32_t indexMark49 = 0;    // the .PX's value at 0x49 (non-zero, meaning unknown)
    int64_t changeTime = 0;      // Unix time written as the time of the last change; 0: now

    // The layout of an existing table.
    static TParadoxLayout Of(const TParadoxTable& t);
    // Sets every field's offset; returns the record size.
    int Arrange();
    int RecordSize() const;
    // The lowest table level that holds these field types.
    void ChooseVersion();
    // The primary index's block size.
    uint32_t IndexBlockSize() const;
};

// The memo file (.MB) of a table as it will be written: the old file's
// bytes, or a new file's header block, and after them the values added,
// each in blocks of its own. The old file is read at the first value added.
class TParadoxMemoFile {
public:
    // `oldPath` empty: a new memo file.
    TParadoxMemoFile(std::string oldPath, uint32_t key) : oldPath_(std::move(oldPath)), key_(key) {}
    // Stores a value; returns the offset word of the field's pointer.
    uint32_t Add(const std::string& value);
    bool Changed() const { return changed_; }
    // The file's bytes (a new file's header block when nothing was added).
    std::vector<uint8_t> Bytes();
    // A point to come back to: the values added after it are forgotten by
    // RollBack.
    size_t Mark() const { return changed_ ? bytes_.size() : 0; }
    void RollBack(size_t mark);

private:
    void load();
    std::string oldPath_;
    uint32_t key_;
    bool loaded_ = false, changed_ = false;
    std::vector<uint8_t> bytes_;
};

// A field from an SQL type text: SMALLINT, INTEGER, DECIMAL(x,y),
// NUMERIC(x,y), FLOAT(x,y), CHAR(n), VARCHAR(n), DATE, BOOLEAN, BLOB(n,s),
// TIME, TIMESTAMP, MONEY, AUTOINC, BYTES(n), and the Paradox type names.
// An unknown type or a size out of range raises EDBEngineError.
TParadoxField ParadoxFieldFromSql(const std::string& name, const std::string& sqlType);

// The record bytes of one value (size of the field). Text is CP1252 and goes
// through the table's code page. A value that does not fit raises; so does
// a memo or blob value longer than its field's leader when there is no
// memo file to put it in.
std::string EncodeParadoxValue(const TParadoxTable& table, const TParadoxField& f, const TParadoxValue& v,
                               TParadoxMemoFile* memo = nullptr);
std::string EncodeParadoxValue(const TParadoxField& f, const TParadoxValue& v,
                               TParadoxMemoFile* memo = nullptr);

// File images.
std::vector<uint8_t> BuildParadoxData(const TParadoxLayout& layout, const std::vector<std::string>& records);
// The primary index of a keyed table over the same blocks BuildParadoxData
// lays out.
std::vector<uint8_t> BuildParadoxIndex(const TParadoxLayout& layout, const std::vector<std::string>& records);
// A new memo file: its header block, as genuine memo files begin.
std::vector<uint8_t> BuildEmptyMemoFile(uint32_t key);

// The file beside a table with that extension (".PX", ".MB"), found without
// regard to case; a name for a new one when there is none.
std::string ParadoxCompanionFile(const std::string& dataPath, const std::string& ext);
// The name ParadoxCompanionFile gives a companion the folder does not have.
std::string NewParadoxCompanionFile(const std::string& dataPath, const std::string& ext);

} // namespace vx::db
