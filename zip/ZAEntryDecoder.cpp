#include "zip/ZAEntryDecoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include <zlib.h>

#include "platform/Process.h"
#include "zip/ZABaseArchiver.h"
#include "zip/ZAConst.h"
#include "zip/ZAExcept.h"
#include "zip/ZAScan.h"

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
// than decoding them; the figure is refreshed a few times a second.
uint64_t availableMemory() {
    using Clock = std::chrono::steady_clock;
    static uint64_t cached = 0;
    static Clock::time_point at{};
    auto now = Clock::now();
    if (cached == 0 || now - at > std::chrono::milliseconds(250)) {
        cached = AvailablePhysicalMemory();
        at = now;
    }
    return cached;
}

} // namespace

TZAEntryDecoder::TZAEntryDecoder(TZABaseArchiver& archiver, TStream& archive, TStream& output, TDirItem& item)
    : archiver_(archiver), archive_(archive), output_(output), item_(item) {}

TZAEntryDecoder::~TZAEntryDecoder() = default;

uint64_t TZAEntryDecoder::OutputEstimate(uint32_t uncompressed, uint32_t compressed, int64_t chunk) {
    uint64_t ratio = uncompressed / std::max<uint32_t>(compressed, 1);
    uint64_t c = static_cast<uint64_t>(std::max<int64_t>(chunk, 0));
    uint64_t v = ((ratio + 1) * (c + c / 2 + 12 + 255)) & ~uint64_t{0xFF};
    if (v == 0)
        v = 1;
    return static_cast<uint64_t>(std::pow(2.0, std::round(std::log2(static_cast<double>(v)))));
}

bool TZAEntryDecoder::readLocalHeader() {
    uint8_t h[LocalHeaderSize];
    archive_.ReadBuffer(h, sizeof h);
    // Only the two lengths position the data; the central record governs
    // method, sizes and CRC.
    localFlags_ = ReadU16LE(h + 6);
    localTime_ = ReadU16LE(h + 10);
    localCrc_ = ReadU32LE(h + 14);
    int64_t skip = static_cast<int64_t>(ReadU16LE(h + 26)) + ReadU16LE(h + 28);
    archive_.Seek(skip, soCurrent);
    return true;
}

bool TZAEntryDecoder::Decode() {
    encrypted_ = (item_.Flags & FlagEncrypted) != 0;
    readLocalHeader();
    compressedSize_ = item_.RealCompressedSize();
    expectedSize_ = item_.RealUncompressedSize();
    archiver_.entryTotal_ = static_cast<double>(compressedSize_);
    archiver_.skipEntry_ = false;

    bool ok;
    switch (item_.Method) {
    case MethodStored:
    case MethodDeflate:
        ok = chunkLoop();
        break;
    case MethodDeflate64:
        throw EZAException::CreateFromCode(55, nullptr);
    default:
        ok = item_.VersionNeeded > 10 && blockFormat();
        break;
    }
    if (!ok || overrun_)
        return false;
    if (written_ != expectedSize_)
        return false;
    if (archiver_.skipEntry_)
        return true;
    return crc_ == item_.Crc32;
}

bool TZAEntryDecoder::reportProgress() {
    if (!archiver_.progressActive_)
        return true;
    double position = archiver_.entryPosition_;
    double total = archiver_.entryTotal_;
    double fraction = total > 0 ? position / total : 0.0;
    auto op = static_cast<TZAProcessOperation>(item_.CurrentOperation);
    bool cancel = false;
    archiver_.DoOnFileProgress(item_.Name, fraction * 100.0, op, ppProcess, cancel);
    if (cancel) {
        archiver_.cancelRequested_ = true;
        return false;
    }
    double files = archiver_.filesToProcess_;
    archiver_.DoOnOverallProgress((fraction + archiver_.filesDone_) / files * 100.0, op, ppProcess, cancel);
    if (cancel) {
        archiver_.cancelRequested_ = true;
        return false;
    }
    return true;
}

int64_t TZAEntryDecoder::chunkFor(int64_t left, uint64_t available) const {
    int64_t chunk = std::min<int64_t>(ChunkSize, left);
    while (chunk >= MinChunkSize &&
           OutputEstimate(item_.UncompressedSize, item_.CompressedSize, chunk) >= available / 20)
        chunk /= 2;
    return chunk;
}

bool TZAEntryDecoder::chunkLoop() {
    uint64_t available = availableMemory();
    if (encrypted_) {
        if (!passwordFits())
            return false;
        if (compressedSize_ < EncryptionHeaderSize)
            return false;
        compressedSize_ -= EncryptionHeaderSize;
    }
    size_t readSize = static_cast<size_t>(std::min<uint64_t>(compressedSize_, ChunkSize)) + 2;
    readBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(readSize);
    if (item_.Method == MethodDeflate) {
        inflater_ = std::make_unique<TZAInflater>();
        if (!inflater_->ready)
            return false;
        outBufferSize_ = static_cast<size_t>(
            std::clamp<uint64_t>(expectedSize_ + 1, 4096, static_cast<uint64_t>(OutputBufferSize)));
        outBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(outBufferSize_);
    }
    consumed_ = written_ = 0;
    crc_ = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));

    while (consumed_ < compressedSize_) {
        archiver_.entryPosition_ = static_cast<double>(consumed_);
        if (!reportProgress())
            break; // cancelled: the size check fails without an error
        int64_t chunk = chunkFor(static_cast<int64_t>(compressedSize_ - consumed_), available);
        if (!readChunk(readBuffer_.get() + 2, chunk))
            return false;
        if (!decodeChunk(readBuffer_.get() + 2, chunk))
            return false;
        consumed_ += static_cast<uint64_t>(chunk);
    }
    return true;
}

