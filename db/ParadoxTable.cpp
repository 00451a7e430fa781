#include "db/ParadoxTable.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "db/ParadoxCipher.h"
#include "db/ParadoxFormat.h"
#include "platform/Text.h"

namespace vx::db {

using namespace vx::platform;

namespace {

using namespace ParadoxFormat;

char typeLetter(uint8_t code) {
    const TTypeInfo* t = TypeByCode(code);
    return t ? t->letter : 0;
}

// The fixed size a type occupies, or 0 when the size byte is the size.
int fixedSize(char type) {
    const TTypeInfo* t = TypeByLetter(type);
    return t ? t->fixed : 0;
}

bool allZero(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i])
            return false;
    return true;
}

uint64_t readBE(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Record data is big-endian with the sign bit flipped, so that the bytes
// sort as the numbers do.
int64_t decodeInt(const uint8_t* p, int n) {
    const uint64_t sign = uint64_t(1) << (8 * n - 1);
    const uint64_t raw = readBE(p, n) ^ sign;
    return (raw & sign) ? static_cast<int64_t>(raw | ~((sign << 1) - 1)) : static_cast<int64_t>(raw);
}

double decodeDouble(const uint8_t* p) {
    uint64_t raw = readBE(p, 8);
    raw = (raw & 0x8000000000000000ull) ? raw ^ 0x8000000000000000ull : ~raw;
    return std::bit_cast<double>(raw);
}

constexpr int64_t kLastDay = 3652059; // 31 December 9999
constexpr int64_t kDayMs = 86400000;

// Days counted from 1 January of year 1 (= day 1).
std::optional<std::string> dateText(int64_t days) {
    using namespace std::chrono;
    if (days < 1 || days > kLastDay)
        return std::nullopt;
    const sys_days d = sys_days(year{1} / January / 1) + std::chrono::days(days - 1);
    const year_month_day ymd(d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buf;
}

std::optional<std::string> timeText(int64_t ms) {
    if (ms < 0 || ms >= kDayMs)
        return std::nullopt;
    char buf[32];
    const int64_t s = ms / 1000;
    if (ms % 1000)
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", int(s / 3600), int(s / 60 % 60), int(s % 60),
                      int(ms % 1000));
    else
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", int(s / 3600), int(s / 60 % 60), int(s % 60));
    return buf;
}

// 17 bytes: the first holds the sign (0x80 set for positive numbers) and the
// number of decimals; then 32 digits, one per nibble, complemented for
// negative numbers. Digits that are not decimal give NULL.
std::optional<std::string> bcdText(const uint8_t* p) {
    const bool negative = !(p[0] & 0x80);
    const int scale = p[0] & 0x3F;
    if (scale > 32)
        return std::nullopt;
    std::string digits;
    for (int i = 2; i < 34; ++i) {
        int nib = (i % 2) ? (p[i / 2] & 0x0F) : (p[i / 2] >> 4);
        if (negative)
            nib = 0x0F - nib;
        if (nib > 9)
            return std::nullopt;
        digits += static_cast<char>('0' + nib);
    }
    std::string intPart = digits.substr(0, 32 - scale), frac = digits.substr(32 - scale);
    intPart.erase(0, intPart.find_first_not_of('0'));
    if (intPart.empty())
        intPart.push_back('0');
    std::string out = intPart + (scale ? "." + frac : "");
    if (negative && out.find_first_not_of("0.") != std::string::npos)
        out = "-" + out;
    return out;
}

} // namespace

bool TParadoxTable::LooksLikeParadox(const uint8_t* p, size_t n) {
    if (n < kFixedHeaderEnd)
        return false;
    const uint16_t rec = ReadU16LE(p + kRecordSize), hdr = ReadU16LE(p + kHeaderSize);
    const uint8_t type = p[kFileType], kib = p[kBlockSizeKiB], ver = p[kVersion];
    return rec > 0 && hdr >= kFixedHeaderEnd && type <= 8 && kib >= 1 && kib <= 32 && ver >= 3 && ver <= 12;
}

TParadoxTable::TParadoxTable(const std::string& path, const std::vector<uint32_t>& keys) : path_(path) {
    file_ = TReadOnlyFile(path);
    if (!file_.IsOpen())
        throw EDBEngineError(Format("Cannot open table %s: %s", path, file_.Error()));
    const int64_t size = file_.Size();
    if (size < 0)
        fail(file_.Error());
    fileSize_ = static_cast<uint64_t>(size);
    readHeader();
    if (key_ && std::find(keys.begin(), keys.end(), key_) == keys.end())
        throw EDBEngineError(
            Format("Table %s is encrypted and no password given to the session opens it", path_));
    walkChain();
    openMemoFile();
}

