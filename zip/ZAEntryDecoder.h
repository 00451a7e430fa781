// Decoding of one entry's data into an output stream: the local header
// stepped over, stored and deflated data (zlib), the component's own block
// format, traditional decryption, and the size and CRC-32 checks.
//
// Memory stays bounded whatever the entry's size or compression ratio:
// input is read in chunks of at most 1 MiB and output is written as each
// piece of at most 256 KiB fills.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "platform/Streams.h"
#include "zip/ZACrypt.h"
#include "zip/ZADirectory.h"

namespace vx::zip {

using namespace vx::platform;

struct TZAInflater;

// How a decode ended.
enum class TZADecodeResult {
    Ok,                // decoded, size and CRC-32 as the central record says
    Skipped,           // the password prompt was refused
    Cancelled,         // a progress handler asked to stop
    BadLocalHeader,    // no local header there, or one that disagrees
    DataOutOfBounds,   // the data would run past its own area
    Truncated,         // the data ends before its compressed size
    CorruptData,       // the data cannot be decoded
    Unsupported,       // a method or format this decoder does not read
    Deflate64,         // method 9
    SizeMismatch,      // decoded to another size than declared
    CrcMismatch,       // decoded to the declared size with another CRC-32
    WriteFailed,       // the output took fewer bytes than given (a full disk)
    DecoderInitFailed, // zlib could not be started
};

// A buffer kept from one entry to the next: fresh large blocks cost a page
// fault for every page each time.
struct TZAScratch {
    std::unique_ptr<uint8_t[]> Data;
    size_t Size = 0;
    uint8_t* Get(size_t n) {
        if (n > Size || !Data) {
            Data = std::make_unique_for_overwrite<uint8_t[]>(std::max<size_t>(n, 1));
            Size = std::max<size_t>(n, 1);
        }
        return Data.get();
    }
};
struct TZADecodeBuffers {
    TZAScratch Input, Output;
};

// Where a decoder puts the whole output of an entry decoded in one piece
// when the caller can take it as it is, without a copy.
class TZAWholeOutput {
public:
    virtual ~TZAWholeOutput() = default;
    // Room for n bytes, valid until the next call.
    virtual uint8_t* Reserve(size_t n) = 0;
    // The n bytes reserved are the output; false when they cannot be taken
    // (a short write).
    virtual bool Commit(size_t n) = 0;
};

// What the decoder needs of its caller, and nothing more.
struct TZADecodeContext {
    // Called before each chunk with the compressed bytes consumed and the
    // total; false stops the decode (Cancelled).
    std::function<bool(double position, double total)> Progress;
    // The password does not fit an encrypted entry: asked for another,
    // written to the string; false refuses (Skipped).
    std::function<bool(std::string& password)> AskPassword;
    std::string* Password = nullptr;
    // Output past the declared size is kept rather than cut: the caller
    // keeps corrupted output as it was written.
    bool KeepExcessOutput = false;
    // The entry's local header, name, extra field and data must lie before
    // this position (the next entry's header, or the central directory).
    int64_t AreaEnd = std::numeric_limits<int64_t>::max();
    // The archive's size when the caller knows it (a pass reads it once);
    // negative: asked of the stream.
    int64_t ArchiveSize = -1;
    // An entry whose data and output together stay within WholeLimit may be
    // read in one piece and decoded in one call, which is about twice as
    // fast as streaming it; progress is then reported for all its chunks
    // before its output is written. Whatever fails that way is decoded
    // again by the streaming path, so results and output are the same.
    bool WholeBuffer = false;
    // Buffers for that, kept by the caller across entries; null: the
    // decoder's own.
    TZADecodeBuffers* Buffers = nullptr;
    // Takes a deflated entry's whole output in place of the output stream.
    TZAWholeOutput* WholeOutput = nullptr;
};

// Data and output of an entry decoded in one piece stay within this.
constexpr uint64_t WholeLimit = 8u << 20;

class TZAEntryDecoder {
public:
    TZAEntryDecoder(const TZADecodeContext& context, TStream& archive, TStream& output, const TDirItem& item);
    ~TZAEntryDecoder();
    // Decodes the entry whose local header is at the archive's current
    // position.
    TZADecodeResult Decode();
    // Decodes the entry whose local header is at headerOffset. The archive
    // is read only at positions (ReadAt), so decoders on several threads
    // can share one file stream.
    TZADecodeResult Decode(int64_t headerOffset);

    // Size of the output buffer the original chunk sizing reckons with for
    // a chunk; used to keep chunks small for highly compressed entries.
    static uint64_t OutputEstimate(uint32_t uncompressed, uint32_t compressed, int64_t chunk);
    uint64_t Written() const { return written_; }

private:
    TZADecodeResult readLocalHeader();
    bool wholeCandidate() const;
    // Decodes the entry in one call when it can; false leaves it to the
    // streaming path with nothing reported or written.
    bool decodeWhole(TZADecodeResult& result);
    TZADecodeResult chunkLoop();
    TZADecodeResult blockFormat();
    TZADecodeResult passwordCheck();
    bool readChunk(uint8_t* dest, int64_t count);
    TZADecodeResult decodeChunk(uint8_t* data, int64_t count);
    TZADecodeResult inflateInput(TZAInflater& inflater, const uint8_t* input, size_t count, uint64_t limit,
                                 bool keepExcess);
    TZADecodeResult emit(const uint8_t* data, size_t count);
    bool reportProgress(double total);
    int64_t chunkFor(int64_t left, uint64_t available) const;

    const TZADecodeContext& context_;
    TStream& archive_;
    TStream& output_;
    const TDirItem& item_;
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
    int64_t pos_ = 0; // where the next read from the archive starts
    int64_t archiveSize_ = 0;
    // The entry's header and data when read in one piece, from prefetchAt_.
    uint8_t* prefetch_ = nullptr;
    TZADecodeBuffers ownBuffers_;
    TZADecodeBuffers& buffers() { return context_.Buffers ? *context_.Buffers : ownBuffers_; }
    int64_t prefetchAt_ = 0;
    int64_t prefetchLength_ = 0;
    TZACryptKeys keys_;
    std::unique_ptr<uint8_t[]> readBuffer_;
    std::unique_ptr<uint8_t[]> outBuffer_;
    size_t outBufferSize_ = 0;
    std::unique_ptr<TZAInflater> inflater_;
};

} // namespace vx::zip
