#include "tests/support/ArchiveMaker.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include <zlib.h>

extern char** environ;

namespace vx::test {

namespace am {

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f)
        throw std::runtime_error("cannot write " + path);
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteTree(const std::string& folder, const std::vector<TSource>& files) {
    for (const auto& f : files) {
        if (!f.name.empty() && f.name.back() == '/')
            std::filesystem::create_directories(folder + "/" + f.name);
        else
            WriteFileBytes(folder + "/" + f.name, f.data);
    }
}

std::string TextBytes(size_t size, unsigned seed) {
    static const char* words[] = {"venda ", "caixa ",  "produto ", "cliente ",
                                  "nota ",  "fiscal ", "\r\n",     "123 "};
    std::mt19937 rng(seed);
    std::string s;
    s.reserve(size + 16);
    while (s.size() < size)
        s += words[rng() % 8];
    s.resize(size);
    return s;
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

int Run(const std::vector<std::string>& argv, const std::string& cwd, std::string* output) {
    std::string outFile =
        (std::filesystem::temp_directory_path() / ("vx-run-" + std::to_string(getpid()))).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (!cwd.empty())
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    if (output) {
        std::error_code ec;
        *output = std::filesystem::exists(outFile, ec) ? ReadFileBytes(outFile) : std::string();
    }
    std::filesystem::remove(outFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

void runOrThrow(std::vector<std::string> argv, const std::string& cwd) {
    std::string out;
    int rc = Run(argv, cwd, &out);
    if (rc != 0) {
        std::string cmd;
        for (const auto& a : argv)
            cmd += a + " ";
        throw std::runtime_error("'" + cmd + "' failed (" + std::to_string(rc) + "): " + out);
    }
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

void MakeWithZip(const std::string& folder, const std::string& archive, const std::vector<std::string>& names,
                 const std::vector<std::string>& options) {
    runOrThrow(joined(joined(joined({"zip", "-q"}, options), {archive}), names), folder);
}

void MakeWith7z(const std::string& folder, const std::string& archive, const std::vector<std::string>& names,
                const std::vector<std::string>& options) {
    runOrThrow(
        joined(joined(joined({"7z", "a", "-tzip", "-bd", "-bso0", "-bsp0"}, options), {archive}), names),
        folder);
}

void MakeWithBsdtar(const std::string& folder, const std::string& archive,
                    const std::vector<std::string>& names, const std::vector<std::string>& options) {
    runOrThrow(joined(joined({"bsdtar", "--format", "zip", "-cf", archive}, options), names), folder);
}

void MakeWithPython(const std::string& archive, const std::string& code) {
    std::string script =
        "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w')\n" + code + "\nz.close()\n";
    runOrThrow({"/usr/bin/python3", "-c", script, archive}, "");
}

uint32_t Crc32Of(const std::string& data) {
    return static_cast<uint32_t>(
        crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

std::string RawDeflate(const std::string& data, int level) {
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, data.size()) + 16, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    zs.avail_in = static_cast<uInt>(data.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

namespace {

void put16(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

} // namespace

TZipBuilder& TZipBuilder::Add(TEntry e) {
    entries_.push_back(std::move(e));
    return *this;
}

std::string TZipBuilder::Build() const {
    std::string out = prefix;
    uint32_t base = offsetsIncludePrefix ? 0 : static_cast<uint32_t>(prefix.size());
    std::string central;
    headerOffsets.clear();
    for (const auto& e : entries_) {
        std::string payload = e.payload ? *e.payload : (e.method == 8 ? RawDeflate(e.data) : e.data);
        uint32_t crc = e.crc ? *e.crc : Crc32Of(e.data);
        uint32_t csize = e.compressedSize ? *e.compressedSize : static_cast<uint32_t>(payload.size());
        uint32_t usize = e.uncompressedSize ? *e.uncompressedSize : static_cast<uint32_t>(e.data.size());
        uint32_t offset = static_cast<uint32_t>(out.size()) - base;
        headerOffsets.push_back(static_cast<uint32_t>(out.size()));
        std::string localName = e.localName ? *e.localName : e.name;
        put32(out, e.localSignature ? *e.localSignature : 0x04034B50);
        put16(out, e.versionNeeded);
        put16(out, e.flags);
        put16(out, e.method);
        put16(out, e.time);
        put16(out, e.date);
        put32(out, crc);
        put32(out, csize);
        put32(out, usize);
        put16(out, static_cast<uint32_t>(localName.size()));
        put16(out, static_cast<uint32_t>(e.localExtra.size()));
        out += localName + e.localExtra + payload;

        put32(central, 0x02014B50);
        put16(central, e.versionMadeBy);
        put16(central, e.versionNeeded);
        put16(central, e.flags);
        put16(central, e.method);
        put16(central, e.time);
        put16(central, e.date);
        put32(central, crc);
        put32(central, csize);
        put32(central, usize);
        put16(central, static_cast<uint32_t>(e.name.size()));
        put16(central, static_cast<uint32_t>(e.extra.size()));
        put16(central, static_cast<uint32_t>(e.comment.size()));
        put16(central, 0);
        put16(central, 0);
        put32(central, e.externalAttributes);
        put32(central, offset);
        central += e.name + e.extra + e.comment;
    }
    uint32_t centralOffset = static_cast<uint32_t>(out.size()) - base;
    out += central;
    if (writeEndRecord) {
        put32(out, 0x06054B50);
        put16(out, 0);
        put16(out, 0);
        put16(out, static_cast<uint32_t>(entries_.size()));
        put16(out, static_cast<uint32_t>(entries_.size()));
        put32(out, static_cast<uint32_t>(central.size()));
        put32(out, centralOffset);
        put16(out, static_cast<uint32_t>(comment.size()));
        out += comment;
    }
    return out;
}

} // namespace am

} // namespace vx::test
