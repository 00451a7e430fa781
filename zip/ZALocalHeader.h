// The local file header in front of each entry's data: read field by field,
// checked for its signature, and compared with the entry's central record,
// which governs method, sizes and CRC-32.
#pragma once

#include <cstdint>

#include "platform/Streams.h"
#include "zip/ZADirectory.h"

namespace vx::zip {

using namespace vx::platform;

struct TZALocalHeader {
    uint32_t Signature = 0;
    uint16_t VersionNeeded = 0;
    uint16_t Flags = 0;
    uint16_t Method = 0;
    uint16_t ModTime = 0;
    uint16_t ModDate = 0;
    uint32_t Crc32 = 0;
    uint32_t CompressedSize = 0;
    uint32_t UncompressedSize = 0;
    uint16_t NameLength = 0;
    uint16_t ExtraLength = 0;

    // From the fixed 30 bytes at p.
    static TZALocalHeader Parse(const uint8_t* p);
    // Reads the fixed part at an absolute position (without moving a file
    // stream's position); false when the stream ends first.
    static bool ReadAt(TStream& stream, int64_t position, TZALocalHeader& header);

    bool HasSignature() const;
    // Bytes from the header's start to the entry's data.
    int64_t DataOffset() const;
    // The same entry as the central record says: the method, and where the
    // header carries them (no data descriptor, no Zip64 marker), the CRC-32
    // and the compressed size. Names are not compared: writers differ in
    // the separators and letter case they store in each place.
    bool Agrees(const TDirItem& central) const;
    // Every field the central record repeats, as the search for an archive's
    // real start compares them (flags and name aside).
    bool SameFieldsAs(const TDirItem& central) const;
};

} // namespace vx::zip