TParadoxTable::~TParadoxTable() = default;

void TParadoxTable::fail(const std::string& what) const {
    throw EDBEngineError(Format("Corrupt Paradox table %s: %s", path_, what));
}

void TParadoxTable::readAt(const TReadOnlyFile& file, uint64_t offset, uint8_t* buf, size_t n,
                           const char* what) const {
    if (file.ReadAt(offset, buf, n) != static_cast<int64_t>(n))
        fail(Format("%s is past the end of the file", what));
}

void TParadoxTable::readHeader() {
    if (fileSize_ < kFixedHeaderEnd)
        fail("the file is shorter than a table header");
    std::vector<uint8_t> fixed(kFixedHeaderEnd);
    readAt(file_, 0, fixed.data(), fixed.size(), "the header");
    if (!LooksLikeParadox(fixed.data(), fixed.size()))
        fail("the header is not that of a Paradox table");
    headerSize_ = ReadU16LE(&fixed[kHeaderSize]);
    if (headerSize_ > fileSize_)
        fail(Format("the header size %d is past the end of the file", headerSize_));
    std::vector<uint8_t> h(headerSize_);
    readAt(file_, 0, h.data(), h.size(), "the header");

    const uint8_t type = h[kFileType];
    if (type != kTypeKeyed && type != kTypeUnkeyed)
        fail(Format("file type %d is an index, not a data table", type));
    version_ = h[kVersion];
    recordSize_ = ReadU16LE(&h[kRecordSize]);
    blockSize_ = uint32_t(h[kBlockSizeKiB]) * 1024;
    firstBlock_ = ReadU16LE(&h[kFirstBlock]);
    if (recordSize_ > blockSize_ - kBlockHeader)
        fail(Format("record size %d does not fit a block of %d bytes", recordSize_, blockSize_));
    const bool v4 = version_ >= kFirstV4Version;
    size_t pos = v4 ? kExtHeaderEnd : kFixedHeaderEnd;
    if (headerSize_ < pos)
        fail(Format("the header size %d is too small", headerSize_));
    uint32_t keyV3 = ReadU32LE(&h[kKeyV3]);
    key_ = (v4 && keyV3 == kV4KeyMark) ? ReadU32LE(&h[kKeyV4]) : keyV3;
    keyFields_ = ReadU16LE(&h[kKeyFieldCount]);
    sortOrderId_ = h[kSortOrderId];
    autoInc_ = ReadU32LE(&h[kAutoIncrement]);
    stamps_.changes12 = ReadU16LE(&h[kChangeCount12]);
    stamps_.changes2D = h[kChangeCount2D];
    stamps_.changes2E = h[kChangeCount2E];
    if (v4) {
        codePage_ = ReadU16LE(&h[kCodePage]);
        stamps_.changes70 = ReadU16LE(&h[kChangeCount70]);
    }

    const uint16_t count = ReadU16LE(&h[kFieldCount]);
    if (count == 0 || pos + size_t(count) * 2 > headerSize_)
        fail(Format("%d fields do not fit the header", count));
    int offset = 0;
    for (int i = 0; i < count; ++i, pos += 2) {
        TParadoxField f;
        f.code = h[pos];
        f.type = typeLetter(f.code);
        f.size = h[pos + 1];
        f.sizeByte = f.size;
        if (!f.type)
            fail(Format("field %d has the unknown type %d", i + 1, f.code));
        if (fixedSize(f.type) && fixedSize(f.type) != f.size) {
            // Decimal fields record their number of decimals in the size byte.
            if (f.type != '#')
                fail(Format("field %d of type %s has the size %d", i + 1, std::string(1, f.type), f.size));
            f.size = fixedSize(f.type);
        }
        if (f.size == 0 || (IsBlobType(f.type) && f.size < int(kMemoPointer)))
            fail(Format("field %d has the size %d", i + 1, f.size));
        f.offset = offset;
        offset += f.size;
        fields_.push_back(f);
    }
    if (offset != recordSize_)
        fail(Format("the fields take %d bytes, the record size is %d", offset, recordSize_));
    if (keyFields_ > count)
        fail(Format("%d key fields of %d fields", keyFields_, count));
    readFieldNames(h, pos);
}