bool TZAEntryDecoder::readChunk(uint8_t* dest, int64_t count) {
    // A single-file archive has no next volume to continue on.
    int64_t done = 0;
    while (done < count) {
        int64_t got = archive_.Read(dest + done, count - done);
        if (got <= 0)
            return false;
        done += got;
    }
    return true;
}

bool TZAEntryDecoder::emit(const uint8_t* data, size_t count) {
    if (count == 0)
        return true;
    // More output than the directory announces can only fail the size
    // check; stopping here keeps a bomb from filling the disk.
    if (written_ + count > expectedSize_) {
        overrun_ = true;
        return false;
    }
    crc_ = static_cast<uint32_t>(crc32(crc_, data, static_cast<uInt>(count)));
    if (output_.Write(data, static_cast<int64_t>(count)) != static_cast<int64_t>(count))
        return false; // a full disk
    written_ += count;
    return true;
}

bool TZAEntryDecoder::decodeChunk(uint8_t* data, int64_t count) {
    if (count <= 0)
        return false;
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
    return inflateInput(*inflater_, input, length, expectedSize_);
}

bool TZAEntryDecoder::inflateInput(TZAInflater& inflater, const uint8_t* input, size_t count,
                                   uint64_t limit) {
    if (inflater.ended)
        return true; // bytes after the end of the deflate data are ignored
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
            return true; // nothing more without further input
        if (ret < 0 || ret == Z_NEED_DICT)
            return false;
        if (written_ + produced > limit) {
            emit(outBuffer_.get(), static_cast<size_t>(limit - written_));
            overrun_ = true;
            return false;
        }
        if (!emit(outBuffer_.get(), produced))
            return false;
        if (ret == Z_STREAM_END) {
            inflater.ended = true;
            return true;
        }
        if (zs.avail_out != 0 && zs.avail_in == 0)
            return true;
        if (produced == 0 && zs.avail_in == inBefore)
            return false; // no progress: corrupt data
    }
}

bool TZAEntryDecoder::passwordFits() {
    int64_t start = archive_.Position();
    for (;;) {
        uint8_t header[EncryptionHeaderSize];
        if (!ReadAtExactly(archive_, start, header, sizeof header))
            return false;
        keys_.Init(archiver_.password_);
        keys_.Decrypt(header, sizeof header);
        uint8_t check = (localFlags_ & FlagDataDescriptor) ? static_cast<uint8_t>(localTime_ >> 8)
                                                           : static_cast<uint8_t>(localCrc_ >> 24);
        if (header[EncryptionHeaderSize - 1] == check)
            return true;
        archiver_.DoOnPassword(item_.Name, archiver_.password_, archiver_.skipEntry_);
        if (archiver_.skipEntry_)
            return false;
    }
}

bool TZAEntryDecoder::blockFormat() {
    uint8_t header[BlockHeaderSize];
    if (!readChunk(header, BlockHeaderSize))
        return false;
    consumed_ = BlockHeaderSize;
    written_ = 0;
    crc_ = static_cast<uint32_t>(crc32(0L, Z_NULL, 0));
    uint32_t blockOutput = ReadU32LE(header);
    uint64_t totalOutput =
        item_.UncompressedSize != Marker32 ? ReadU32LE(header + 8) : item_.UncompressedSize64;
    int32_t blocks = static_cast<int32_t>(ReadU32LE(header + 16));
    bool otherAlgorithm = header[20] != 0;
    bool compressed = header[21] != 0;
    // Strong encryption of this format is not supported.
    if (ReadU16LE(header + 22) != 0xFFFF)
        return false;
    archiver_.entryTotal_ = static_cast<double>(archive_.Size());
    readBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(ChunkSize));
    outBufferSize_ = OutputBufferSize;
    outBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(outBufferSize_);

    for (int32_t b = 0; b < blocks; ++b) {
        archiver_.entryPosition_ = static_cast<double>(consumed_);
        if (!reportProgress())
            break;
        uint8_t lengthBytes[4];
        if (!readChunk(lengthBytes, 4))
            return false;
        uint32_t length = ReadU32LE(lengthBytes);
        if (length > static_cast<uint64_t>(archive_.Size() - archive_.Position()))
            return false;
        bool last = b == blocks - 1;
        if (last && totalOutput < written_)
            return false;
        uint64_t expected = last ? totalOutput - written_ : blockOutput;
        uint64_t limit = written_ + expected;
        if (compressed && otherAlgorithm)
            return false;
        TZAInflater inflater;
        if (compressed && !inflater.ready)
            return false;
        uint64_t left = length;
        bool full = false; // the block gave its expected output
        while (left > 0) {
            auto piece = static_cast<size_t>(std::min<uint64_t>(left, ChunkSize));
            if (!readChunk(readBuffer_.get(), static_cast<int64_t>(piece)))
                return false;
            left -= piece;
            if (full)
                continue;
            if (compressed) {
                if (!inflateInput(inflater, readBuffer_.get(), piece, limit)) {
                    if (!overrun_)
                        return false;
                    overrun_ = false; // a block's surplus output is dropped
                    full = true;
                }
            } else {
                size_t keep = static_cast<size_t>(std::min<uint64_t>(piece, limit - written_));
                if (!emit(readBuffer_.get(), keep))
                    return false;
            }
        }
        if (written_ != limit)
            return false;
        consumed_ += 4 + static_cast<uint64_t>(length);
    }
    return true;
}
