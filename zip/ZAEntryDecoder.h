// Decoding of one entry's data into an output stream: the local header
// stepped over, stored and deflated data (zlib), the component's own block
// format, traditional decryption, and the size and CRC-32 checks.
//
// Memory stays bounded whatever the entry's size or compression ratio:
// input is read in chunks of at most 1 MiB and output is written as each
// piece of at most 256 KiB fills.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/Streams.h"
#include "zip/ZACrypt.h"
#include "zip/ZADirectory.h"

class TZABaseArchiver;
struct TZAInflater;

class TZAEntryDecoder {
public:
    TZAEntryDecoder(TZABaseArchiver& archiver, TStream& archive, TStream& output, TDirItem& item);
    ~TZAEntryDecoder();
    // Decodes from the archive's current position (the local header).
    // True when the entry decoded and passed its checks, or was skipped.
    bool Decode();

    // Size of the output buffer the original chunk sizing reckons with for
    // a chunk; used to keep chunks small for highly compressed entries.
    static uint64_t OutputEstimate(uint32_t uncompressed, uint32_t compressed, int64_t chunk);
    uint64_t Written() const { return written_; }

private:
    bool readLocalHeader();
    bool chunkLoop();
    bool blockFormat();
    bool passwordFits();
    bool readChunk(uint8_t* dest, int64_t count);
    bool decodeChunk(uint8_t* data, int64_t count);
    bool inflateInput(TZAInflater& inflater, const uint8_t* input, size_t count, uint64_t limit);
    bool emit(const uint8_t* data, size_t count);
    bool reportProgress();
    int64_t chunkFor(int64_t left, uint64_t available) const;

    TZABaseArchiver& archiver_;
    TStream& archive_;
    TStream& output_;
    TDirItem& item_;
    bool encrypted_ = false;
    uint16_t localFlags_ = 0;
    uint16_t localTime_ = 0;
    uint32_t localCrc_ = 0;
    uint64_t compressedSize_ = 0;
    uint64_t expectedSize_ = 0;
    uint64_t consumed_ = 0;
    uint64_t written_ = 0;
    uint32_t crc_ = 0;
    bool overrun_ = false;
    TZACryptKeys keys_;
    std::unique_ptr<uint8_t[]> readBuffer_;
    std::unique_ptr<uint8_t[]> outBuffer_;
    size_t outBufferSize_ = 0;
    std::unique_ptr<TZAInflater> inflater_;
};
