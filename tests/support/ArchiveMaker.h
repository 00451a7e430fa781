// Makes ZIP archives at test time: with the real tools (Info-ZIP zip,
// 7-Zip, bsdtar, Python's zipfile) from files written for the test, and by
// hand for what no tool makes (broken records, odd methods, unsafe names).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vx::test {

namespace am {

// A file of a source tree: a relative name with '/' separators (UTF-8, as
// on disk) and its bytes.
struct TSource {
    std::string name;
    std::string data;
};

void WriteTree(const std::string& folder, const std::vector<TSource>& files);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
// Bytes that compress well but not trivially, from a seed.
std::string TextBytes(size_t size, unsigned seed);
// Bytes that do not compress.
std::string RandomBytes(size_t size, unsigned seed);

// Runs a program (found on the PATH) in a folder; returns its exit status.
// The program's output goes to *output when given.
int Run(const std::vector<std::string>& argv, const std::string& cwd, std::string* output = nullptr);

// Each maker runs in `folder` on the relative `names` and throws
// std::runtime_error with the tool's output when it fails.
void MakeWithZip(const std::string& folder, const std::string& archive, const std::vector<std::string>& names,
                 const std::vector<std::string>& options = {});
void MakeWith7z(const std::string& folder, const std::string& archive, const std::vector<std::string>& names,
                const std::vector<std::string>& options = {});
void MakeWithBsdtar(const std::string& folder, const std::string& archive,
                    const std::vector<std::string>& names, const std::vector<std::string>& options = {});
// Runs Python code with `z` bound to zipfile.ZipFile(archive, "w") and
// `zipfile` imported; the archive is closed afterwards.
void MakeWithPython(const std::string& archive, const std::string& code);

// One hand-built entry. Data is compressed by raw deflate for method 8;
// for any other method it is stored as is, unless `payload` gives the
// bytes that follow the local header.
struct TEntry {
    std::string name; // raw bytes as stored
    std::string data;
    uint16_t method = 0;
    std::optional<std::string> payload;
    uint16_t flags = 0;
    uint16_t versionMadeBy = 20;
    uint16_t versionNeeded = 20;
    uint16_t time = 0x6000; // 12:00:00
    uint16_t date = 0x5A21; // 2025-01-01
    uint32_t externalAttributes = 0x20;
    std::optional<uint32_t> crc;
    std::optional<uint32_t> compressedSize;
    std::optional<uint32_t> uncompressedSize;
    std::string extra;      // central extra field
    std::string localExtra; // local extra field
    std::string comment;
    std::optional<uint32_t> localSignature;
    std::optional<std::string> localName;
};

class TZipBuilder {
public:
    TZipBuilder& Add(TEntry e);
    std::string comment;
    bool writeEndRecord = true;
    // Bytes put before the archive; offsets count from after them unless
    // `offsetsIncludePrefix`.
    std::string prefix;
    bool offsetsIncludePrefix = false;
    std::string Build() const;
    // Offset of each local header in the last Build (from the file start).
    mutable std::vector<uint32_t> headerOffsets;

private:
    std::vector<TEntry> entries_;
};

uint32_t Crc32Of(const std::string& data);
std::string RawDeflate(const std::string& data, int level = 6);

} // namespace am

} // namespace vx::test
