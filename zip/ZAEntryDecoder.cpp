#include "zip/ZAEntryDecoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>

#include <libdeflate.h>
#include <zlib.h>

#include "platform/Process.h"
#include "zip/ZAConst.h"
#include "zip/ZAExcept.h"
#include "zip/ZALocalHeader.h"
#include "zip/ZAScan.h"

namespace vx::zip {

using namespace vx::platform;

using namespace za;

// A zlib inflate stream, ended on every way out.
struct TZAInflater {
    z_stream zs{};
    bool ready = false;
    bool ended = false; // the deflate stream reached its end
    TZAInflater() {
        ready = inflateInit(&zs) == Z_OK;
        // The entry's CRC-32 guards the data; the Adler-32 of the zlib
        // wrapping is never in the archive, so it is not computed at all.
        if (ready)
            inflateValidate(&zs, 0);
    }
    ~TZAInflater() {
        if (ready)
            inflateEnd(&zs);
    }
    TZAInflater(const TZAInflater&) = delete;
    TZAInflater& operator=(const TZAInflater&) = delete;
};

namespace {

// The raw deflate data of an entry reads as a zlib stream behind this
// header: deflate, 32 KiB window, lowest level flag.
constexpr uint8_t ZlibHeader[2] = {0x78, 0x01};

// Reading /proc/meminfo for each of many small entries would cost more
// than decoding them; the figure is refreshed a few times a second. Decoders
// run on more than one thread, so the cache is shared under a lock.
uint64_t availableMemory() {
    using Clock = std::chrono::steady_clock;
    static std::mutex mutex;
    static uint64_t cached = 0;
    static Clock::time_point at{};
    std::lock_guard<std::mutex> lock(mutex);
    auto now = Clock::now();
    if (cached == 0 || now - at > std::chrono::milliseconds(250)) {
        cached = AvailablePhysicalMemory();
        at = now;
    }
    return cached;
}

// One whole-buffer decompressor per thread, made on first use.
libdeflate_decompressor* wholeDecompressor() {
    struct Holder {
        libdeflate_decompressor* d = libdeflate_alloc_decompressor();
        ~Holder() {
            if (d)
                libdeflate_free_decompressor(d);
        }
    };
    thread_local Holder holder;
    return holder.d;
}

} // namespace

TZAEntryDecoder::TZAEntryDecoder(const TZADecodeContext& context, TStream& archive, TStream& output,
                                 const TDirItem& item)
    : context_(context), archive_(archive), output_(output), item_(item) {}

TZAEntryDecoder::~TZAEntryDecoder() = default;

uint64_t TZAEntryDecoder::OutputEstimate(uint32_t uncompressed, uint32_t compressed, int64_t chunk) {
    uint64_t ratio = uncompressed / std::max<uint32_t>(compressed, 1);
    uint64_t c = static_cast<uint64_t>(std::max<int64_t>(chunk, 0));
    uint64_t v = ((ratio + 1) * (c + c / 2 + 12 + 255)) & ~uint64_t{0xFF};
    if (v == 0)
        v = 1;
    return static_cast<uint64_t>(std::pow(2.0, std::round(std::log2(static_cast<double>(v)))));
}

bool TZAEntryDecoder::wholeCandidate() const {
    return context_.WholeBuffer && !encrypted_ &&
           (item_.Method == MethodStored || item_.Method == MethodDeflate) && compressedSize_ <= WholeLimit &&
           expectedSize_ <= WholeLimit - compressedSize_;
}

TZADecodeResult TZAEntryDecoder::readLocalHeader() {
    const int64_t at = pos_;
    if (at < 0 || at > archiveSize_)
        return TZADecodeResult::BadLocalHeader;
    TZALocalHeader h;
    if (wholeCandidate()) {
        // Header, name, extra field and data in one read: the local extra
        // field is often a little longer than the central one, hence the
        // margin. What is missing is read later.
        const int64_t want = std::min<int64_t>(
            archiveSize_ - at, static_cast<int64_t>(LocalHeaderSize + item_.NameLength + item_.ExtraLength +
                                                    64 + compressedSize_));
        prefetch_ = buffers().Input.Get(static_cast<size_t>(std::max<int64_t>(want, 1)));
        prefetchAt_ = at;
        prefetchLength_ = std::max<int64_t>(archive_.ReadAt(at, prefetch_, want), 0);
        if (prefetchLength_ < static_cast<int64_t>(LocalHeaderSize))
            return TZADecodeResult::BadLocalHeader;
        h = TZALocalHeader::Parse(prefetch_);
    } else if (!TZALocalHeader::ReadAt(archive_, at, h)) {
        return TZADecodeResult::BadLocalHeader;
    }
    if (!h.Agrees(item_))
        return TZADecodeResult::BadLocalHeader;
    // The name, the extra field and the data stay inside the entry's own
    // area: an entry reaching into another's data, or into the directory,
    // is a forgery (overlapping entries multiply one piece of data).
    const int64_t dataStart = at + h.DataOffset();
    const int64_t size = archiveSize_;
    if (dataStart > size || dataStart > context_.AreaEnd)
        return TZADecodeResult::BadLocalHeader;
    if (compressedSize_ > static_cast<uint64_t>(context_.AreaEnd - dataStart))
        return TZADecodeResult::DataOutOfBounds;
    // A cut-off entry is refused before anything of it is written, unless
    // the caller keeps corrupted output: then what is there is decoded.
    if (compressedSize_ > static_cast<uint64_t>(size - dataStart) && !context_.KeepExcessOutput)
        return TZADecodeResult::Truncated;
    localFlags_ = h.Flags;
    localTime_ = h.ModTime;
    localCrc_ = h.Crc32;
    pos_ = dataStart;
    return TZADecodeResult::Ok;
}

TZADecodeResult TZAEntryDecoder::Decode() {
    return Decode(archive_.Position());
}

TZADecodeResult TZAEntryDecoder::Decode(int64_t headerOffset) {
    pos_ = headerOffset;
    archiveSize_ = context_.ArchiveSize >= 0 ? context_.ArchiveSize : archive_.Size();
    encrypted_ = (item_.Flags & FlagEncrypted) != 0;
    compressedSize_ = item_.RealCompressedSize();
    expectedSize_ = item_.RealUncompressedSize();
    if (item_.Method == MethodDeflate64)
        return TZADecodeResult::Deflate64;
    // The block format's data is read as its blocks say, not by the
    // compressed size alone.
    if (TZADecodeResult r = readLocalHeader(); r != TZADecodeResult::Ok)
        return r;

    TZADecodeResult r;
    switch (item_.Method) {
    case MethodStored:
    case MethodDeflate:
        if (!decodeWhole(r))
            r = chunkLoop();
        break;
    default:
        r = item_.VersionNeeded > 10 ? blockFormat() : TZADecodeResult::Unsupported;
        break;
    }
    if (r != TZADecodeResult::Ok)
        return r;
    if (overrun_ || written_ != expectedSize_)
        return TZADecodeResult::SizeMismatch;
    return crc_ == item_.Crc32 ? TZADecodeResult::Ok : TZADecodeResult::CrcMismatch;
}

bool TZAEntryDecoder::decodeWhole(TZADecodeResult& result) {
    if (!wholeCandidate())
        return false;
    // Stored data of another length than declared fails its size check;
    // the streaming path gives that result with its own output.
    if (item_.Method == MethodStored && compressedSize_ != expectedSize_)
        return false;
    const int64_t need = static_cast<int64_t>(compressedSize_);
    const uint8_t* input = nullptr;
    if (prefetch_ && pos_ >= prefetchAt_ && pos_ + need <= prefetchAt_ + prefetchLength_) {
        input = prefetch_ + (pos_ - prefetchAt_);
    } else {
        // The header is read; its buffer takes the data.
        prefetch_ = nullptr;
        uint8_t* own = buffers().Input.Get(static_cast<size_t>(need));
        if (archive_.ReadAt(pos_, own, need) != need)
            return false;
        input = own;
    }
    const uint8_t* output = input;
    if (item_.Method == MethodDeflate) {
        libdeflate_decompressor* d = wholeDecompressor();
        if (!d)
            return false;
        const auto n = static_cast<size_t>(expectedSize_);
        uint8_t* decoded = context_.WholeOutput ? context_.WholeOutput->Reserve(n) : buffers().Output.Get(n);
        size_t in = 0, out = 0;
        // Bytes after the end of the deflate data are ignored, as zlib's
        // path does; anything short of exactly the declared output goes the
        // streaming way for its exact result.
        if (libdeflate_deflate_decompress_ex(d, input, static_cast<size_t>(compressedSize_), decoded,
                                             static_cast<size_t>(expectedSize_), &in,
                                             &out) != LIBDEFLATE_SUCCESS ||
            out != expectedSize_)
            return false;
        output = decoded;
    }
    // The progress the streaming path would report, chunk by chunk.
    const uint64_t available = availableMemory();
    const double total = static_cast<double>(compressedSize_);
    for (consumed_ = 0; consumed_ < compressedSize_;) {
        if (!reportProgress(total)) {
            result = TZADecodeResult::Cancelled;
            return true;
        }
        consumed_ +=
            static_cast<uint64_t>(chunkFor(static_cast<int64_t>(compressedSize_ - consumed_), available));
    }
    written_ = 0;
    crc_ = static_cast<uint32_t>(libdeflate_crc32(0, output, static_cast<size_t>(expectedSize_)));
    const bool taken =
        item_.Method == MethodDeflate && context_.WholeOutput
            ? context_.WholeOutput->Commit(static_cast<size_t>(expectedSize_))
            : expectedSize_ == 0 || output_.Write(output, static_cast<int64_t>(expectedSize_)) ==
                                        static_cast<int64_t>(expectedSize_);
    if (!taken) {
        result = TZADecodeResult::WriteFailed;
        return true;
    }
    written_ = expectedSize_;
    prefetch_ = nullptr;
    result = TZADecodeResult::Ok;
    return true;
}

bool TZAEntryDecoder::reportProgress(double total) {
    return !context_.Progress || context_.Progress(static_cast<double>(consumed_), total);
}

int64_t TZAEntryDecoder::chunkFor(int64_t left, uint64_t available) const {
    int64_t chunk = std::min<int64_t>(ChunkSize, left);
    while (chunk >= MinChunkSize &&
           OutputEstimate(item_.UncompressedSize, item_.CompressedSize, chunk) >= available / 20)
        chunk /= 2;
    return chunk;
}

TZADecodeResult TZAEntryDecoder::chunkLoop() {
    uint64_t available = availableMemory();
    const double total = static_cast<double>(compressedSize_);
    if (encrypted_) {
        if (TZADecodeResult r = passwordCheck(); r != TZADecodeResult::Ok)
            return r;
        if (compressedSize_ < EncryptionHeaderSize)
            return TZADecodeResult::Truncated;
        compressedSize_ -= EncryptionHeaderSize;
    }
    size_t readSize = static_cast<size_t>(std::min<uint64_t>(compressedSize_, ChunkSize)) + 2;
    readBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(readSize);
    if (item_.Method == MethodDeflate) {
        inflater_ = std::make_unique<TZAInflater>();
        if (!inflater_->ready)
            return TZADecodeResult::DecoderInitFailed;
        outBufferSize_ = static_cast<size_t>(
            std::clamp<uint64_t>(expectedSize_ + 1, 4096, static_cast<uint64_t>(OutputBufferSize)));
        outBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(outBufferSize_);
    }
    consumed_ = written_ = 0;
    crc_ = 0;

    while (consumed_ < compressedSize_) {
        if (!reportProgress(total))
            return TZADecodeResult::Cancelled;
        int64_t chunk = chunkFor(static_cast<int64_t>(compressedSize_ - consumed_), available);
        if (!readChunk(readBuffer_.get() + 2, chunk))
            return TZADecodeResult::Truncated;
        if (TZADecodeResult r = decodeChunk(readBuffer_.get() + 2, chunk); r != TZADecodeResult::Ok)
            return r;
        consumed_ += static_cast<uint64_t>(chunk);
    }
    return TZADecodeResult::Ok;
}

bool TZAEntryDecoder::readChunk(uint8_t* dest, int64_t count) {
    // A single-file archive has no next volume to continue on.
    int64_t got = archive_.ReadAt(pos_, dest, count);
    if (got > 0)
        pos_ += got;
    return got == count;
}

TZADecodeResult TZAEntryDecoder::emit(const uint8_t* data, size_t count) {
    if (count == 0)
        return TZADecodeResult::Ok;
    // More output than the directory announces can only fail the size
    // check; stopping here keeps a bomb from filling the disk, unless the
    // caller keeps corrupted output whole.
    if (written_ + count > expectedSize_) {
        overrun_ = true;
        if (!context_.KeepExcessOutput)
            return TZADecodeResult::SizeMismatch;
    }
    // libdeflate's CRC-32 uses the carry-less multiply where the processor has
    // it: several times faster than zlib's, the same value.
    crc_ = libdeflate_crc32(crc_, data, count);
    if (output_.Write(data, static_cast<int64_t>(count)) != static_cast<int64_t>(count))
        return TZADecodeResult::WriteFailed;
    written_ += count;
    return TZADecodeResult::Ok;
}

TZADecodeResult TZAEntryDecoder::decodeChunk(uint8_t* data, int64_t count) {
    if (count <= 0)
        return TZADecodeResult::Truncated;
    if (encrypted_)
        keys_.Decrypt(data, static_cast<size_t>(count));
    if (item_.Method == MethodStored)
        return emit(data, static_cast<size_t>(count));
    const uint8_t* input = data;
    size_t length = static_cast<size_t>(count);
    if (consumed_ == 0) {
        // The read buffer keeps two bytes free in front for the header.
        data[-2] = ZlibHeader[0];
        data[-1] = ZlibHeader[1];
        input = data - 2;
        length += 2;
    }
    return inflateInput(*inflater_, input, length, expectedSize_, context_.KeepExcessOutput);
}

TZADecodeResult TZAEntryDecoder::inflateInput(TZAInflater& inflater, const uint8_t* input, size_t count,
                                              uint64_t limit, bool keepExcess) {
    if (inflater.ended)
        return TZADecodeResult::Ok; // bytes after the end of the deflate data are ignored
    z_stream& zs = inflater.zs;
    zs.next_in = const_cast<Bytef*>(input);
    zs.avail_in = static_cast<uInt>(count);
    for (;;) {
        zs.next_out = outBuffer_.get();
        zs.avail_out = static_cast<uInt>(outBufferSize_);
        uInt inBefore = zs.avail_in;
        int ret = inflate(&zs, Z_NO_FLUSH);
        size_t produced = outBufferSize_ - zs.avail_out;
        if (ret == Z_BUF_ERROR && zs.avail_in == 0)
            return TZADecodeResult::Ok; // nothing more without further input
        if (ret < 0 || ret == Z_NEED_DICT)
            return TZADecodeResult::CorruptData;
        if (written_ + produced > limit && !keepExcess) {
            emit(outBuffer_.get(), static_cast<size_t>(limit - written_));
            overrun_ = true;
            return TZADecodeResult::SizeMismatch;
        }
        if (TZADecodeResult r = emit(outBuffer_.get(), produced); r != TZADecodeResult::Ok)
            return r;
        if (ret == Z_STREAM_END) {
            inflater.ended = true;
            return TZADecodeResult::Ok;
        }
        if (zs.avail_out != 0 && zs.avail_in == 0)
            return TZADecodeResult::Ok;
        if (produced == 0 && zs.avail_in == inBefore)
            return TZADecodeResult::CorruptData; // no progress
    }
}

TZADecodeResult TZAEntryDecoder::passwordCheck() {
    int64_t start = pos_;
    static std::string noPassword;
    std::string& password = context_.Password ? *context_.Password : noPassword;
    for (;;) {
        uint8_t header[EncryptionHeaderSize];
        if (archive_.ReadAt(start, header, sizeof header) != static_cast<int64_t>(sizeof header))
            return TZADecodeResult::Truncated;
        keys_.Init(password);
        keys_.Decrypt(header, sizeof header);
        uint8_t check = (localFlags_ & FlagDataDescriptor) ? static_cast<uint8_t>(localTime_ >> 8)
                                                           : static_cast<uint8_t>(localCrc_ >> 24);
        if (header[EncryptionHeaderSize - 1] == check) {
            pos_ = start + static_cast<int64_t>(EncryptionHeaderSize);
            return TZADecodeResult::Ok;
        }
        if (!context_.AskPassword || !context_.AskPassword(password))
            return TZADecodeResult::Skipped;
    }
}

TZADecodeResult TZAEntryDecoder::blockFormat() {
    uint8_t header[BlockHeaderSize];
    if (!readChunk(header, BlockHeaderSize))
        return TZADecodeResult::Truncated;
    consumed_ = BlockHeaderSize;
    written_ = 0;
    crc_ = 0;
    uint32_t blockOutput = ReadU32LE(header);
    uint64_t totalOutput =
        item_.UncompressedSize != Marker32 ? ReadU32LE(header + 8) : item_.UncompressedSize64;
    int32_t blocks = static_cast<int32_t>(ReadU32LE(header + 16));
    bool otherAlgorithm = header[20] != 0;
    bool compressed = header[21] != 0;
    // Strong encryption of this format is not supported.
    if (ReadU16LE(header + 22) != 0xFFFF)
        return TZADecodeResult::Unsupported;
    const double total = static_cast<double>(archiveSize_);
    readBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(ChunkSize));
    outBufferSize_ = OutputBufferSize;
    outBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(outBufferSize_);

