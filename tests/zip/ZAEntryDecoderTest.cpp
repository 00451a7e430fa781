// Decoding single entries into memory: sizes and CRC checks, chunking, the
// component's own block format, and output bounded by the announced size.
#include "tests/zip/ZipTestSupport.h"

#include <zlib.h>

#include "zip/ZAEntryDecoder.h"
#include "zip/ZAExcept.h"

using namespace vx::zip;
using namespace vx::test;

namespace {

using am::TEntry;
using am::TZipBuilder;

class ZipDecode : public ZipFixture {
protected:
    // Writes and opens the archive built from `b`.
    void Load(const TZipBuilder& b) {
        Write("d.zip", b.Build());
        Open("d.zip");
    }
    // Decodes entry `index` of the open archive; returns the error code
    // (-1 for none) and the output in *out.
    int Decode(int32_t index, std::string* out = nullptr) {
        TMemoryStream output;
        int code = -1;
        try {
            zip.ExtractEntryToStream(index, output);
        } catch (const EZAException& e) {
            code = e.NativeError();
        }
        if (out)
            out->assign(reinterpret_cast<const char*>(output.Memory()), static_cast<size_t>(output.Size()));
        return code;
    }
};

TEST_F(ZipDecode, EmptyAndMultiChunkEntries) {
    TZipBuilder b;
    b.Add({.name = "vazio", .data = ""});
    b.Add({.name = "vazio8", .data = "", .method = 8});
    std::string big = am::TextBytes(5 * 1048576 + 7, 13);
    b.Add({.name = "grande", .data = big, .method = 8});
    b.Add({.name = "cru", .data = am::RandomBytes(2 * 1048576 + 3, 14)});
    std::string out;
    Load(b);
    EXPECT_EQ(Decode(0, &out), -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(Decode(1, &out), -1);
    EXPECT_EQ(Decode(2, &out), -1);
    EXPECT_EQ(out, big);
    EXPECT_EQ(Decode(3, &out), -1);
    EXPECT_EQ(out, am::RandomBytes(2 * 1048576 + 3, 14));
    EXPECT_EQ(Decode(4), 16);
}

TEST_F(ZipDecode, SizeAndCrcChecks) {
    TZipBuilder b;
    b.Add({.name = "crc", .data = "conteudo", .method = 8, .crc = 0x12345678});
    b.Add({.name = "curto", .data = "conteudo", .uncompressedSize = 9});
    // Output beyond the announced size is not written at all.
    b.Add({.name = "longo", .data = std::string(100000, 'z'), .method = 8, .uncompressedSize = 1000});
    b.Add({.name = "lixo", .data = "x", .method = 8, .payload = std::string("\xFF\xFF\xFF\xFF", 4)});
    std::string out;
    Load(b);
    EXPECT_EQ(Decode(0, &out), 8);
    EXPECT_EQ(out, "conteudo"); // the check comes after the data
    EXPECT_EQ(Decode(1), 8);
    EXPECT_EQ(Decode(2, &out), 8);
    EXPECT_EQ(out.size(), 1000u);
    EXPECT_EQ(Decode(3), 8);
}

TEST_F(ZipDecode, OutputEstimateAndChunkSizing) {
    EXPECT_EQ(TZAEntryDecoder::OutputEstimate(1000, 1000, 1048576), 4194304u);
    EXPECT_EQ(TZAEntryDecoder::OutputEstimate(1000000, 1000, 1048576), 2147483648u);
    EXPECT_EQ(TZAEntryDecoder::OutputEstimate(5, 0, 512), 8192u); // no division by zero
}

// The component's own block format: a 50-byte header, then blocks each
// with a 32-bit length; compressed blocks are whole zlib streams.
std::string BlockPayload(const std::string& data, uint32_t blockSize, bool compressed,
                         uint16_t encryption = 0xFFFF, uint8_t algorithm = 0) {
    std::string header(50, '\0');
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = static_cast<char>(v >> (8 * i));
    };
    uint32_t blocks = static_cast<uint32_t>((data.size() + blockSize - 1) / blockSize);
    put32(0, blockSize);
    put32(8, static_cast<uint32_t>(data.size()));
    put32(16, blocks);
    header[20] = static_cast<char>(algorithm);
    header[21] = compressed ? 1 : 0;
    header[22] = static_cast<char>(encryption & 0xFF);
    header[23] = static_cast<char>(encryption >> 8);
    std::string out = header;
    for (size_t at = 0; at < data.size(); at += blockSize) {
        std::string block = data.substr(at, blockSize);
        if (compressed) {
            uLongf len = compressBound(block.size());
            std::string z(len, '\0');
            compress2(reinterpret_cast<Bytef*>(z.data()), &len, reinterpret_cast<const Bytef*>(block.data()),
                      block.size(), 6);
            block = z.substr(0, len);
        }
        std::string length(4, '\0');
        for (int i = 0; i < 4; ++i)
            length[i] = static_cast<char>(block.size() >> (8 * i));
        out += length + block;
    }
    return out;
}

TEST_F(ZipDecode, BlockFormat) {
    std::string data = am::TextBytes(300000, 15);
    TZipBuilder b;
    b.Add({.name = "z",
           .data = data,
           .method = 0x55,
           .payload = BlockPayload(data, 65536, true),
           .versionNeeded = 20});
    b.Add({.name = "c",
           .data = data,
           .method = 0x55,
           .payload = BlockPayload(data, 100000, false),
           .versionNeeded = 20});
    b.Add({.name = "enc",
           .data = data,
           .method = 0x55,
           .payload = BlockPayload(data, 65536, true, 1),
           .versionNeeded = 20});
    b.Add({.name = "alg",
           .data = data,
           .method = 0x55,
           .payload = BlockPayload(data, 65536, true, 0xFFFF, 1),
           .versionNeeded = 20});
    b.Add({.name = "old",
           .data = data,
           .method = 0x55,
           .payload = BlockPayload(data, 65536, true),
           .versionNeeded = 10});
    std::string out;
    Load(b);
    EXPECT_EQ(Decode(0, &out), -1);
    EXPECT_EQ(out, data);
    EXPECT_EQ(Decode(1, &out), -1);
    EXPECT_EQ(out, data);
    EXPECT_EQ(Decode(2), 8);
    EXPECT_EQ(Decode(3), 8);
    EXPECT_EQ(Decode(4), 8);
}

// An output stream that only counts, and remembers the largest write.
class TCountingStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t count) override {
        total += count;
        largest = std::max(largest, count);
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return total; }
    void SetSize(int64_t) override {}
    int64_t total = 0, largest = 0;
};

TEST_F(ZipDecode, HighlyCompressedEntryIsWrittenInBoundedPieces) {
    // About 1,000:1: the whole entry is one chunk whose output would be
    // 16 MiB in one buffer.
    std::string data(16 * 1048576, '\0');
    TZipBuilder b;
    b.Add({.name = "zeros", .data = data, .method = 8});
    data.clear();
    data.shrink_to_fit();
    Write("zeros.zip", b.Build());
    Open("zeros.zip");
    TCountingStream out;
    zip.ExtractEntryToStream(0, out);
    EXPECT_EQ(out.total, 16 * 1048576);
    EXPECT_LE(out.largest, 1048576);
}

TEST_F(ZipDecode, OutputThatCannotBeWrittenFailsTheEntry) {
    class TFullDisk : public TCountingStream {
    public:
        int64_t Write(const void*, int64_t count) override { return count / 2; }
    };
    TZipBuilder b;
    b.Add({.name = "f", .data = am::TextBytes(10000, 16), .method = 8});
    Write("f.zip", b.Build());
    Open("f.zip");
    TFullDisk out;
    EXPECT_THROW(zip.ExtractEntryToStream(0, out), EZAException);
}

} // namespace
