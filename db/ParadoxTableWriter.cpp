#include "db/ParadoxTableWriter.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "db/ParadoxCipher.h"
#include "db/ParadoxFormat.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace vx::db {

using namespace vx::platform;

namespace {

using namespace ParadoxFormat;

constexpr int64_t kDayMs = 86400000;

const TTypeInfo& typeInfo(char letter) {
    if (const TTypeInfo* t = TypeByLetter(letter))
        return *t;
    throw EDBEngineError(Format("Unknown Paradox field type %s", std::string(1, letter)));
}

// A count of rewrites advanced by one; it is never 0 in genuine files, so it
// goes round to 1.
template <typename T> T advanced(T count) {
    const T next = T(count + 1);
    return next ? next : T(1);
}

void putBE(uint8_t* p, uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

// Big-endian with the sign bit flipped, as the file sorts numbers.
void putInt(uint8_t* p, int64_t v, int n) {
    putBE(p, static_cast<uint64_t>(v) ^ (uint64_t(1) << (8 * n - 1)), n);
}

void putDouble(uint8_t* p, double d) {
    uint64_t raw = std::bit_cast<uint64_t>(d);
    raw = (raw & 0x8000000000000000ull) ? ~raw : raw | 0x8000000000000000ull;
    putBE(p, raw, 8);
}

[[noreturn]] void badValue(const TParadoxField& f, const std::string& why) {
    throw EDBEngineError(Format("Value for field %s: %s", f.name, why));
}

int64_t toInt(const TParadoxField& f, const TParadoxValue& v) {
    switch (v.kind) {
    case TParadoxValue::Kind::Int:
        return v.i;
    case TParadoxValue::Kind::Real:
        if (v.d != std::floor(v.d) || std::fabs(v.d) > 9.2e18)
            badValue(f, "not a whole number");
        return static_cast<int64_t>(v.d);
    default: {
        const std::string t = Trim(v.s);
        char* end = nullptr;
        errno = 0;
        const long long n = std::strtoll(t.c_str(), &end, 10);
        if (t.empty() || *end || errno)
            badValue(f, Format("'%s' is not a whole number", v.s));
        return n;
    }
    }
}

double toReal(const TParadoxField& f, const TParadoxValue& v) {
    if (v.kind == TParadoxValue::Kind::Int)
        return double(v.i);
    if (v.kind == TParadoxValue::Kind::Real)
        return v.d;
    const std::string t = Trim(v.s);
    char* end = nullptr;
    const double d = std::strtod(t.c_str(), &end);
    if (t.empty() || *end || !std::isfinite(d))
        badValue(f, Format("'%s' is not a number", v.s));
    return d;
}

// "YYYY-MM-DD" as days from 1 January of year 1 (= 1).
int64_t toDays(const TParadoxField& f, const std::string& s) {
    using namespace std::chrono;
    int y = 0;
    unsigned m = 0, d = 0;
    char tail = 0;
    if (std::sscanf(s.c_str(), "%d-%u-%u%c", &y, &m, &d, &tail) < 3)
        badValue(f, Format("'%s' is not a date", s));
    const year_month_day ymd{year{y}, month{m}, day{d}};
    if (!ymd.ok() || y < 1 || y > 9999)
        badValue(f, Format("'%s' is not a date", s));
    return (sys_days(ymd) - sys_days(year{1} / January / 1)).count() + 1;
}

// "HH:MM:SS[.mmm]" as milliseconds since midnight.
int64_t toMs(const TParadoxField& f, const std::string& s) {
    unsigned h = 0, m = 0, sec = 0, ms = 0;
    const int n = std::sscanf(s.c_str(), "%u:%u:%u.%u", &h, &m, &sec, &ms);
    if (n < 2 || h > 23 || m > 59 || sec > 59 || ms > 999)
        badValue(f, Format("'%s' is not a time", s));
    return ((int64_t(h) * 60 + m) * 60 + sec) * 1000 + ms;
}

// 17 bytes: sign and decimals in the first, then 32 digits in nibbles,
// complemented for a negative number.
void putBcd(uint8_t* p, const TParadoxField& f, const std::string& text) {
    std::string t = Trim(text);
    const bool negative = !t.empty() && t[0] == '-';
    if (!t.empty() && (t[0] == '-' || t[0] == '+'))
        t.erase(0, 1);
    const size_t dot = t.find('.');
    std::string intPart = t.substr(0, dot), frac = dot == std::string::npos ? "" : t.substr(dot + 1);
    const int scale = std::min(f.sizeByte, 32);
    if (t.empty() || intPart.find_first_not_of("0123456789") != std::string::npos ||
        frac.find_first_not_of("0123456789") != std::string::npos)
        badValue(f, Format("'%s' is not a number", text));
    frac.resize(size_t(scale), '0'); // further decimals are cut, as the field holds no more
    intPart.erase(0, std::min(intPart.find_first_not_of('0'), intPart.size()));
    if (intPart.size() + size_t(scale) > 32)
        badValue(f, Format("'%s' has too many digits", text));
    const std::string digits = std::string(32 - scale - intPart.size(), '0') + intPart + frac;
    p[0] = static_cast<uint8_t>((negative ? 0 : 0x80) | scale);
    for (int i = 0; i < 32; ++i) {
        int nib = digits[size_t(i)] - '0';
        if (negative)
            nib = 0x0F - nib;
        uint8_t& b = p[1 + i / 2];
        b = (i % 2) ? uint8_t((b & 0xF0) | nib) : uint8_t(nib << 4);
    }
}

// Where the .DB header's content ends: the offset genuine files record as
// the real header size.
size_t headerContentEnd(const TParadoxLayout& l) {
    size_t n = (l.version >= kFirstV4Version ? kExtHeaderEnd : kFixedHeaderEnd) + 2 * l.fields.size();
    n += kNamePointer + kNamePointer * l.fields.size() + TableNameSlot(l.version);
    for (const auto& f : l.fields)
        n += f.name.size() + 1;
    return n + 2 * l.fields.size() + l.sortOrder.size() + 1;
}

size_t headerBytes(const TParadoxLayout& l) {
    return (headerContentEnd(l) + kHeaderUnit - 1) / kHeaderUnit * kHeaderUnit;
}

// The records split into blocks as full as they go.
std::vector<std::pair<size_t, size_t>> blocksOf(const TParadoxLayout& l, size_t records) {
    const size_t perBlock = (l.blockSize - kBlockHeader) / size_t(l.RecordSize());
    std::vector<std::pair<size_t, size_t>> out;
    for (size_t i = 0; i < records; i += perBlock)
        out.emplace_back(i, std::min(perBlock, records - i));
    return out;
}

// The fields of the .DB and .PX headers that both files share.
void putCommonHeader(uint8_t* h, const TParadoxLayout& l, int recordSize, size_t headerSize, uint8_t fileType,
                     uint32_t blockSize, uint32_t records, size_t blocks) {
    WriteU16LE(h + kRecordSize, uint16_t(recordSize));
    WriteU16LE(h + kHeaderSize, uint16_t(headerSize));
    h[kFileType] = fileType;
    h[kBlockSizeKiB] = uint8_t(blockSize / 1024);
    WriteU32LE(h + kRecordCount, records);
    WriteU16LE(h + kBlocksUsed, uint16_t(blocks));
    WriteU16LE(h + kBlocksTotal, uint16_t(blocks));
    WriteU16LE(h + kFirstBlock, uint16_t(blocks ? 1 : 0));
    WriteU16LE(h + kLastBlock, uint16_t(blocks));
    h[kSortOrderId] = uint8_t(l.sortOrderId);
    h[kVersion] = uint8_t(l.version);
    WriteU16LE(h + kBlocksUsed3A, uint16_t(blocks));
}

// Blocks numbered from 1 on one chain, in file order.
void writeBlockHeader(uint8_t* b, size_t number, size_t count, size_t last, int recordSize) {
    WriteU16LE(b + kBlockNext, uint16_t(number < last ? number + 1 : 0));
    WriteU16LE(b + kBlockPrevious, uint16_t(number - 1));
    WriteU16LE(b + kBlockLastOffset, uint16_t(int16_t((int(count) - 1) * recordSize)));
}

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

// ---- layout --------------------------------------------------------------

TParadoxLayout TParadoxLayout::Of(const TParadoxTable& t) {
    TParadoxLayout l;
    l.fields = t.Fields();
    l.keyFields = t.KeyFieldCount();
    l.version = t.Version();
    l.blockSize = t.BlockSize();
    l.codePage = t.CodePage();
    l.sortOrderId = t.SortOrderId();
    l.sortOrder = t.SortOrder();
    l.key = t.Key();
    l.autoIncrement = t.AutoIncrement();
    l.fileName = baseName(t.Path());
    l.stamps = t.Stamps();
    // The index's own counts, when it has one in the usual spelling (an
    // index not found here is written with new counts, which readers accept).
    if (l.keyFields) {
        const std::string& path = t.Path();
        const size_t dot = path.rfind('.');
        const std::string stem = dot == std::string::npos ? path : path.substr(0, dot);
        for (const char* ext : {".PX", ".px"}) {
            std::ifstream in(stem + ext, std::ios::binary);
            uint8_t h[kFixedHeaderEnd];
            if (in.read(reinterpret_cast<char*>(h), sizeof h) && h[kFileType] == kTypeIndex) {
                l.indexChanges12 = ReadU16LE(h + kChangeCount12);
                l.indexMark49 = ReadU32LE(h + kAutoIncrement);
                break;
            }
        }
    }
    return l;
}

// Genuine tables pair a 16 KiB-block table with a 2 KiB-block index and a
// 2 KiB-block table with a 4 KiB-block one. Index blocks of 4 KiB hold some
// 400 entries of a short key, so the tables of a shop (2 to 8 KiB blocks,
// tens of thousands of records) keep an index of one level, the form every
// reader takes; beside 16 KiB blocks there are eight times fewer entries and
// 2 KiB serve as well.
uint32_t TParadoxLayout::IndexBlockSize() const {
    size_t entry = kIndexEntryTail;
    for (int i = 0; i < keyFields && size_t(i) < fields.size(); ++i)
        entry += size_t(fields[size_t(i)].size);
    uint32_t size = blockSize >= 16384 ? 2048 : 4096;
    while (size < 32768 && (size - kBlockHeader) / entry < 4) // a long key takes larger blocks
        size *= 2;
    return size;
}

int TParadoxLayout::Arrange() {
    int offset = 0;
    for (auto& f : fields) {
        f.offset = offset;
        offset += f.size;
    }
    return offset;
}

int TParadoxLayout::RecordSize() const {
    int n = 0;
    for (const auto& f : fields)
        n += f.size;
    return n;
}

void TParadoxLayout::ChooseVersion() {
    int level = 4;
    for (const auto& f : fields)
        level = std::max(level, typeInfo(f.type).level);
    version = level == 4 ? 0x09 : 0x0B;
}

TParadoxField ParadoxFieldFromSql(const std::string& name, const std::string& sqlType) {
    // The type's name and its numbers in parentheses: "Varchar(40)", "BLOB(10, 1)".
    const std::string t = Trim(sqlType);
    const size_t open = t.find('(');
    const std::string base = UpperCase(Trim(t.substr(0, open)));
    std::vector<int> args;
    if (open != std::string::npos) {
        const size_t close = t.find(')', open);
        if (close == std::string::npos || Trim(t.substr(close + 1)) != "")
            throw EDBEngineError(Format("Invalid field type %s for field %s", sqlType, name));
        std::stringstream in(t.substr(open + 1, close - open - 1));
        std::string part;
        while (std::getline(in, part, ',')) {
            const std::string p = Trim(part);
            if (p.empty() || p.size() > 9 || p.find_first_not_of("0123456789") != std::string::npos)
                throw EDBEngineError(Format("Invalid field type %s for field %s", sqlType, name));
            args.push_back(std::stoi(p));
        }
    }
    auto arg = [&](size_t i, int def) { return i < args.size() ? args[i] : def; };
    TParadoxField f;
    f.name = name;
    if (name.empty() || name.size() > 25)
        throw EDBEngineError(Format("Field name %s is not 1 to 25 characters long", name));
    int size = 0;
    if (base == "SMALLINT" || base == "SHORT")
        f.type = 'S';
    else if (base == "INTEGER" || base == "INT" || base == "LONG" || base == "LONGINT")
        f.type = 'I';
    else if (base == "DECIMAL") {
        f.type = '#';
        size = arg(1, 0); // the size byte of a BCD field holds its decimals
        if (size > 32 || arg(0, 32) > 32)
            throw EDBEngineError(Format("Invalid field type %s for field %s", sqlType, name));
    } else if (base == "NUMERIC" || base == "FLOAT" || base == "NUMBER" || base == "DOUBLE" || base == "REAL")
        f.type = 'N';
    else if (base == "CHAR" || base == "VARCHAR" || base == "ALPHA" || base == "CHARACTER") {
        f.type = 'A';
        size = arg(0, 1);
        if (size < 1 || size > 255)
            throw EDBEngineError(Format("Invalid size in %s for field %s (1 to 255)", sqlType, name));
    } else if (base == "DATE")
        f.type = 'D';
    else if (base == "BOOLEAN" || base == "LOGICAL")
        f.type = 'L';
    else if (base == "BLOB" || base == "MEMO" || base == "GRAPHIC" || base == "BINARY") {
        static const char kSubtypes[] = {'M', 'B', 'F', 'O', 'G'};
        const int subtype = base == "MEMO" ? 1 : base == "GRAPHIC" ? 5 : arg(1, 2);
        if (subtype < 1 || subtype > 5)
            throw EDBEngineError(Format("Invalid BLOB subtype in %s for field %s", sqlType, name));
        f.type = kSubtypes[subtype - 1];
        const int leader = arg(0, 1);
        if (leader < 1 || leader > 240)
            throw EDBEngineError(Format("Invalid size in %s for field %s (1 to 240)", sqlType, name));
        size = leader + int(kMemoPointer);
    } else if (base == "TIME")
        f.type = 'T';
    else if (base == "TIMESTAMP" || base == "DATETIME")
        f.type = '@';
    else if (base == "MONEY" || base == "CURRENCY")
        f.type = '$';
    else if (base == "AUTOINC" || base == "AUTOINCREMENT")
        f.type = '+';
    else if (base == "BYTES") {
        f.type = 'Y';
        size = arg(0, 1);
        if (size < 1 || size > 255)
            throw EDBEngineError(Format("Invalid size in %s for field %s (1 to 255)", sqlType, name));
    } else
        throw EDBEngineError(Format("Field type %s of field %s has no Paradox equivalent", sqlType, name));
    const TTypeInfo& info = typeInfo(f.type);
    f.code = info.code;
    f.sizeByte = size;
    f.size = info.fixed ? info.fixed : size;
    if (!info.fixed)
        f.sizeByte = size;
    else if (f.type != '#')
        f.sizeByte = info.fixed;
    return f;
}

// ---- values --------------------------------------------------------------

std::string EncodeParadoxValue(const TParadoxTable& table, const TParadoxField& f, const TParadoxValue& v,
                               TParadoxMemoFile* memo) {
    if ((f.type == 'A' || f.type == 'M' || f.type == 'F') && v.kind == TParadoxValue::Kind::Text) {
        TParadoxValue converted = v;
        converted.s = table.FromAnsi(v.s);
        return EncodeParadoxValue(f, converted, memo);
    }
    return EncodeParadoxValue(f, v, memo);
}

std::string EncodeParadoxValue(const TParadoxField& f, const TParadoxValue& v, TParadoxMemoFile* memo) {
    std::string out(size_t(f.size), '\0');
    auto* p = reinterpret_cast<uint8_t*>(out.data());
    if (v.kind == TParadoxValue::Kind::Null)
        return out;
    auto text = [&] {
        if (v.kind == TParadoxValue::Kind::Int)
            return std::to_string(v.i);
        if (v.kind == TParadoxValue::Kind::Real) {
            std::ostringstream s;
            s.precision(17);
            s << v.d;
            return s.str();
        }
        return v.s;
    };
    switch (f.type) {
    case 'A': {
        const std::string s = text();
        if (s.size() > size_t(f.size))
            badValue(f, Format("'%s' is longer than %d characters", s, f.size));
        std::memcpy(p, s.data(), s.size());
        break;
    }
    case 'S':
    case 'I':
    case '+': {
        const int64_t n = toInt(f, v);
        const int64_t limit = f.type == 'S' ? 32767 : 2147483647;
        if (n > limit || n < -limit)
            badValue(f, Format("%s is out of range", std::to_string(n)));
        putInt(p, n, f.size);
        break;
    }
    case 'L': {
        bool b;
        if (v.kind == TParadoxValue::Kind::Text) {
            const std::string s = UpperCase(Trim(v.s));
            if (s == "T" || s == "TRUE" || s == "1" || s == "S" || s == "SIM")
                b = true;
            else if (s == "F" || s == "FALSE" || s == "0" || s == "N" || s == "NAO")
                b = false;
            else
                badValue(f, Format("'%s' is not true or false", v.s));
        } else
            b = toReal(f, v) != 0;
        p[0] = b ? 0x81 : 0x80;
        break;
    }
    case '$':
    case 'N':
        putDouble(p, toReal(f, v));
        break;
    case 'D':
        putInt(p, toDays(f, text()), 4);
        break;
    case 'T':
        putInt(p, toMs(f, text()), 4);
        break;
    case '@': {
        const std::string s = text();
        const size_t blank = s.find_first_of(" T", 4);
        const int64_t ms = blank == std::string::npos ? 0 : toMs(f, s.substr(blank + 1));
        putDouble(p, double(toDays(f, s.substr(0, blank)) * kDayMs + ms));
        break;
    }
    case '#':
        putBcd(p, f, text());
        break;
    case 'Y':
        if (v.s.size() > size_t(f.size))
            badValue(f, Format("%d bytes do not fit %d", int(v.s.size()), f.size));
        std::memcpy(p, v.s.data(), v.s.size());
        break;
    default: { // memo and binary: values that fit the leader are kept in the record
        const std::string s = v.kind == TParadoxValue::Kind::Blob ? v.s : text();
        const size_t leader = size_t(f.size) - kMemoPointer;
        if (s.size() > leader) {
            if (!memo)
                badValue(f, Format("%d bytes are more than the %d the record holds and there is no memo file",
                                   int(s.size()), int(leader)));
            // The leader holds the value's start, the memo file all of it.
            std::memcpy(p, s.data(), leader);
            WriteU32LE(p + leader, memo->Add(s));
            WriteU16LE(p + leader + 8, 1); // the modification number its block carries
        } else {
            std::memcpy(p, s.data(), s.size());
        }
        WriteU32LE(p + leader + 4, uint32_t(s.size()));
    }
    }
    return out;
}

// ---- files ---------------------------------------------------------------

std::vector<uint8_t> BuildParadoxData(const TParadoxLayout& l, const std::vector<std::string>& records) {
    const int recordSize = l.RecordSize();
    const size_t headerSize = headerBytes(l);
    const auto blocks = blocksOf(l, records.size());
    std::vector<uint8_t> out(headerSize + blocks.size() * l.blockSize, 0);
    uint8_t* h = out.data();
    putCommonHeader(h, l, recordSize, headerSize, l.keyFields ? kTypeKeyed : kTypeUnkeyed, l.blockSize,
                    uint32_t(records.size()), blocks.size());
    WriteU16LE(h + kChangeCount12, advanced(l.stamps.changes12));
    WriteU16LE(h + kFieldCount, uint16_t(l.fields.size()));
    WriteU16LE(h + kKeyFieldCount, uint16_t(l.keyFields));
    const bool v4 = l.version >= kFirstV4Version;
    WriteU32LE(h + kKeyV3, v4 ? kV4KeyMark : l.key);
    h[kChangeCount2D] = advanced(l.stamps.changes2D);
    h[kChangeCount2E] = advanced(l.stamps.changes2E);
    h[0x3E] = 0x1F;
    h[0x3F] = 0x0F;
    WriteU32LE(h + kAutoIncrement, l.autoIncrement);
    WriteU16LE(h + kRealHeaderSize, uint16_t(headerContentEnd(l)));
    h[0x56] = 0x20;
    size_t pos = kFixedHeaderEnd;
    if (v4) {
        size_t names = 0;
        for (const auto& f : l.fields)
            names += f.name.size() + 1;
        const size_t namesSize = NamesSize(l.version, l.fields.size(), names);
        const int64_t now = l.changeTime ? l.changeTime : int64_t(std::time(nullptr));
        WriteU16LE(h + kVersionWord1, uint16_t(0x0100 | l.version));
        WriteU16LE(h + kVersionWord2, uint16_t(0x0100 | l.version));
        WriteU32LE(h + kKeyV4, l.key);
        WriteU32LE(h + kChangeTime, uint32_t(now));
        WriteU16LE(h + kAuxFieldCount, uint16_t(l.fields.size() + 1));
        WriteU16LE(h + kNamesSize, uint16_t(namesSize));
        WriteU16LE(h + kCodePage, uint16_t(l.codePage));
        h[0x6C] = 0x01;
        h[0x6D] = 0x01;
        WriteU16LE(h + kNamesSizeNumbers, uint16_t(namesSize + 2 * l.fields.size()));
        // 1 or 2 in genuine files; what raises it is not known, so it is kept.
        WriteU16LE(h + kChangeCount70, l.stamps.changes70 ? l.stamps.changes70 : 1);
        pos = kExtHeaderEnd;
    }
    for (const auto& f : l.fields) {
        h[pos++] = f.code;
        h[pos++] = uint8_t(f.sizeByte);
    }
    pos += kNamePointer + kNamePointer * l.fields.size();
    const size_t slot = TableNameSlot(l.version);
    std::memcpy(h + pos, l.fileName.data(), std::min(l.fileName.size(), slot - 1));
    pos += slot;
    for (const auto& f : l.fields) {
        std::memcpy(h + pos, f.name.data(), f.name.size());
        pos += f.name.size() + 1;
    }
    for (size_t i = 0; i < l.fields.size(); ++i, pos += 2)
        WriteU16LE(h + pos, uint16_t(i + 1));
    std::memcpy(h + pos, l.sortOrder.data(), l.sortOrder.size());

    for (size_t b = 0; b < blocks.size(); ++b) {
        uint8_t* block = out.data() + headerSize + b * l.blockSize;
        const auto [first, count] = blocks[b];
        writeBlockHeader(block, b + 1, count, blocks.size(), recordSize);
        for (size_t r = 0; r < count; ++r)
            std::memcpy(block + kBlockHeader + r * size_t(recordSize), records[first + r].data(),
                        size_t(recordSize));
        if (l.key)
            ParadoxCipher::EncryptBlock(block, l.blockSize, l.key, uint32_t(b + 1));
    }
    return out;
}

std::vector<uint8_t> BuildParadoxIndex(const TParadoxLayout& l, const std::vector<std::string>& records) {
    size_t keyBytes = 0;
    for (int i = 0; i < l.keyFields; ++i)
        keyBytes += size_t(l.fields[size_t(i)].size);
    const size_t entrySize = keyBytes + kIndexEntryTail;
    const uint32_t blockSize = l.IndexBlockSize();
    const auto dataBlocks = blocksOf(l, records.size());

    // One entry per data block: the key of its first record, the block's
    // number and its count of records. When they do not fit one index block
    // they fill leaf blocks under one root block of an entry per leaf.
    struct Entry {
        std::string key;
        size_t block, count;
    };
    const size_t perBlock = (blockSize - kBlockHeader) / entrySize;
    std::vector<std::vector<Entry>> blocks;
    size_t covered = 0; // records under the last leaf
    for (size_t b = 0; b < dataBlocks.size(); ++b) {
        const size_t count = dataBlocks[b].second;
        // A root entry counts its leaf's records in 15 bits. What the genuine
        // engine writes above a leaf of more than 32,767 records was never
        // seen; a leaf is closed before it covers more, so that every count
        // in the index is true and a reader that sums them is not misled.
        if (blocks.empty() || blocks.back().size() == perBlock || covered + count > size_t(kIndexCountMax)) {
            blocks.emplace_back();
            covered = 0;
        }
        blocks.back().push_back({records[dataBlocks[b].first].substr(0, keyBytes), b + 1, count});
        covered += count;
    }
    int levels = blocks.empty() ? 0 : 1;
    if (blocks.size() > 1) {
        if (blocks.size() > perBlock)
            throw EDBEngineError(Format("Table %s has too many blocks for its index", l.fileName));
        std::vector<Entry> root;
        for (size_t b = 0; b < blocks.size(); ++b) {
            size_t count = 0;
            for (const auto& e : blocks[b])
                count += e.count;
            root.push_back({blocks[b].front().key, b + 1, count});
        }
        blocks.push_back(std::move(root));
        levels = 2;
    }
    // As in genuine indexes of two levels: the header counts every entry,
    // leaves' and root's, and every block, the root (written last) included,
    // is on one chain whose tail the header names.
    size_t entries = 0;
    for (const auto& b : blocks)
        entries += b.size();

    std::vector<uint8_t> out(kHeaderUnit + blocks.size() * blockSize, 0);
    uint8_t* h = out.data();
    putCommonHeader(h, l, int(entrySize), kHeaderUnit, kTypeIndex, blockSize, uint32_t(entries),
                    blocks.size());
    WriteU16LE(h + kChangeCount12, advanced(l.indexChanges12));
    WriteU16LE(h + kIndexRoot, uint16_t(blocks.empty() ? 1 : blocks.size()));
    h[kIndexLevels] = uint8_t(levels);
    WriteU16LE(h + kFieldCount, uint16_t(l.keyFields));
    // pxlib decrypts an index by the key here, with the table's cipher: the
    // index has no extended header for the key to move to.
    WriteU32LE(h + kKeyV3, l.key);
    h[kIndexStamp] = advanced(l.stamps.changes2D); // the .DB's count at 0x2D, as written beside it
    WriteU32LE(h + kAutoIncrement, l.indexMark49 ? l.indexMark49 : 1);
    size_t pos = kFixedHeaderEnd;
    for (int i = 0; i < l.keyFields; ++i) {
        h[pos++] = l.fields[size_t(i)].code;
        h[pos++] = uint8_t(l.fields[size_t(i)].sizeByte);
    }
    pos += kNamePointer;
    std::string name = l.fileName;
    const size_t dot = name.rfind('.');
    name = (dot == std::string::npos ? name : name.substr(0, dot)) + ".PX";
    const size_t slot = TableNameSlot(l.version);
    std::memcpy(h + pos, name.data(), std::min(name.size(), slot - 1));
    WriteU16LE(h + kRealHeaderSize, uint16_t(pos + slot));

    for (size_t b = 0; b < blocks.size(); ++b) {
        uint8_t* block = out.data() + kHeaderUnit + b * blockSize;
        writeBlockHeader(block, b + 1, blocks[b].size(), blocks.size(), int(entrySize));
        uint8_t* e = block + kBlockHeader;
        for (const auto& entry : blocks[b]) {
            std::memcpy(e, entry.key.data(), entry.key.size());
            putInt(e + keyBytes, int64_t(entry.block), 2);
            putInt(e + keyBytes + 2, int64_t(entry.count), 2);
            putInt(e + keyBytes + 4, 0, 2);
            e += entrySize;
        }
        if (l.key)
            ParadoxCipher::EncryptBlock(block, blockSize, l.key, uint32_t(b + 1));
    }
    return out;
}

std::vector<uint8_t> BuildEmptyMemoFile(uint32_t key) {
    std::vector<uint8_t> out(kMemoChunk, 0);
    std::memcpy(out.data(), kMemoHeaderStart, sizeof kMemoHeaderStart);
    if (key)
        ParadoxCipher::EncryptMemo(out.data(), out.size(), key);
    return out;
}

void TParadoxMemoFile::load() {
    if (loaded_)
        return;
    loaded_ = true;
    if (!oldPath_.empty()) {
        std::ifstream in(oldPath_, std::ios::binary);
        if (!in)
            throw EDBEngineError(Format("Cannot open file %s", Utf8ToAnsi(oldPath_)));
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
    }
    if (bytes_.empty())
        bytes_ = BuildEmptyMemoFile(key_);
    // Values go in whole 4 KiB blocks: a file cut short is made whole.
    bytes_.resize((bytes_.size() + kMemoChunk - 1) / kMemoChunk * kMemoChunk, 0);
}

// Every value goes into blocks of its own (type 2), which every reader of
// the format takes; the genuine engine shares blocks among values shorter
// than 2 KiB, which only saves room. The blocks of values a rewrite no
// longer refers to stay in the file unused.
uint32_t TParadoxMemoFile::Add(const std::string& value) {
    load();
    const size_t chunks = (kMemoSingleData + value.size() + kMemoChunk - 1) / kMemoChunk;
    const size_t at = bytes_.size();
    if (chunks > 0xFFFF || value.size() > 0xFFFFFFFFu || at + chunks * kMemoChunk > 0xFFFFFF00u)
        throw EDBEngineError(Format("A value of %d bytes does not fit the memo file %s",
                                    int64_t(value.size()), Utf8ToAnsi(oldPath_)));
    bytes_.resize(at + chunks * kMemoChunk, 0);
    uint8_t* b = bytes_.data() + at;
    b[0] = kMemoSingle;
    WriteU16LE(b + 1, uint16_t(chunks));
    WriteU32LE(b + 3, uint32_t(value.size()));
    WriteU16LE(b + 7, 1);
    std::memcpy(b + kMemoSingleData, value.data(), value.size());
    if (key_)
        ParadoxCipher::EncryptMemo(b, chunks * kMemoChunk, key_);
    changed_ = true;
    return uint32_t(at) | kMemoSingleIndex;
}

std::vector<uint8_t> TParadoxMemoFile::Bytes() {
    load();
    return bytes_;
}

void TParadoxMemoFile::RollBack(size_t mark) {
    if (!mark) { // as before the first value
        loaded_ = changed_ = false;
        bytes_.clear();
    } else if (mark < bytes_.size()) {
        bytes_.resize(mark);
    }
}

// ---- companions ------------------------------------------------------------

std::string ParadoxCompanionFile(const std::string& dataPath, const std::string& ext) {
    const size_t slash = dataPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : dataPath.substr(0, slash);
    const std::string name = dataPath.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::string stem = name.substr(0, name.rfind('.'));
    for (const auto& e : ListDirectory(folder)) {
        const size_t d = e.rfind('.');
        if (d != std::string::npos && SameText(e.substr(0, d), stem) && SameText(e.substr(d), ext))
            return folder + "/" + e;
    }
    return NewParadoxCompanionFile(dataPath, ext);
}

std::string NewParadoxCompanionFile(const std::string& dataPath, const std::string& ext) {
    const size_t slash = dataPath.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : dataPath.substr(0, slash);
    const std::string name = dataPath.substr(slash == std::string::npos ? 0 : slash + 1);
    const size_t dot = name.rfind('.');
    const std::string stem = name.substr(0, dot), dataExt = dot == std::string::npos ? "" : name.substr(dot);
    // A new companion is spelt in the letter case of the data file's extension.
    const bool lower = !dataExt.empty() && dataExt == LowerCase(dataExt);
    return folder + "/" + stem + (lower ? LowerCase(ext) : UpperCase(ext));
}

} // namespace vx::db