void TParadoxTable::readFieldNames(const std::vector<uint8_t>& h, size_t pos) {
    // A pointer to the table name and one per field name (meaningful only in
    // memory), then the table name in a fixed-size slot, then the names.
    pos += kNamePointer + kNamePointer * fields_.size();
    pos += TableNameSlot(version_);
    for (size_t i = 0; i < fields_.size(); ++i) {
        size_t end = pos;
        while (end < h.size() && h[end] != 0)
            ++end;
        if (end >= h.size())
            fail(Format("the name of field %d runs past the header", int(i) + 1));
        fields_[i].name.assign(reinterpret_cast<const char*>(&h[pos]), end - pos);
        pos = end + 1;
    }
    // Then one number per field and the name of the sort order.
    pos += 2 * fields_.size();
    size_t end = pos;
    while (end < h.size() && h[end] != 0)
        ++end;
    if (pos < h.size())
        sortOrder_.assign(reinterpret_cast<const char*>(&h[pos]), end - pos);

    unsigned from = 0;
    if (codePage_ > 0 && codePage_ != 1252)
        from = static_cast<unsigned>(codePage_);
    else if (!codePage_ && sortOrder_.rfind("BLROM8", 0) == 0)
        from = kCodePageRoman8;
    if (from) {
        auto text = std::make_unique<TCodePage>(from);
        if (text->CanRead())
            text_ = std::move(text);
    }
    for (auto& f : fields_)
        f.name = toAnsi(reinterpret_cast<const uint8_t*>(f.name.data()), f.name.size());
}

std::string TParadoxTable::toAnsi(const uint8_t* p, size_t n) const {
    bool ascii = true;
    for (size_t i = 0; i < n && ascii; ++i)
        ascii = p[i] < 0x80;
    if (ascii || codePage_ == 1252)
        return std::string(reinterpret_cast<const char*>(p), n);
    if (!text_) // tables without a usable code page were written in the DOS code page
        return OemToAnsi(std::string_view(reinterpret_cast<const char*>(p), n));
    return Utf8ToAnsi(text_->ToUtf8(std::string_view(reinterpret_cast<const char*>(p), n)));
}

std::vector<uint8_t> TParadoxTable::readBlock(uint16_t number) const {
    std::vector<uint8_t> b(blockSize_);
    readAt(file_, headerSize_ + uint64_t(number - 1) * blockSize_, b.data(), b.size(),
           Format("block %d", number).c_str());
    if (key_)
        ParadoxCipher::DecryptBlock(b.data(), b.size(), key_, number);
    return b;
}

void TParadoxTable::walkChain() {
    const uint64_t available = fileSize_ > headerSize_ ? (fileSize_ - headerSize_) / blockSize_ : 0;
    std::vector<bool> seen(available + 1, false);
    const int perBlock = int((blockSize_ - kBlockHeader) / recordSize_);
    for (uint16_t n = firstBlock_; n != 0;) {
        if (n > available)
            fail(Format("block %d is past the end of the file", n));
        if (seen[n])
            fail(Format("the block chain returns to block %d", n));
        seen[n] = true;
        // Only the block's header is needed to walk the chain; the records
        // are read when a cursor reaches them.
        uint8_t head[kBlockHeader];
        const uint8_t* b = head;
        std::vector<uint8_t> whole;
        if (key_) { // an encrypted block is decrypted whole before its header is read
            whole = readBlock(n);
            b = whole.data();
        } else {
            readAt(file_, headerSize_ + uint64_t(n - 1) * blockSize_, head, sizeof head,
                   Format("block %d", n).c_str());
        }
        const auto last = static_cast<int16_t>(ReadU16LE(&b[4]));
        if (last < -int(recordSize_) || last % recordSize_ != 0 || last / recordSize_ + 1 > perBlock)
            fail(Format("block %d claims records beyond its end", n));
        const int records = last / recordSize_ + 1;
        chain_.push_back({n, records});
        recordCount_ += records;
        n = ReadU16LE(&b[0]);
    }
}

void TParadoxTable::openMemoFile() {
    bool hasMemo = false;
    for (const auto& f : fields_)
        hasMemo = hasMemo || IsBlobType(f.type);
    if (!hasMemo)
        return;
    // The memo file sits beside the table, its extension in any case. The
    // usual spellings are tried first: a read of the folder costs as much as
    // the folder is large, and a shop's folder holds thousands of files.
    namespace fs = std::filesystem;
    const fs::path p(path_);
    auto take = [&](const fs::path& memo) {
        TReadOnlyFile file(memo.string());
        if (!file.IsOpen())
            return false;
        memo_ = std::move(file);
        mbPath_ = memo.string();
        const int64_t size = memo_.Size();
        if (size >= 0)
            mbSize_ = static_cast<uint64_t>(size);
        return true;
    };
    for (const char* ext : {".mb", ".MB", ".Mb", ".mB"})
        if (take(fs::path(p).replace_extension(ext)))
            return;
    const std::string stem = LowerCase(p.stem().string());
    std::error_code ec;
    for (const auto& e :
         fs::directory_iterator(p.parent_path().empty() ? fs::path(".") : p.parent_path(), ec)) {
        if (LowerCase(e.path().stem().string()) == stem &&
            LowerCase(e.path().extension().string()) == ".mb") {
            take(e.path());
            break;
        }
    }
}

