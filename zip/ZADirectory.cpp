#include "zip/ZADirectory.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "platform/SysUtils.h"
#include "platform/Text.h"
#include "zip/ZAConst.h"
#include "zip/ZAExcept.h"
#include "zip/ZALocalHeader.h"
#include "zip/ZAScan.h"
#include "zip/ZAStrFunc.h"

namespace vx::zip {

using namespace vx::platform;

using namespace za;

uint64_t TDirItem::RealCompressedSize() const {
    return CompressedSize == Marker32 ? CompressedSize64 : CompressedSize;
}
uint64_t TDirItem::RealUncompressedSize() const {
    return UncompressedSize == Marker32 ? UncompressedSize64 : UncompressedSize;
}
uint64_t TDirItem::RealHeaderOffset() const {
    return HeaderOffset == Marker32 ? HeaderOffset64 : HeaderOffset;
}

// --- TZADirArray ---

void TZADirArray::grow(int32_t needed) {
    step_ = std::min(step_ * 2, 10000);
    capacity_ = std::max(capacity_ + step_, needed);
    items_.reserve(static_cast<size_t>(capacity_));
}

void TZADirArray::SetCount(int32_t count) {
    if (count <= 0) {
        std::vector<TDirItem>().swap(items_);
        capacity_ = 0;
        return;
    }
    if (count > capacity_)
        grow(count);
    items_.resize(static_cast<size_t>(count));
}

TDirItem& TZADirArray::Add() {
    SetCount(Count() + 1);
    return items_.back();
}

TDirItem TZADirArray::GetItem(int32_t index) const {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(TZAError::GetIndex, nullptr);
    return items_[static_cast<size_t>(index)];
}

void TZADirArray::SetItem(int32_t index, const TDirItem& item) {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(TZAError::PutIndex, nullptr);
    items_[static_cast<size_t>(index)] = item;
}

TDirItem& TZADirArray::Item(int32_t index) {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(TZAError::ItemIndex, nullptr);
    return items_[static_cast<size_t>(index)];
}

const TDirItem& TZADirArray::Item(int32_t index) const {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(TZAError::ItemIndex, nullptr);
    return items_[static_cast<size_t>(index)];
}

void TZADirArray::Delete(int32_t index) {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(TZAError::DeleteIndex, nullptr);
    items_.erase(items_.begin() + index);
}

// --- TZAEndRecord ---

TZAEndRecord TZAEndRecord::Parse(const uint8_t* p) {
    TZAEndRecord r;
    r.Signature = ReadU32LE(p);
    r.DiskNumber = ReadU16LE(p + 4);
    r.StartDisk = ReadU16LE(p + 6);
    r.EntriesOnDisk = ReadU16LE(p + 8);
    r.TotalEntries = ReadU16LE(p + 10);
    r.DirectorySize = ReadU32LE(p + 12);
    r.DirectoryOffset = ReadU32LE(p + 16);
    r.CommentLength = ReadU16LE(p + 20);
    return r;
}

TZAEndRecord TZAEndRecord::Template() {
    TZAEndRecord r;
    r.Signature = SigEndRecord;
    return r;
}

std::array<uint8_t, 22> TZAEndRecord::Bytes() const {
    std::array<uint8_t, 22> b{};
    WriteU32LE(&b[0], Signature);
    WriteU16LE(&b[4], DiskNumber);
    WriteU16LE(&b[6], StartDisk);
    WriteU16LE(&b[8], EntriesOnDisk);
    WriteU16LE(&b[10], TotalEntries);
    WriteU32LE(&b[12], DirectorySize);
    WriteU32LE(&b[16], DirectoryOffset);
    WriteU16LE(&b[20], CommentLength);
    return b;
}

// --- TZADirManager ---

TZADirManager::TZADirManager(TStream* stream, TZABaseArchiver* archiver, bool isNewArchive)
    : IsNewArchive(isNewArchive), stream_(stream), archiver_(archiver) {
    Items.Clear();
}

std::string TZADirManager::decodeName(const std::string& raw, TDirItem& item) const {
    // Names flagged as UTF-8, and the unflagged UTF-8 names that tools on
    // Unix store, would come out garbled through the OEM code page.
    bool utf8 =
        (item.Flags & FlagUtf8Name) != 0 || ((item.VersionMadeBy >> 8) == HostUnix && IsValidUtf8(raw));
    std::string name;
    if (utf8)
        name = Utf8ToAnsiName(raw);
    else if (options_.OEMFileNames)
        name = OemToAnsi(raw);
    else
        name = raw;
    // A name cut short is another name: the entry is listed by what is
    // kept but never written under it.
    if (size_t nul = name.find('\0'); nul != std::string::npos) {
        name.resize(nul);
        item.NameCut = true;
    }
    if (name.size() > MaxNameLength) {
        name.resize(MaxNameLength);
        item.NameCut = true;
    }
    return ReplaceChar(name, '\\', '/');
}

TZADirManager::FoundEndRecord TZADirManager::FindEndRecord(uint32_t signature) {
    FoundEndRecord result;
    ArchiveComment.clear();
    int64_t size = stream_->Size();
    int64_t window = std::min(size, EndRecordSearchWindow);
    if (window < 4)
        return result;
    std::vector<uint8_t> buf(static_cast<size_t>(window));
    if (!ReadAtExactly(*stream_, size - window, buf.data(), buf.size()))
        return result;
    uint8_t sig[4];
    WriteU32LE(sig, signature);
    for (size_t j = buf.size() - 1; j >= 3; --j) {
        if (buf[j] != sig[3] || buf[j - 1] != sig[2] || buf[j - 2] != sig[1] || buf[j - 3] != sig[0])
            continue;
        size_t at = j - 3;
        int64_t candidate = size - window + static_cast<int64_t>(at);
        if (size - candidate < static_cast<int64_t>(EndRecordSize))
            continue;
        // Only a comment length that accounts for every byte after the
        // record makes it the end record; anything else is data or junk.
        uint16_t commentLength = ReadU16LE(&buf[at + 20]);
        if (static_cast<int64_t>(commentLength) != size - (candidate + static_cast<int64_t>(EndRecordSize)))
            continue;
        result.Found = true;
        result.Position = candidate;
        result.Record = TZAEndRecord::Parse(&buf[at]);
        ArchiveComment.assign(reinterpret_cast<const char*>(&buf[at + EndRecordSize]), commentLength);
        return result;
    }
    return result;
}

void TZADirManager::ReadDirectory(const TZAReadOptions& options) {
    options_ = options;
    Items.Clear();
    EndRecord = TZAEndRecord::Template();
    DataShift = 0;
    HasZip64End = false;

    FoundEndRecord found = FindEndRecord(SigEndRecord);
    if (!found.Found) {
        if (options_.Spanning)
            throw EZAException::CreateFromCode(TZAError::OpenAborted, options_.Reporter);
        rebuildFromLocalHeaders();
        markAreas(-1);
        return;
    }
    EndRecord = found.Record;
    int64_t p = found.Position;

    if (p > static_cast<int64_t>(Zip64LocatorSize) &&
        ReadAtExactly(*stream_, p - static_cast<int64_t>(Zip64LocatorSize), Zip64Locator.data(),
                      Zip64LocatorSize) &&
        ReadU32LE(Zip64Locator.data()) == SigZip64Locator) {
        HasZip64End = true;
        p -= static_cast<int64_t>(Zip64LocatorSize);
    }
    if (HasZip64End) {
        p = findZip64EndRecord(p);
        if (p < 0)
            throw EZAException::CreateFromCode(TZAError::NoZip64EndRecord, options_.Reporter);
    }

    int64_t lastVolume;
    if (HasZip64End) {
        lastVolume = static_cast<int64_t>(ReadU32LE(&Zip64Locator[16])) - 1;
    } else {
        if (EndRecord.StartDisk == Marker16)
            EndRecord.StartDisk = 0;
        if (EndRecord.DiskNumber == Marker16)
            EndRecord.DiskNumber = 0;
        lastVolume = EndRecord.DiskNumber;
    }
    // Only single-file archives are read; the volumes of a split archive
    // cannot be found from here. Writers that put 0 disks in the Zip64
    // locator mean a single file too.
    if (lastVolume > 0)
        throw EZAException::CreateFromCode(TZAError::OpenAborted, options_.Reporter);

    int64_t directorySize = HasZip64End ? static_cast<int64_t>(ReadU64LE(&Zip64EndRecord[40]))
                                        : static_cast<int64_t>(static_cast<int32_t>(EndRecord.DirectorySize));
    uint32_t count =
        HasZip64End ? static_cast<uint32_t>(ReadU64LE(&Zip64EndRecord[32])) : EndRecord.TotalEntries;
    uint64_t storedOffset = HasZip64End ? ReadU64LE(&Zip64EndRecord[48]) : EndRecord.DirectoryOffset;
    if (directorySize < 0 || directorySize > p)
        throw EReadError();
    const int64_t directoryStart = p - directorySize;
    readItems(directoryStart, count, p);

    if (lastVolume <= 0)
        stubCheck(p);
    correctOffsets(directoryStart, storedOffset);
    markAreas(directoryStart);
}

int64_t TZADirManager::findZip64EndRecord(int64_t locatorPosition) {
    // Where the locator says, when a record of its own length ends right at
    // the locator.
    auto endsAtLocator = [&](int64_t at) {
        uint8_t r[Zip64EndRecordSize];
        if (at < 0 || !ReadAtExactly(*stream_, at, r, sizeof r) || ReadU32LE(r) != SigZip64EndRecord)
            return false;
        uint64_t length = ReadU64LE(r + 4);
        if (length < Zip64EndRecordSize - 12 || length > static_cast<uint64_t>(locatorPosition))
            return false;
        if (at + 12 + static_cast<int64_t>(length) != locatorPosition)
            return false;
        std::memcpy(Zip64EndRecord.data(), r, sizeof r);
        return true;
    };
    const uint64_t stated = ReadU64LE(&Zip64Locator[8]);
    if (stated <= static_cast<uint64_t>(locatorPosition) && endsAtLocator(static_cast<int64_t>(stated)))
        return static_cast<int64_t>(stated);
    // Behind foreign bytes the stated offset is off by their length, and a
    // record with an extensible data sector is longer than its fixed part:
    // the record that ends at the locator is looked for backwards.
    const int64_t lowest = std::max<int64_t>(0, locatorPosition - EndRecordSearchWindow);
    std::vector<uint8_t> window(static_cast<size_t>(locatorPosition - lowest));
    if (!window.empty() && ReadAtExactly(*stream_, lowest, window.data(), window.size())) {
        for (int64_t i = static_cast<int64_t>(window.size()) - static_cast<int64_t>(Zip64EndRecordSize);
             i >= 0; --i)
            if (ReadU32LE(&window[static_cast<size_t>(i)]) == SigZip64EndRecord && endsAtLocator(lowest + i))
                return lowest + i;
    }
    // A record where the locator says that does not end at the locator is
    // taken to be the fixed record lying just before it.
    uint8_t r[Zip64EndRecordSize];
    if (locatorPosition > static_cast<int64_t>(Zip64EndRecordSize) &&
        stated <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
        ReadAtExactly(*stream_, static_cast<int64_t>(stated), r, sizeof r) &&
        ReadU32LE(r) == SigZip64EndRecord) {
        std::memcpy(Zip64EndRecord.data(), r, sizeof r);
        return locatorPosition - static_cast<int64_t>(Zip64EndRecordSize);
    }
    return -1;
}

void TZADirManager::readItems(int64_t start, uint32_t count, int64_t end) {
    // Every item takes at least its fixed header; a count that cannot fit
    // in the file would run short anyway, so it is refused before anything
    // is allocated for it.
    int64_t available = stream_->Size() - start;
    if (count > 0 && (available < 0 ||
                      static_cast<uint64_t>(count) > static_cast<uint64_t>(available) / CentralHeaderSize ||
                      count > static_cast<uint32_t>(std::numeric_limits<int32_t>::max())))
        throw EReadError();
    Items.SetCount(static_cast<int32_t>(count));
    TZAFieldReader reader(*stream_, start);
    uint8_t fixed[CentralHeaderSize];
    for (int32_t i = 0; i < Items.Count(); ++i) {
        reader.Read(fixed, sizeof fixed);
        readItem(reader, fixed, Items.Item(i));
    }
    // The end record counts entries in 16 bits: past 65,535 without Zip64
    // the count wraps, and the directory's size tells that more records
    // follow. They are read while whole records remain.
    while (reader.Position() + static_cast<int64_t>(CentralHeaderSize) <= end &&
           Items.Count() < std::numeric_limits<int32_t>::max()) {
        reader.Read(fixed, sizeof fixed);
        if (ReadU32LE(fixed) != SigCentralHeader)
            break;
        readItem(reader, fixed, Items.Add());
    }
}

void TZADirManager::readItem(TZAFieldReader& reader, const uint8_t* h, TDirItem& item) {
    item.Signature = ReadU32LE(h);
    item.VersionMadeBy = ReadU16LE(h + 4);
    item.VersionNeeded = ReadU16LE(h + 6);
    item.Flags = ReadU16LE(h + 8);
    item.Method = ReadU16LE(h + 10);
    item.ModTime = ReadU16LE(h + 12);
    item.ModDate = ReadU16LE(h + 14);
    item.Crc32 = ReadU32LE(h + 16);
    item.CompressedSize = ReadU32LE(h + 20);
    item.UncompressedSize = ReadU32LE(h + 24);
    item.NameLength = ReadU16LE(h + 28);
    item.ExtraLength = ReadU16LE(h + 30);
    item.CommentLength = ReadU16LE(h + 32);
    item.DiskStart = ReadU16LE(h + 34);
    item.InternalAttributes = ReadU16LE(h + 36);
    item.ExternalAttributes = ReadU32LE(h + 38);
    item.HeaderOffset = ReadU32LE(h + 42);

    std::vector<uint8_t> raw = reader.ReadBytes(item.NameLength);
    item.Name = decodeName(std::string(raw.begin(), raw.end()), item);

    if (item.ExtraLength > 0)
        parseExtraField(item, reader.ReadBytes(item.ExtraLength));

    item.Comment.clear();
    if (item.CommentLength > 0) {
        std::vector<uint8_t> comment = reader.ReadBytes(item.CommentLength);
        size_t keep = std::min(comment.size(), MaxNameLength);
        item.Comment.assign(comment.begin(), comment.begin() + static_cast<std::ptrdiff_t>(keep));
    }
}

void TZADirManager::parseExtraField(TDirItem& item, const std::vector<uint8_t>& extra) {
    item.HasZip64Info = false;
    size_t offset = 0;
    while (offset < extra.size()) {
        // A block header running past the field ends the parsing of it.
        if (extra.size() - offset < 4)
            break;
        TZAExtraField block;
        block.HeaderId = ReadU16LE(&extra[offset]);
        block.DataSize = ReadU16LE(&extra[offset + 2]);
        offset += 4;
        block.DataSize = static_cast<uint16_t>(std::min<size_t>(block.DataSize, extra.size() - offset));
        block.Data.assign(extra.begin() + static_cast<std::ptrdiff_t>(offset),
                          extra.begin() + static_cast<std::ptrdiff_t>(offset + block.DataSize));
        offset += block.DataSize;
        if (block.HeaderId == ExtraIdZip64) {
            const std::vector<uint8_t>& d = block.Data;
            size_t at = 0;
            auto take64 = [&](bool marked, uint64_t& value) {
                if (!marked || at + 8 > d.size())
                    return;
                value = ReadU64LE(&d[at]);
                at += 8;
            };
            take64(item.UncompressedSize == Marker32, item.UncompressedSize64);
            take64(item.CompressedSize == Marker32, item.CompressedSize64);
            take64(item.HeaderOffset == Marker32, item.HeaderOffset64);
            if (item.DiskStart == Marker16 && at + 2 <= d.size())
                item.DiskStart64 = ReadU16LE(&d[at]);
            item.HasZip64Info = true;
        }
        item.ExtraFields.push_back(std::move(block));
    }
}

void TZADirManager::stubCheck(int64_t endPosition) {
    // The count of the end record wraps past 65,535: the items read say
    // whether the archive is empty.
    if (Items.Count() == 0) {
        DataShift = endPosition;
        return;
    }
    const TDirItem& first = Items.Item(0);
    uint64_t start = first.RealHeaderOffset();
    int64_t size = stream_->Size();
    if (start >= static_cast<uint64_t>(size))
        return;
    TZASignatureScanner scanner(*stream_, static_cast<int64_t>(start), SigLocalHeader, StubSearchWindow);
    for (int64_t hit = scanner.Next(); hit >= 0; hit = scanner.Next()) {
        uint8_t h[LocalHeaderSize];
        if (!scanner.ReadAt(hit, h, sizeof h))
            continue;
        TZALocalHeader local = TZALocalHeader::Parse(h);
        if (local.SameFieldsAs(first) &&
            size - hit - static_cast<int64_t>(LocalHeaderSize) >= local.NameLength) {
            DataShift = hit;
            return;
        }
    }
}

namespace {

// Entries whose data extraction reads: folders are only made.
bool hasData(const TDirItem& item) {
    return (item.ExternalAttributes & AttrDirectory) == 0 && !(!item.Name.empty() && item.Name.back() == '/');
}

void shiftOffset(TDirItem& item, int64_t shift) {
    if (item.HeaderOffset == Marker32) {
        item.HeaderOffset64 += static_cast<uint64_t>(shift);
        return;
    }
    const int64_t moved = static_cast<int64_t>(item.HeaderOffset) + shift;
    if (moved >= 0 && moved < static_cast<int64_t>(Marker32)) {
        item.HeaderOffset = static_cast<uint32_t>(moved);
    } else {
        item.HeaderOffset = Marker32;
        item.HeaderOffset64 = static_cast<uint64_t>(moved);
    }
}

} // namespace

void TZADirManager::correctOffsets(int64_t directoryStart, uint64_t storedDirectoryOffset) {
    // Foreign bytes in front of an archive (a stub, a prefix) move every
    // part of it; offsets stored from the archive's own start are then off
    // by the directory's move. The move is confirmed on the first entry
    // that has data: a folder or an empty entry has no data to find.
    const int64_t shift = storedDirectoryOffset <= static_cast<uint64_t>(directoryStart)
                              ? directoryStart - static_cast<int64_t>(storedDirectoryOffset)
                              : 0;
    const TDirItem* probe = nullptr;
    for (int32_t i = 0; i < Items.Count() && !probe; ++i)
        if (hasData(Items.Item(i)) && Items.Item(i).RealCompressedSize() > 0)
            probe = &Items.Item(i);
    if (shift > 0 && probe) {
        const uint64_t stated = probe->RealHeaderOffset();
        TZALocalHeader there, moved;
        const bool atStated = stated <= static_cast<uint64_t>(directoryStart) &&
                              TZALocalHeader::ReadAt(*stream_, static_cast<int64_t>(stated), there) &&
                              there.Agrees(*probe);
        const bool atMoved = stated <= static_cast<uint64_t>(directoryStart - shift) &&
                             TZALocalHeader::ReadAt(*stream_, static_cast<int64_t>(stated) + shift, moved) &&
                             moved.Agrees(*probe);
        if (atMoved && !atStated) {
            for (int32_t k = 0; k < Items.Count(); ++k) {
                TDirItem& it = Items.Item(k);
                // Folders keep their stored offsets: nothing is read there.
                if ((it.ExternalAttributes & AttrDirectory) == 0)
                    shiftOffset(it, shift);
            }
            return;
        }
        if (atStated)
            return;
    }
    applyDataShift();
}

void TZADirManager::applyDataShift() {
    for (int32_t i = 0; i < Items.Count(); ++i) {
        const TDirItem& item = Items.Item(i);
        if (item.CompressedSize == 0)
            continue;
        // Offsets counted from the archive's own start, behind foreign bytes
        // (a stub), are moved by the length of those bytes.
        if (item.HeaderOffset < static_cast<uint32_t>(DataShift)) {
            for (int32_t k = 0; k < Items.Count(); ++k) {
                TDirItem& it = Items.Item(k);
                if ((it.ExternalAttributes & AttrDirectory) == 0)
                    it.HeaderOffset += static_cast<uint32_t>(DataShift);
            }
        }
        return;
    }
}

void TZADirManager::markAreas(int64_t directoryStart) {
    // Each entry's local header, name and data must lie in an area of its
    // own, ending where the next entry's header or the directory begins.
    // Archives whose entries share data (a few KB that extract to
    // gigabytes) are refused entry by entry before anything is written.
    struct Span {
        uint64_t offset;
        int32_t index;
    };
    std::vector<Span> spans;
    spans.reserve(static_cast<size_t>(Items.Count()));
    for (int32_t i = 0; i < Items.Count(); ++i)
        if (hasData(Items.Item(i)))
            spans.push_back({Items.Item(i).RealHeaderOffset(), i});
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        return a.offset != b.offset ? a.offset < b.offset : a.index < b.index;
    });
    const uint64_t limit = directoryStart >= 0 ? static_cast<uint64_t>(directoryStart)
                                               : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    // The next offset above each one, found from the end in one sweep (a
    // hostile directory may give every entry the same offset).
    std::vector<uint64_t> nextAbove(spans.size(), limit);
    for (size_t k = spans.size(); k-- > 1;)
        nextAbove[k - 1] =
            spans[k].offset != spans[k - 1].offset ? std::min(limit, spans[k].offset) : nextAbove[k];
    uint64_t reach = 0; // the furthest end of the spans so far
    int32_t reacher = -1;
    for (size_t k = 0; k < spans.size(); ++k) {
        TDirItem& item = Items.Item(spans[k].index);
        const uint64_t offset = spans[k].offset;
        const uint64_t next = nextAbove[k];
        const bool shared = (k > 0 && spans[k - 1].offset == offset) ||
                            (k + 1 < spans.size() && spans[k + 1].offset == offset);
        item.AreaEnd = static_cast<int64_t>(std::min<uint64_t>(next, std::numeric_limits<int64_t>::max()));
        // The least an entry takes: its fixed header and its data.
        const uint64_t compressed = item.RealCompressedSize();
        const uint64_t end =
            compressed > UINT64_MAX - LocalHeaderSize || offset > UINT64_MAX - LocalHeaderSize - compressed
                ? UINT64_MAX
                : offset + LocalHeaderSize + compressed;
        if (shared || offset < reach || offset >= limit || (directoryStart >= 0 && end > limit)) {
            item.Overlapping = true;
            if (offset < reach && reacher >= 0)
                Items.Item(reacher).Overlapping = true;
        }
        if (end > reach) {
            reach = end;
            reacher = spans[k].index;
        }
    }
}

