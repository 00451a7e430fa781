// The directory of an open archive: one item per stored file, read from the
// central directory (or rebuilt from the local headers of a damaged file).
#pragma once

#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "platform/SysUtils.h"

namespace vx::zip {

using namespace vx::platform;

class TZABaseArchiver;
namespace za {
class TZAFieldReader;
}

// One block of an item's extra field; the item owns its data.
struct TZAExtraField {
    uint16_t HeaderId = 0;
    uint16_t DataSize = 0;
    std::vector<uint8_t> Data;
};

// One directory item. The first seventeen fields are the fixed part of the
// central directory file header, kept exactly as stored.
struct TDirItem {
    uint32_t Signature = 0;
    uint16_t VersionMadeBy = 0;
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
    uint16_t CommentLength = 0;
    uint16_t DiskStart = 0;
    uint16_t InternalAttributes = 0;
    uint32_t ExternalAttributes = 0;
    uint32_t HeaderOffset = 0;

    std::string Name;           // CP1252, folders separated by '/'
    std::string ProcessingName; // used by the processing passes
    std::string Comment;        // as stored, at most 256 characters
    std::vector<TZAExtraField> ExtraFields;
    bool HasZip64Info = false;
    uint64_t UncompressedSize64 = 0;
    uint64_t CompressedSize64 = 0;
    uint64_t HeaderOffset64 = 0;
    int32_t DiskStart64 = 0;

    // Processing state.
    bool Selected = false;
    uint8_t CurrentOperation = 0;
    // Checks of the directory as a whole, made when it is read: where the
    // entry's own area ends (the next local header or the directory), and
    // whether its area overlaps another entry's or the directory.
    int64_t AreaEnd = std::numeric_limits<int64_t>::max();
    bool Overlapping = false;
    // The stored name did not fit (longer than the component holds, or cut
    // by a NUL): the entry is never written under the shorter name.
    bool NameCut = false;

    // The real values, taking the Zip64 block where the 32-bit field holds
    // its marker.
    uint64_t RealCompressedSize() const;
    uint64_t RealUncompressedSize() const;
    uint64_t RealHeaderOffset() const;
};

// The growable item list. Index errors raise EZAException 1 to 4.
class TZADirArray {
public:
    int32_t Count() const { return static_cast<int32_t>(items_.size()); }
    // Setting 0 frees everything; lowering keeps the storage; raising adds
    // zeroed items, growing the capacity by a doubling step.
    void SetCount(int32_t count);
    int32_t Capacity() const { return capacity_; }
    TDirItem GetItem(int32_t index) const;             // code 2
    void SetItem(int32_t index, const TDirItem& item); // code 1
    TDirItem& Item(int32_t index);                     // code 3
    const TDirItem& Item(int32_t index) const;         // code 3
    void Delete(int32_t index);                        // code 4
    void Clear() { SetCount(0); }
    // Appends a zeroed item and gives it.
    TDirItem& Add();

private:
    void grow(int32_t needed);
    std::vector<TDirItem> items_;
    int32_t capacity_ = 0;
    int32_t step_ = 500;
};

enum class TZAVolumeKind { vnkFirst, vnkLast, vnkNumbered, vnkUnknown };

struct TZAVolumeNumberInfo {
    TZAVolumeKind Kind = TZAVolumeKind::vnkUnknown;
    int32_t VolumeNumber = -1;
    int32_t LastVolumeNumber = -1;
    void Reset() { *this = TZAVolumeNumberInfo{}; }
    static TZAVolumeNumberInfo First() { return {TZAVolumeKind::vnkFirst, 0, -1}; }
    static TZAVolumeNumberInfo Last() { return {TZAVolumeKind::vnkLast, -1, -1}; }
};

// The end of central directory record, field by field.
struct TZAEndRecord {
    uint32_t Signature = 0;
    uint16_t DiskNumber = 0;
    uint16_t StartDisk = 0;
    uint16_t EntriesOnDisk = 0;
    uint16_t TotalEntries = 0;
    uint32_t DirectorySize = 0;
    uint32_t DirectoryOffset = 0;
    uint16_t CommentLength = 0;
    static TZAEndRecord Parse(const uint8_t* p);
    static TZAEndRecord Template();
    std::array<uint8_t, 22> Bytes() const;
};

// What reading a directory takes from the component's settings.
struct TZAReadOptions {
    bool OEMFileNames = true; // names without a UTF-8 mark are OEM text
    bool Spanning = false;    // the archive may continue on other volumes
    // Named in front of the messages raised while reading; may be null.
    const TComponent* Reporter = nullptr;
};

// The directory of one open archive.
class TZADirManager {
public:
    TZADirManager(TStream* stream, TZABaseArchiver* archiver, bool isNewArchive);

    struct FoundEndRecord {
        bool Found = false;
        int64_t Position = -1;
        TZAEndRecord Record;
    };
    // Searches the end of the stream backwards for the record; fills
    // ArchiveComment when found.
    FoundEndRecord FindEndRecord(uint32_t signature);
    // Fills Items, EndRecord, ArchiveComment, the Zip64 copies and DataShift.
    void ReadDirectory(const TZAReadOptions& options = {});

    TStream* Stream() const { return stream_; }
    bool ExternalStream = false; // the stream is not the archiver's own
    TZABaseArchiver* Archiver() const { return archiver_; }
    bool IsNewArchive = false;
    TZADirArray Items;
    TZADirArray UpdateItems; // used while an update batch is committed
    std::string ArchiveComment;
    std::array<uint8_t, 20> Zip64Locator{};
    std::array<uint8_t, 56> Zip64EndRecord{};
    TZAEndRecord EndRecord = TZAEndRecord::Template();
    int64_t DataShift = 0;
    bool HasZip64End = false;

private:
    int64_t findZip64EndRecord(int64_t locatorPosition);
    void readItems(int64_t start, uint32_t count, int64_t end);
    void readItem(za::TZAFieldReader& reader, const uint8_t* fixed, TDirItem& item);
    void parseExtraField(TDirItem& item, const std::vector<uint8_t>& extra);
    void stubCheck(int64_t endPosition);
    void correctOffsets(int64_t directoryStart, uint64_t storedDirectoryOffset);
    void applyDataShift();
    void markAreas(int64_t directoryStart);
    void rebuildFromLocalHeaders();
    bool hasUnixExtraBlock(int64_t position, uint16_t length) const;
    std::string decodeName(const std::string& raw, TDirItem& item) const;

    TStream* stream_;
    TZABaseArchiver* archiver_;
    TZAReadOptions options_;
};

} // namespace vx::zip