std::string TParadoxTable::readMemo(uint32_t offset, uint32_t length) const {
    const uint8_t index = offset & 0xFF;
    const uint64_t block = offset & 0xFFFFFF00u;
    auto memoFail = [&](const std::string& what) { fail(Format("memo at %d: %s", int64_t(block), what)); };
    if (block + kMemoChunk > mbSize_)
        memoFail("past the end of the memo file");
    // Reads a range of the memo file, in whole 256-byte chunks.
    auto read = [&](uint64_t from, uint64_t n) {
        const uint64_t start = from & ~uint64_t(255), end = (from + n + 255) & ~uint64_t(255);
        if (end > mbSize_)
            memoFail("past the end of the memo file");
        std::vector<uint8_t> buf(end - start);
        readAt(memo_, start, buf.data(), buf.size(), "memo");
        if (key_)
            ParadoxCipher::DecryptMemo(buf.data(), buf.size(), key_);
        return std::string(reinterpret_cast<const char*>(buf.data()) + (from - start), n);
    };
    const std::string head = read(block, kMemoSubEntries + 64 * kMemoSubEntrySize);
    const auto* h = reinterpret_cast<const uint8_t*>(head.data());
    if (index == kMemoSingleIndex) {
        if (h[0] != kMemoSingle)
            memoFail("not a memo block");
        const uint64_t chunks = ReadU16LE(h + 1);
        if (length > ReadU32LE(h + 3) || kMemoSingleData + length > chunks * kMemoChunk)
            memoFail("the length exceeds its block");
        return read(block + kMemoSingleData, length);
    }
    if (h[0] != kMemoSuballocated || index >= 64)
        memoFail("not a memo block");
    const uint8_t* e = h + kMemoSubEntries + index * kMemoSubEntrySize;
    const uint64_t dataOffset = uint64_t(e[0]) * 16;
    if (dataOffset == 0 || dataOffset + length > kMemoChunk)
        memoFail("the length exceeds its block");
    return read(block + dataOffset, length);
}