bool TZADirManager::hasUnixExtraBlock(int64_t position, uint16_t length) const {
    std::vector<uint8_t> extra(length);
    if (length == 0 || !ReadAtExactly(*stream_, position, extra.data(), length))
        return false;
    for (size_t at = 0; at + 4 <= extra.size();) {
        uint16_t id = ReadU16LE(&extra[at]);
        if (id == ExtraIdInfoZipUnix || id == ExtraIdInfoZipUnixOld || id == ExtraIdInfoZipUnixNew)
            return true;
        at += 4 + ReadU16LE(&extra[at + 2]);
    }
    return false;
}

void TZADirManager::rebuildFromLocalHeaders() {
    int64_t size = stream_->Size();
    TZASignatureScanner scanner(*stream_, 0, SigLocalHeader, RebuildSearchWindow);
    auto nextHeader = [&]() {
        for (int64_t hit = scanner.Next(); hit >= 0; hit = scanner.Next())
            if (size - hit >= static_cast<int64_t>(LocalHeaderSize))
                return hit;
        return int64_t{-1};
    };
    int64_t hit = nextHeader();
    if (hit < 0)
        throw EZAException::CreateFromCode(TZAError::InvalidArchive, options_.Reporter);

    // The first descriptor at or after a position; one search serves every
    // header before the descriptor it found, which keeps the scan linear.
    int64_t descriptorFrom = -1, descriptorAt = -1;
    auto findDescriptor = [&](int64_t from) {
        if (descriptorFrom >= 0 && from >= descriptorFrom && (descriptorAt < 0 || from <= descriptorAt))
            return descriptorAt;
        TZASignatureScanner s(*stream_, from, SigDataDescriptor, RebuildSearchWindow);
        descriptorFrom = from;
        descriptorAt = s.Next();
        return descriptorAt;
    };

    // A header whose data runs past the end of the file is the entry a
    // truncated download cut off, when no header follows it; it is listed
    // so that it is reported, not lost without a word.
    std::optional<TDirItem> cutOff;
    for (; hit >= 0; hit = nextHeader()) {
        if (static_cast<size_t>(Items.Count()) >= RebuildMaxItems)
            break;
        uint8_t h[LocalHeaderSize];
        if (!ReadAtExactly(*stream_, hit, h, sizeof h))
            break;
        const TZALocalHeader local = TZALocalHeader::Parse(h);
        if (local.ExtraLength > RebuildMaxExtraLength)
            continue;
        TDirItem item;
        item.Signature = local.Signature;
        item.VersionMadeBy = item.VersionNeeded = local.VersionNeeded;
        item.Flags = local.Flags;
        item.Method = local.Method;
        item.ModTime = local.ModTime;
        item.ModDate = local.ModDate;
        item.Crc32 = local.Crc32;
        item.CompressedSize = local.CompressedSize;
        item.UncompressedSize = local.UncompressedSize;
        item.NameLength = local.NameLength;
        item.ExtraLength = local.ExtraLength;
        bool descriptor = (item.Flags & FlagDataDescriptor) != 0;
        item.ExternalAttributes = (item.UncompressedSize != 0 || descriptor) ? AttrArchive : AttrDirectory;
        item.HeaderOffset = static_cast<uint32_t>(hit);

        size_t nameLength = std::min<size_t>(item.NameLength, MaxNameLength);
        if (item.NameLength > MaxNameLength)
            item.NameCut = true;
        if (nameLength > 0) {
            std::string raw(nameLength, '\0');
            if (ReadAtExactly(*stream_, hit + static_cast<int64_t>(LocalHeaderSize), raw.data(),
                              nameLength)) {
                // A local header does not say which system made the entry;
                // the Unix extra blocks of Info-ZIP do, and its names on
                // Unix are unmarked UTF-8. A name that is valid multi-byte
                // UTF-8 is read as such too: OEM text is hardly ever that.
                TDirItem naming = item;
                if (hasUnixExtraBlock(hit + static_cast<int64_t>(LocalHeaderSize) + item.NameLength,
                                      local.ExtraLength) ||
                    (IsValidUtf8(raw) && std::any_of(raw.begin(), raw.end(), [](char c) {
                         return static_cast<unsigned char>(c) >= 0x80;
                     })))
                    naming.VersionMadeBy = static_cast<uint16_t>(HostUnix << 8);
                item.Name = decodeName(raw, naming);
                item.NameCut = item.NameCut || naming.NameCut;
            }
        }
        if (descriptor) {
            int64_t at = findDescriptor(hit);
            uint8_t d[DataDescriptorSize];
            if (at >= 0 && size - at >= static_cast<int64_t>(DataDescriptorSize) &&
                ReadAtExactly(*stream_, at, d, sizeof d)) {
                item.Crc32 = ReadU32LE(d + 4);
                item.CompressedSize = ReadU32LE(d + 8);
                item.UncompressedSize = ReadU32LE(d + 12);
            }
        }
        const int64_t dataEnd = hit + local.DataOffset() + static_cast<int64_t>(item.CompressedSize);
        if (dataEnd > size) {
            cutOff = std::move(item);
            scanner.SeekTo(hit + 4);
            continue;
        }
        cutOff.reset();
        Items.Add() = std::move(item);
        // A signature inside this entry's data belongs to the data (a
        // stored archive inside the archive): the scan goes on after it.
        scanner.SeekTo(descriptor ? hit + 4 : std::max(hit + 4, dataEnd));
    }
    if (cutOff)
        Items.Add() = std::move(*cutOff);
}

} // namespace vx::zip
