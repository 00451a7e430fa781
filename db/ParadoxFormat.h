// The Paradox file format as both the reader and the writer of tables know
// it: header offsets, the field types, the block header, the memo file's
// blocks and the file versions. One description, so that what the writer
// puts where is what the reader takes from there.
//
// Header values are little-endian; record data is big-endian with the sign
// bit flipped (see the reader and the writer's value coding).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx::db {

namespace ParadoxFormat {

// ---- file versions (the byte at 0x39) ---------------------------------------
// 3 = 3.0, 4 = 3.5, 5..9 = 4.x, 10-11 = 5.x, 12 = 7.x
constexpr int kFirstV4Version = 5;  // the extended header at 0x58..0x78
constexpr int kFirstV7Version = 12; // a 261-byte table name slot instead of 79
constexpr int kVersionLevel4 = 0x09;
constexpr int kVersionLevel5 = 0x0B;

// ---- the header every file (.DB and .PX) begins with ------------------------
constexpr size_t kRecordSize = 0x00;     // u16
constexpr size_t kHeaderSize = 0x02;     // u16, a multiple of kHeaderUnit
constexpr size_t kFileType = 0x04;       // u8, see kType*
constexpr size_t kBlockSizeKiB = 0x05;   // u8
constexpr size_t kRecordCount = 0x06;    // u32 (.PX: every index record, leaves and root)
constexpr size_t kBlocksUsed = 0x0A;     // u16
constexpr size_t kBlocksTotal = 0x0C;    // u16
constexpr size_t kFirstBlock = 0x0E;     // u16
constexpr size_t kLastBlock = 0x10;      // u16, the tail of the block chain
constexpr size_t kChangeCount12 = 0x12;  // u16, never 0 in genuine files: counts rewrites
constexpr size_t kIndexRoot = 0x1E;      // u16, .PX: the root block
constexpr size_t kIndexLevels = 0x20;    // u8, .PX
constexpr size_t kFieldCount = 0x21;     // u16 (.PX: key fields)
constexpr size_t kKeyFieldCount = 0x23;  // u16
constexpr size_t kKeyV3 = 0x25;          // u32, the key (or kV4KeyMark)
constexpr size_t kSortOrderId = 0x29;    // u8
constexpr size_t kIndexStamp = 0x2C;     // u8, .PX: its table's kChangeCount2D
constexpr size_t kChangeCount2D = 0x2D;  // u8
constexpr size_t kChangeCount2E = 0x2E;  // u8
constexpr size_t kVersion = 0x39;        // u8
constexpr size_t kBlocksUsed3A = 0x3A;   // u16
constexpr size_t kAutoIncrement = 0x49;  // u32 (.PX: a small non-zero value, meaning unknown)
constexpr size_t kRealHeaderSize = 0x51; // u16, where the header's content ends
constexpr size_t kFixedHeaderEnd = 0x58; // the field descriptions of 3.x tables and of every .PX

// The extended header of data files from version 4 on. Genuine tables of
// level 4 fill in the time and sizes below as those of level 5 and 7 do.
constexpr size_t kVersionWord1 = 0x58;     // u16, 0x100 | version
constexpr size_t kVersionWord2 = 0x5A;     // u16, 0x100 | version
constexpr size_t kKeyV4 = 0x5C;            // u32
constexpr size_t kChangeTime = 0x60;       // u32, Unix time of the last change
constexpr size_t kAuxFieldCount = 0x64;    // u16, fields + 1
constexpr size_t kNamesSize = 0x66;        // u16, see NamesSize()
constexpr size_t kCodePage = 0x6A;         // u16
constexpr size_t kNamesSizeNumbers = 0x6E; // u16, NamesSize() + 2 per field
constexpr size_t kChangeCount70 = 0x70;    // u16, 1 or 2 in genuine files (0 in one)
constexpr size_t kExtHeaderEnd = 0x78;     // the field descriptions from version 4 on

constexpr uint32_t kV4KeyMark = 0xFF00FF00u; // at kKeyV3: the key is at kKeyV4
constexpr size_t kHeaderUnit = 2048;

constexpr uint8_t kTypeKeyed = 0;
constexpr uint8_t kTypeIndex = 1;
constexpr uint8_t kTypeUnkeyed = 2;

// After the field types and sizes (2 bytes a field): a pointer to the table
// name and (data files only) one per field, meaningful only in memory; the
// table name in a slot of fixed size; the NUL-ended field names; a number a
// field; the NUL-ended name of the sort order.
constexpr size_t kNamePointer = 4;
constexpr size_t TableNameSlot(int version) {
    return version >= kFirstV7Version ? 261 : 79;
}
// The value genuine files hold at kNamesSize: 0x20 + 6 a field + 4 + the
// table name slot + every field name with its NUL.
constexpr size_t NamesSize(int version, size_t fields, size_t namesWithNuls) {
    return 0x20 + 6 * fields + 4 + TableNameSlot(version) + namesWithNuls;
}

// ---- blocks -------------------------------------------------------------------
// Every block of a .DB or .PX begins with the next and previous block's
// numbers (0: none) and the offset of its last record (-recordSize: empty).
constexpr size_t kBlockNext = 0;
constexpr size_t kBlockPrevious = 2;
constexpr size_t kBlockLastOffset = 4;
constexpr size_t kBlockHeader = 6;
// An index entry: the key fields, then block number, record count and an
// unused word, each 16 bits stored as the data's integers are.
constexpr size_t kIndexEntryTail = 6;
constexpr int kIndexCountMax = 32767;

// ---- field types --------------------------------------------------------------
struct TTypeInfo {
    char letter;
    uint8_t code;
    int fixed; // bytes in the record, 0 when the size byte gives them
    int level; // the lowest table level that has the type
};
constexpr TTypeInfo kTypes[] = {{'A', 0x01, 0, 4}, {'D', 0x02, 4, 4}, {'S', 0x03, 2, 4}, {'I', 0x04, 4, 5},
                                {'$', 0x05, 8, 4}, {'N', 0x06, 8, 4}, {'L', 0x09, 1, 5}, {'M', 0x0C, 0, 4},
                                {'B', 0x0D, 0, 4}, {'F', 0x0E, 0, 4}, {'O', 0x0F, 0, 4}, {'G', 0x10, 0, 4},
                                {'T', 0x14, 4, 5}, {'@', 0x15, 8, 5}, {'+', 0x16, 4, 5}, {'#', 0x17, 17, 5},
                                {'Y', 0x18, 0, 5}};
constexpr const TTypeInfo* TypeByCode(uint8_t code) {
    for (const auto& t : kTypes)
        if (t.code == code)
            return &t;
    return nullptr;
}
constexpr const TTypeInfo* TypeByLetter(char letter) {
    for (const auto& t : kTypes)
        if (t.letter == letter)
            return &t;
    return nullptr;
}
constexpr bool IsBlobType(char t) {
    return t == 'M' || t == 'B' || t == 'F' || t == 'O' || t == 'G';
}

// ---- memo and blob values -------------------------------------------------------
// A blob field ends with where the value lies in the memo file: a u32 offset
// (the block's offset, its low byte the entry of a sub-allocated block or
// 0xFF for a block of its own), a u32 length and a u16 modification number.
// The bytes before them (the leader) hold the value's start, or all of a
// value that fits.
constexpr size_t kMemoPointer = 10;
constexpr uint32_t kMemoChunk = 4096; // the memo file's unit
constexpr uint8_t kMemoHeaderBlock = 0;
constexpr uint8_t kMemoSingle = 2;       // a value in blocks of its own
constexpr uint8_t kMemoSuballocated = 3; // small values sharing a block
constexpr uint8_t kMemoSingleIndex = 0xFF;
constexpr size_t kMemoSingleData = 9;   // type, chunks (u16), length (u32), modification number (u16)
constexpr size_t kMemoSubEntries = 12;  // first entry of a sub-allocated block's array
constexpr size_t kMemoSubEntrySize = 5; // offset/16, length/16, modification, length%16
// The first 0x2B bytes of the header block of every genuine memo file: the
// block's type and size in 4 KiB units, its modification count (1 after a
// restructure), then sizes the engine that made them allocates by.
constexpr uint8_t kMemoHeaderStart[] = {0x00, 0x01, 0x00, 0x01, 0x00, 0x82, 0x73, 0x02, 0x00, 0x29, 0x00,
                                        0x00, 0x10, 0x00, 0x10, 0x00, 0x10, 0x40, 0x00, 0x00, 0x08, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA1, 0x02};

} // namespace ParadoxFormat

} // namespace vx::db
