// Constants of the archive component: record signatures and sizes of the ZIP
// format, the bounds of the reader, and the component's texts.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vx::zip {

namespace za {

// Record signatures, as they read little-endian.
constexpr uint32_t SigEndRecord = 0x06054B50;
constexpr uint32_t SigZip64Locator = 0x07064B50;
constexpr uint32_t SigZip64EndRecord = 0x06064B50;
constexpr uint32_t SigCentralHeader = 0x02014B50;
constexpr uint32_t SigLocalHeader = 0x04034B50;
constexpr uint32_t SigDataDescriptor = 0x08074B50;

// Fixed record sizes.
constexpr size_t EndRecordSize = 22;
constexpr size_t Zip64LocatorSize = 20;
constexpr size_t Zip64EndRecordSize = 56;
constexpr size_t CentralHeaderSize = 46;
constexpr size_t LocalHeaderSize = 30;
constexpr size_t DataDescriptorSize = 16;
constexpr size_t EncryptionHeaderSize = 12;
constexpr size_t BlockHeaderSize = 50;

// Extra field block holding the Zip64 values.
constexpr uint16_t ExtraIdZip64 = 0x0001;
// Extra blocks that Info-ZIP writes only for entries made on Unix.
constexpr uint16_t ExtraIdInfoZipUnixOld = 0x5855; // "UX"
constexpr uint16_t ExtraIdInfoZipUnix = 0x7855;    // "Ux"
constexpr uint16_t ExtraIdInfoZipUnixNew = 0x7875; // "ux"

// The end record lies within the last 64 KiB (its comment is at most 65,535
// bytes) plus a little.
constexpr int64_t EndRecordSearchWindow = 65600;
// Windows of the forward signature searches; successive windows overlap by
// 4 bytes so that a signature across a border is found.
constexpr int64_t StubSearchWindow = 10000;
constexpr int64_t RebuildSearchWindow = 65535;
// A rebuilt item is taken only when its local extra field looks plausible.
constexpr uint16_t RebuildMaxExtraLength = 260;
// A hostile file may hold a local header signature every few bytes; past
// this many the rebuild scan stops rather than exhaust memory.
constexpr size_t RebuildMaxItems = 1000000;
// Names and comments are held to this many characters.
constexpr size_t MaxNameLength = 256;
// A search mask holds at most this many characters.
constexpr size_t MaxMaskLength = 259;

// General purpose flags.
constexpr uint16_t FlagEncrypted = 0x0001;
constexpr uint16_t FlagDataDescriptor = 0x0008;
constexpr uint16_t FlagUtf8Name = 0x0800;

// Compression methods.
constexpr uint16_t MethodStored = 0;
constexpr uint16_t MethodDeflate = 8;
constexpr uint16_t MethodDeflate64 = 9;

// Host system in the high byte of "version made by".
constexpr uint8_t HostUnix = 3;

// Markers of values kept in the Zip64 extra block.
constexpr uint32_t Marker32 = 0xFFFFFFFF;
constexpr uint16_t Marker16 = 0xFFFF;

// Decoding: chunks read at once, the floor below which a chunk is not
// halved, and the output piece written to the target as it fills (small
// enough for the CRC and the write to find it in the cache).
constexpr int64_t ChunkSize = 1048576;
constexpr int64_t MinChunkSize = 512;
constexpr size_t OutputBufferSize = 262144;

// Attribute bits of directory items.
constexpr uint32_t AttrDirectory = 0x10;
constexpr uint32_t AttrArchive = 0x20;
// Attribute bits that exclude an item unless they are searched for.
constexpr uint32_t AttrSearchMask = 0x1E;
constexpr uint32_t DefaultSearchAttr = 0x28BF;

// Texts of the component (resource strings), in English as shown to users.
inline constexpr const char* SCannotSetSpanningMode = "Cannot set spanning mode on open archive";
inline constexpr const char* SOverwriteFile = "Overwrite file \"%s\" with \"%s\"";
inline constexpr const char* SProcessFileFailure = "%s. File processing error, possibly disk is full";
inline constexpr const char* SPasswordFor = "Password for \"%s\"";
inline constexpr const char* SEnterPassword = "Enter password: ";
inline constexpr const char* SNativeError = " - Native error: ";
// The version the component reports.
inline constexpr const char* SCurrentVersion = "2.63 ";

// Texts of the user-interface library's boxes (UTF-8; converted with Txt).
inline constexpr const char* SConfirmTitle = "Confirmar";
inline constexpr const char* SBtnYes = "&Sim";
inline constexpr const char* SBtnNo = "&Não";
inline constexpr const char* SBtnNoToAll = "Nã&o para todos";
inline constexpr const char* SBtnYesToAll = "Sim para &Todos";
inline constexpr const char* SBtnAbort = "&Abortar";
inline constexpr const char* SBtnRetry = "&Tentar";
inline constexpr const char* SBtnIgnore = "&Ignorar";

} // namespace za

} // namespace vx::zip
