#include "zip/ZALocalHeader.h"

#include "platform/SysUtils.h"
#include "zip/ZAConst.h"
#include "zip/ZAScan.h"

namespace vx::zip {

using namespace vx::platform;

using namespace za;

TZALocalHeader TZALocalHeader::Parse(const uint8_t* p) {
    TZALocalHeader h;
    h.Signature = ReadU32LE(p);
    h.VersionNeeded = ReadU16LE(p + 4);
    h.Flags = ReadU16LE(p + 6);
    h.Method = ReadU16LE(p + 8);
    h.ModTime = ReadU16LE(p + 10);
    h.ModDate = ReadU16LE(p + 12);
    h.Crc32 = ReadU32LE(p + 14);
    h.CompressedSize = ReadU32LE(p + 18);
    h.UncompressedSize = ReadU32LE(p + 22);
    h.NameLength = ReadU16LE(p + 26);
    h.ExtraLength = ReadU16LE(p + 28);
    return h;
}

bool TZALocalHeader::ReadAt(TStream& stream, int64_t position, TZALocalHeader& header) {
    uint8_t bytes[LocalHeaderSize];
    if (stream.ReadAt(position, bytes, sizeof bytes) != static_cast<int64_t>(sizeof bytes))
        return false;
    header = Parse(bytes);
    return true;
}

bool TZALocalHeader::HasSignature() const {
    return Signature == SigLocalHeader;
}

int64_t TZALocalHeader::DataOffset() const {
    return static_cast<int64_t>(LocalHeaderSize) + NameLength + ExtraLength;
}

bool TZALocalHeader::Agrees(const TDirItem& central) const {
    if (!HasSignature() || Method != central.Method)
        return false;
    // With a data descriptor the values follow the data, and writers put
    // zeros (or the real values) here.
    if ((Flags & FlagDataDescriptor) != 0 || (central.Flags & FlagDataDescriptor) != 0)
        return true;
    if (Crc32 != central.Crc32)
        return false;
    if (CompressedSize != Marker32 && central.CompressedSize != Marker32 &&
        CompressedSize != central.CompressedSize)
        return false;
    return true;
}

bool TZALocalHeader::SameFieldsAs(const TDirItem& central) const {
    return HasSignature() && VersionNeeded == central.VersionNeeded && Method == central.Method &&
           ModTime == central.ModTime && ModDate == central.ModDate && Crc32 == central.Crc32 &&
           CompressedSize == central.CompressedSize && UncompressedSize == central.UncompressedSize;
}

} // namespace vx::zip
