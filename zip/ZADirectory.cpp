#include "zip/ZADirectory.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "platform/SysUtils.h"
#include "platform/Text.h"
#include "zip/ZABaseArchiver.h"
#include "zip/ZAConst.h"
#include "zip/ZAExcept.h"
#include "zip/ZAScan.h"
#include "zip/ZAStrFunc.h"

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
        throw EZAException::CreateFromCode(2, nullptr);
    return items_[static_cast<size_t>(index)];
}

void TZADirArray::SetItem(int32_t index, const TDirItem& item) {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(1, nullptr);
    items_[static_cast<size_t>(index)] = item;
}

TDirItem& TZADirArray::Item(int32_t index) {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(3, nullptr);
    return items_[static_cast<size_t>(index)];
}

const TDirItem& TZADirArray::Item(int32_t index) const {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(3, nullptr);
    return items_[static_cast<size_t>(index)];
}

void TZADirArray::Delete(int32_t index) {
    if (index < 0 || index >= Count())
        throw EZAException::CreateFromCode(4, nullptr);
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

bool TZADirManager::oemFileNames() const {
    return !archiver_ || archiver_->Options().OEMFileNames;
}

std::string TZADirManager::decodeName(const std::string& raw, const TDirItem& item) const {
    // Names flagged as UTF-8, and the unflagged UTF-8 names that tools on
    // Unix store, would come out garbled through the OEM code page.
    bool utf8 =
        (item.Flags & FlagUtf8Name) != 0 || ((item.VersionMadeBy >> 8) == HostUnix && IsValidUtf8(raw));
    std::string name;
    if (utf8)
        name = Utf8ToAnsiName(raw);
    else if (oemFileNames())
        name = OemToAnsi(raw);
    else
        name = raw;
    if (size_t nul = name.find('\0'); nul != std::string::npos)
        name.resize(nul);
    if (name.size() > MaxNameLength)
        name.resize(MaxNameLength);
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

void TZADirManager::ReadDirectory() {
    Items.Clear();
    EndRecord = TZAEndRecord::Template();
    DataShift = 0;
    HasZip64End = false;

    FoundEndRecord found = FindEndRecord(SigEndRecord);
    if (!found.Found) {
        if (archiver_ && archiver_->SpanningMode() != smNone)
            throw EZAException::CreateFromCode(44, archiver_);
        rebuildFromLocalHeaders();
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
        uint64_t recordOffset = ReadU64LE(&Zip64Locator[8]);
        bool ok = p > static_cast<int64_t>(Zip64EndRecordSize) &&
                  recordOffset <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) &&
                  ReadAtExactly(*stream_, static_cast<int64_t>(recordOffset), Zip64EndRecord.data(),
                                Zip64EndRecordSize) &&
                  ReadU32LE(Zip64EndRecord.data()) == SigZip64EndRecord;
        if (!ok)
            throw EZAException::CreateFromCode(40, archiver_);
        // The record is taken to lie just before the locator, whatever
        // offset the locator gives.
        p -= static_cast<int64_t>(Zip64EndRecordSize);
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
        throw EZAException::CreateFromCode(44, archiver_);

    int64_t directorySize = HasZip64End ? static_cast<int64_t>(ReadU64LE(&Zip64EndRecord[40]))
                                        : static_cast<int64_t>(static_cast<int32_t>(EndRecord.DirectorySize));
    uint32_t count =
        HasZip64End ? static_cast<uint32_t>(ReadU64LE(&Zip64EndRecord[32])) : EndRecord.TotalEntries;
    if (directorySize < 0 || directorySize > p)
        throw EReadError();
    readItems(p - directorySize, count);

    if (lastVolume <= 0)
        stubCheck(p);
    applyDataShift();
}

void TZADirManager::readItems(int64_t start, uint32_t count) {
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
    for (int32_t i = 0; i < Items.Count(); ++i)
        readItem(reader, Items.Item(i));
}

void TZADirManager::readItem(TZAFieldReader& reader, TDirItem& item) {
    uint8_t h[CentralHeaderSize];
    reader.Read(h, sizeof h);
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
    if (EndRecord.TotalEntries == 0) {
        DataShift = endPosition;
        return;
    }
    if (Items.Count() == 0)
        return;
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
        uint16_t nameLength = ReadU16LE(h + 26);
        bool same = ReadU32LE(h) == SigLocalHeader && size - hit - 30 >= nameLength &&
                    ReadU16LE(h + 4) == first.VersionNeeded && ReadU16LE(h + 8) == first.Method &&
                    ReadU16LE(h + 10) == first.ModTime && ReadU16LE(h + 12) == first.ModDate &&
                    ReadU32LE(h + 14) == first.Crc32 && ReadU32LE(h + 18) == first.CompressedSize &&
                    ReadU32LE(h + 22) == first.UncompressedSize;
        if (same) {
            DataShift = hit;
            return;
        }
    }
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
        throw EZAException::CreateFromCode(35, archiver_);

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

    for (; hit >= 0; hit = nextHeader()) {
        if (static_cast<size_t>(Items.Count()) >= RebuildMaxItems)
            break;
        uint8_t h[LocalHeaderSize];
        if (!ReadAtExactly(*stream_, hit, h, sizeof h))
            break;
        uint32_t compressed = ReadU32LE(h + 18);
        uint16_t extraLength = ReadU16LE(h + 28);
        if (static_cast<int64_t>(compressed) >= size || extraLength > RebuildMaxExtraLength)
            continue;
        TDirItem& item = Items.Add();
        item.Signature = ReadU32LE(h);
        item.VersionMadeBy = item.VersionNeeded = ReadU16LE(h + 4);
        item.Flags = ReadU16LE(h + 6);
        item.Method = ReadU16LE(h + 8);
        item.ModTime = ReadU16LE(h + 10);
        item.ModDate = ReadU16LE(h + 12);
        item.Crc32 = ReadU32LE(h + 14);
        item.CompressedSize = compressed;
        item.UncompressedSize = ReadU32LE(h + 22);
        item.NameLength = ReadU16LE(h + 26);
        item.ExtraLength = extraLength;
        bool descriptor = (item.Flags & FlagDataDescriptor) != 0;
        item.ExternalAttributes = (item.UncompressedSize != 0 || descriptor) ? AttrArchive : AttrDirectory;
        item.HeaderOffset = static_cast<uint32_t>(hit);

        size_t nameLength = std::min<size_t>(item.NameLength, MaxNameLength);
        if (nameLength > 0) {
            std::string raw(nameLength, '\0');
            if (ReadAtExactly(*stream_, hit + static_cast<int64_t>(LocalHeaderSize), raw.data(),
                              nameLength)) {
                // A local header does not say which system made the entry;
                // the Unix extra blocks of Info-ZIP do, and its names on
                // Unix are unmarked UTF-8.
                TDirItem naming = item;
                if (hasUnixExtraBlock(hit + static_cast<int64_t>(LocalHeaderSize) + item.NameLength,
                                      extraLength))
                    naming.VersionMadeBy = static_cast<uint16_t>(HostUnix << 8);
                item.Name = decodeName(raw, naming);
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
        scanner.SeekTo(hit + 4);
    }
}
