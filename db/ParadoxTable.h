// Reader of Paradox table files (.db, versions 3.0 to 7), with their memo
// files (.mb). Tables are read as stored: the header (whose size is taken
// from the file, never assumed), the field descriptions, and the data
// blocks in the order of their chain from the first block. An encrypted
// table is read when its key is among the keys given (the checksums of the
// session's passwords), and refused by name otherwise.
//
// Every size, count and block number taken from the file is checked against
// the file before use; a damaged file raises EDBEngineError naming it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/DBTypes.h"
#include "platform/CodePage.h"
#include "platform/ReadOnlyFile.h"

namespace vx::db {

using namespace vx::platform;

// One value of a record. Text is CP1252 (converted from the table's code
// page); dates, times and decimals are rendered as text.
struct TParadoxValue {
    enum class Kind { Null, Int, Real, Text, Blob } kind = Kind::Null;
    int64_t i = 0;
    double d = 0;
    std::string s; // Text or Blob bytes
};

struct TParadoxField {
    std::string name; // CP1252
    char type = '?';  // A D S I $ N L M B F O G T @ + # Y
    uint8_t code = 0; // the type byte of the file
    int size = 0;     // bytes in the record
    int sizeByte = 0; // the size as the header gives it (decimals of a # field)
    int offset = 0;   // offset in the record
};

// Counts the header keeps of a table's rewrites, carried over into the
// files that replace it.
struct TParadoxStamps {
    uint16_t changes12 = 0;
    uint8_t changes2D = 0, changes2E = 0;
    uint16_t changes70 = 0;
};

class TParadoxTable {
public:
    // Opens and checks the table; raises EDBEngineError when the file is not
    // a Paradox data table or is damaged.
    explicit TParadoxTable(const std::string& path, const std::vector<uint32_t>& keys = {});
    ~TParadoxTable();
    TParadoxTable(const TParadoxTable&) = delete;
    TParadoxTable& operator=(const TParadoxTable&) = delete;

    // True when the bytes (the file's first bytes, at least 0x58 of them)
    // have the shape of a Paradox table header.
    static bool LooksLikeParadox(const uint8_t* p, size_t n);

    const std::string& Path() const { return path_; }
    // Lets go of the open files (the table's and its memo file), and takes
    // them up again: Windows renames nothing over a file that is open, so a
    // writer that has read all it needs releases them before its new files
    // go in place. Reads between the two fail.
    void ReleaseFile() {
        file_ = TReadOnlyFile();
        memo_ = TReadOnlyFile();
    }
    void ReopenFile() {
        file_ = TReadOnlyFile(path_);
        if (!mbPath_.empty())
            memo_ = TReadOnlyFile(mbPath_);
    }
    const std::vector<TParadoxField>& Fields() const { return fields_; }
    int Version() const { return version_; }   // the byte at 0x39
    int CodePage() const { return codePage_; } // 0 when unknown
    bool Encrypted() const { return key_ != 0; }
    uint32_t Key() const { return key_; }
    bool HasMemoFile() const { return memo_.IsOpen(); }
    const std::string& MemoPath() const { return mbPath_; }
    bool Keyed() const { return keyFields_ > 0; }
    int KeyFieldCount() const { return keyFields_; }
    int RecordSize() const { return recordSize_; }
    uint32_t BlockSize() const { return blockSize_; }
    int SortOrderId() const { return sortOrderId_; }
    const std::string& SortOrder() const { return sortOrder_; }
    uint32_t AutoIncrement() const { return autoInc_; }
    const TParadoxStamps& Stamps() const { return stamps_; }
    // Every record's bytes (decrypted), in stored order.
    std::vector<std::string> RawRecords() const;
    // Text in the table's code page from CP1252, for writing; raises when a
    // character has no place in it.
    std::string FromAnsi(const std::string& s) const;
    // Records found along the block chain.
    int64_t RecordCount() const { return recordCount_; }
    // Opening a table is lenient: a query reads what the block chain holds
    // even where the header disagrees, as the shop's program does. A table
    // about to be written anew must be whole, or records the chain no longer
    // reaches would be lost for good: the records and blocks on the chain
    // agree with the header's counts, every block of the file is on the
    // chain once (or counted free by the header), and the file's size is
    // the header and whole blocks. Raises EDBEngineError
    // "Table <path> is damaged: <what>" otherwise.
    void CheckIntact() const;

    // Forward reader over the records in stored order.
    class Cursor {
    public:
        explicit Cursor(const TParadoxTable& t) : t_(&t) {}
        void Rewind();
        bool Eof() const;
        void Next();
        // Field i of the current record; raises EDBEngineError when a memo
        // it needs is damaged.
        TParadoxValue Value(int i) const;
        int64_t RecordNumber() const { return recNo_; }

    private:
        void load();
        const TParadoxTable* t_;
        size_t block_ = 0; // index into the chain
        int rec_ = 0;      // record within the block
        int64_t recNo_ = 0;
        std::vector<uint8_t> data_;
        bool loaded_ = false;
    };

private:
    struct Block {
        uint16_t number;
        int records;
    };
    [[noreturn]] void fail(const std::string& what) const;
    void readHeader();
    void readFieldNames(const std::vector<uint8_t>& h, size_t pos);
    void walkChain();
    void openMemoFile();
    void readAt(const TReadOnlyFile& file, uint64_t offset, uint8_t* buf, size_t n, const char* what) const;
    std::vector<uint8_t> readBlock(uint16_t number) const;
    std::string readMemo(uint32_t offset, uint32_t length) const;
    std::string toAnsi(const uint8_t* p, size_t n) const;
    TParadoxValue decode(const TParadoxField& f, const uint8_t* p) const;

    std::string path_;
    std::string mbPath_;
    int keyFields_ = 0;
    int sortOrderId_ = 0;
    uint32_t autoInc_ = 0;
    TParadoxStamps stamps_;
    TReadOnlyFile file_;
    TReadOnlyFile memo_;
    uint64_t fileSize_ = 0;
    uint64_t mbSize_ = 0;
    int version_ = 0;
    int codePage_ = 0;
    std::string sortOrder_;
    uint16_t recordSize_ = 0;
    uint16_t headerSize_ = 0;
    uint32_t blockSize_ = 0;
    uint16_t firstBlock_ = 0;
    uint32_t key_ = 0;
    int64_t recordCount_ = 0;
    std::vector<TParadoxField> fields_;
    std::vector<Block> chain_;
    std::unique_ptr<TCodePage> text_; // the table's code page, when the system converts it
};

} // namespace vx::db