    for (int32_t b = 0; b < blocks; ++b) {
        if (!reportProgress(total))
            return TZADecodeResult::Cancelled;
        uint8_t lengthBytes[4];
        if (!readChunk(lengthBytes, 4))
            return TZADecodeResult::Truncated;
        uint32_t length = ReadU32LE(lengthBytes);
        if (length > static_cast<uint64_t>(archiveSize_ - pos_))
            return TZADecodeResult::Truncated;
        bool last = b == blocks - 1;
        if (last && totalOutput < written_)
            return TZADecodeResult::SizeMismatch;
        uint64_t expected = last ? totalOutput - written_ : blockOutput;
        uint64_t limit = written_ + expected;
        if (compressed && otherAlgorithm)
            return TZADecodeResult::Unsupported;
        TZAInflater inflater;
        if (compressed && !inflater.ready)
            return TZADecodeResult::DecoderInitFailed;
        uint64_t left = length;
        bool full = false; // the block gave its expected output
        while (left > 0) {
            auto piece = static_cast<size_t>(std::min<uint64_t>(left, ChunkSize));
            if (!readChunk(readBuffer_.get(), static_cast<int64_t>(piece)))
                return TZADecodeResult::Truncated;
            left -= piece;
            if (full)
                continue;
            if (compressed) {
                TZADecodeResult r = inflateInput(inflater, readBuffer_.get(), piece, limit, false);
                if (r == TZADecodeResult::SizeMismatch)
                    full = true; // a block's surplus output is dropped
                else if (r != TZADecodeResult::Ok)
                    return r;
            } else {
                size_t keep = static_cast<size_t>(std::min<uint64_t>(piece, limit - written_));
                if (TZADecodeResult r = emit(readBuffer_.get(), keep); r != TZADecodeResult::Ok)
                    return r;
            }
        }
        if (written_ != limit)
            return TZADecodeResult::SizeMismatch;
        consumed_ += 4 + static_cast<uint64_t>(length);
    }
    return TZADecodeResult::Ok;
}

} // namespace vx::zip
