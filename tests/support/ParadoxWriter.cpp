#include "tests/support/ParadoxWriter.h"

#include <fstream>
#include <stdexcept>

#include "platform/SysUtils.h"

namespace vx::test {

using namespace vx::platform;

namespace {
constexpr size_t kHeaderSize = 2048;
constexpr size_t kBlockSize = 2048;
} // namespace

std::vector<uint8_t> TParadoxWriter::Bytes() const {
    int recordSize = 0;
    for (const auto& f : fields)
        recordSize += f.second;
    const int fit = static_cast<int>((kBlockSize - 6) / recordSize);
    const int per = recordsPerBlock > 0 && recordsPerBlock < fit ? recordsPerBlock : fit;
    const size_t blocks = records.empty() ? 0 : (records.size() + per - 1) / per;
    std::vector<uint16_t> order = blockOrder;
    if (order.empty())
        for (size_t i = 0; i < blocks; ++i)
            order.push_back(static_cast<uint16_t>(i + 1));
    if (order.size() != blocks)
        throw std::invalid_argument("blockOrder must name every block");

    std::vector<uint8_t> out(kHeaderSize + blocks * kBlockSize, 0);
    uint8_t* h = out.data();
    WriteU16LE(h + 0x00, static_cast<uint16_t>(recordSize));
    WriteU16LE(h + 0x02, kHeaderSize);
    h[0x04] = 2; // unkeyed data table
    h[0x05] = kBlockSize / 1024;
    WriteU32LE(h + 0x06, static_cast<uint32_t>(records.size()));
    WriteU16LE(h + 0x0A, static_cast<uint16_t>(blocks));
    WriteU16LE(h + 0x0C, static_cast<uint16_t>(blocks));
    WriteU16LE(h + 0x0E, blocks ? order.front() : 0);
    WriteU16LE(h + 0x10, blocks ? order.back() : 0);
    WriteU16LE(h + 0x21, static_cast<uint16_t>(fields.size()));
    WriteU32LE(h + 0x25, 0xFF00FF00u);
    h[0x39] = 0x09; // 4.x
    WriteU16LE(h + 0x6A, 1252);
    size_t pos = 0x78;
    for (const auto& f : fields) {
        h[pos++] = 0x01; // alpha
        h[pos++] = static_cast<uint8_t>(f.second);
    }
    pos += 4 + 4 * fields.size() + 79; // name pointers and the table name
    for (const auto& f : fields) {
        std::copy(f.first.begin(), f.first.end(), h + pos);
        pos += f.first.size() + 1;
    }
    for (size_t i = 0; i < fields.size(); ++i, pos += 2)
        WriteU16LE(h + pos, static_cast<uint16_t>(i + 1));
    const std::string sortOrder = "ascii";
    std::copy(sortOrder.begin(), sortOrder.end(), h + pos);

    for (size_t b = 0; b < blocks; ++b) {
        uint8_t* blk = out.data() + kHeaderSize + (order[b] - 1) * kBlockSize;
        WriteU16LE(blk, b + 1 < blocks ? order[b + 1] : 0);
        WriteU16LE(blk + 2, b > 0 ? order[b - 1] : 0);
        const size_t first = b * per, count = std::min<size_t>(per, records.size() - first);
        WriteU16LE(blk + 4, static_cast<uint16_t>((count - 1) * recordSize));
        uint8_t* rec = blk + 6;
        for (size_t r = first; r < first + count; ++r) {
            for (size_t f = 0; f < fields.size(); ++f) {
                const std::string& v = f < records[r].size() ? records[r][f] : std::string();
                std::copy_n(v.begin(), std::min<size_t>(v.size(), fields[f].second), rec);
                rec += fields[f].second;
            }
        }
    }
    return out;
}

void TParadoxWriter::Write(const std::string& linuxPath) const {
    const auto bytes = Bytes();
    std::ofstream f(linuxPath, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + linuxPath);
}

} // namespace vx::test