TParadoxValue TParadoxTable::decode(const TParadoxField& f, const uint8_t* p) const {
    TParadoxValue v;
    if (allZero(p, f.size))
        return v;
    auto setInt = [&](int64_t i) {
        v.kind = TParadoxValue::Kind::Int;
        v.i = i;
    };
    auto setText = [&](std::optional<std::string> s) {
        if (!s)
            return; // a value no calendar or clock has stays NULL
        v.kind = TParadoxValue::Kind::Text;
        v.s = std::move(*s);
    };
    switch (f.type) {
    case 'A': {
        size_t n = 0;
        while (n < size_t(f.size) && p[n])
            ++n;
        setText(toAnsi(p, n));
        break;
    }
    case 'S':
    case 'I':
    case '+':
        setInt(decodeInt(p, f.size));
        break;
    case 'L':
        setInt(p[0] & 0x7F);
        break;
    case '$':
    case 'N':
        v.kind = TParadoxValue::Kind::Real;
        v.d = decodeDouble(p);
        break;
    case 'D':
        setText(dateText(decodeInt(p, 4)));
        break;
    case 'T':
        setText(timeText(decodeInt(p, 4)));
        break;
    case '@': {
        const double d = decodeDouble(p);
        if (d >= kDayMs && d < double(kLastDay + 1) * kDayMs) {
            const auto ms = static_cast<int64_t>(d);
            setText(*dateText(ms / kDayMs) + " " + *timeText(ms % kDayMs));
        }
        break;
    }
    case '#':
        setText(bcdText(p));
        break;
    case 'Y':
        v.kind = TParadoxValue::Kind::Blob;
        v.s.assign(reinterpret_cast<const char*>(p), f.size);
        break;
    default: { // memo and binary fields: a leader, then where the rest lies
        const size_t leader = f.size - kMemoPointer;
        const uint32_t offset = ReadU32LE(p + leader), length = ReadU32LE(p + leader + 4);
        std::string data;
        if (length <= leader)
            data.assign(reinterpret_cast<const char*>(p), length);
        else if (memo_.IsOpen())
            data = readMemo(offset, length);
        if (f.type == 'M')
            setText(toAnsi(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
        else {
            v.kind = TParadoxValue::Kind::Blob;
            v.s = std::move(data);
        }
    }
    }
    return v;
}

std::vector<std::string> TParadoxTable::RawRecords() const {
    std::vector<std::string> out;
    out.reserve(static_cast<size_t>(recordCount_));
    for (const Block& b : chain_) {
        if (b.records == 0)
            continue;
        const std::vector<uint8_t> data = readBlock(b.number);
        for (int r = 0; r < b.records; ++r)
            out.emplace_back(reinterpret_cast<const char*>(data.data()) + kBlockHeader +
                                 size_t(r) * recordSize_,
                             recordSize_);
    }
    return out;
}

std::string TParadoxTable::FromAnsi(const std::string& s) const {
    bool ascii = true;
    for (unsigned char c : s)
        ascii = ascii && c < 0x80;
    if (ascii || codePage_ == 1252)
        return s;
    if (!text_) // as read: the DOS code page
        return AnsiToOem(s);
    std::string out;
    switch (text_->FromUtf8(AnsiToUtf8(s), out)) {
    case TCodePage::TWrite::Done:
        break;
    case TCodePage::TWrite::Unsupported:
        throw EDBEngineError(Format("Table %s: code page %s cannot be written", path_, text_->Name()));
    case TCodePage::TWrite::NoSpelling:
        throw EDBEngineError(
            Format("Table %s: the text '%s' has no spelling in code page %s", path_, s, text_->Name()));
    }
    return out;
}

void TParadoxTable::Cursor::Rewind() {
    block_ = 0;
    rec_ = 0;
    recNo_ = 0;
    loaded_ = false;
    while (block_ < t_->chain_.size() && t_->chain_[block_].records == 0)
        ++block_;
}

bool TParadoxTable::Cursor::Eof() const {
    return block_ >= t_->chain_.size();
}

void TParadoxTable::Cursor::Next() {
    if (Eof())
        return;
    ++recNo_;
    if (++rec_ < t_->chain_[block_].records)
        return;
    rec_ = 0;
    loaded_ = false;
    do
        ++block_;
    while (block_ < t_->chain_.size() && t_->chain_[block_].records == 0);
}

void TParadoxTable::Cursor::load() {
    if (!loaded_) {
        data_ = t_->readBlock(t_->chain_[block_].number);
        loaded_ = true;
    }
}

TParadoxValue TParadoxTable::Cursor::Value(int i) const {
    if (Eof() || i < 0 || i >= static_cast<int>(t_->fields_.size()))
        return {};
    const_cast<Cursor*>(this)->load();
    const TParadoxField& f = t_->fields_[i];
    return t_->decode(f, data_.data() + kBlockHeader + size_t(rec_) * t_->recordSize_ + f.offset);
}

void TParadoxTable::CheckIntact() const {
    auto damaged = [&](const std::string& what) {
        throw EDBEngineError(Format("Table %s is damaged: %s", path_, what));
    };
    // Record count (4 bytes), blocks in use and blocks in the file.
    uint8_t counts[8];
    readAt(file_, 0x06, counts, sizeof counts, "the header");
    const uint32_t headerRecords = ReadU32LE(counts);
    const uint16_t usedBlocks = ReadU16LE(counts + 4), fileBlocks = ReadU16LE(counts + 6);
    if (fileSize_ < headerSize_ || (fileSize_ - headerSize_) % blockSize_ != 0)
        damaged(Format("its size %d is not a header of %d bytes and whole blocks of %d bytes",
                       int64_t(fileSize_), headerSize_, blockSize_));
    const uint64_t blocksInFile = (fileSize_ - headerSize_) / blockSize_;
    if (chain_.size() != usedBlocks)
        damaged(Format("%d blocks are on its chain, its header counts %d in use", int64_t(chain_.size()),
                       usedBlocks));
    if (recordCount_ != int64_t(headerRecords))
        damaged(Format("%d records are on its chain, its header counts %d", recordCount_,
                       int64_t(headerRecords)));
    // Blocks off the chain are the header's free ones only.
    if (blocksInFile != chain_.size() && (fileBlocks != blocksInFile || fileBlocks < usedBlocks))
        damaged(Format("%d blocks are in the file, %d on its chain", int64_t(blocksInFile),
                       int64_t(chain_.size())));
    for (const Block& b : chain_)
        if (b.records < 0 || uint64_t(b.records) * recordSize_ + kBlockHeader > blockSize_)
            damaged(Format("block %d holds records past its end", b.number));
}

} // namespace vx::db
