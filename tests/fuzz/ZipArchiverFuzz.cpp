// The archive component on arbitrary bytes: opening, reading the directory
// and extracting everything into a scratch folder must end in a result or
// a clean error, never a crash, a hang or a file outside that folder.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "zip/ZipArchiver.h"

using namespace vx::zip;

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string root = "/dev/shm/vx-fuzz-zip-" + std::to_string(getpid());
    static const std::string archive = root + "/a.zip";
    static const std::string out = root + "/out";
    std::error_code ec;
    fs::remove_all(root, ec);
    fs::create_directories(out);
    FILE* f = std::fopen(archive.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    TZipArchiver zip;
    zip.SetName("ZipArchiver");
    zip.SetBaseDir(out);
    zip.OnProcessFileFailure = [](TObject*, const std::string&, TZAProcessOperation, int32_t, int32_t,
                                  const std::string&, TZAAction& action) { action = fxaIgnore; };
    zip.OnPassword = [](TObject*, const std::string&, std::string&, bool& skip) { skip = true; };
    zip.OnConfirmOverwrite = [](TObject*, const std::string&, std::string&, bool& confirm) {
        confirm = true;
    };
    try {
        zip.SetFileName(archive);
        zip.OpenArchive();
        zip.ExtractByMask("*.*", 0x28BF, "");
    } catch (const Exception&) {
    }
    zip.CloseArchive();
    // Only the archive and the output folder may exist in the scratch root.
    for (const auto& e : fs::directory_iterator(root))
        if (e.path() != archive && e.path() != out)
            std::abort();
    return 0;
}
