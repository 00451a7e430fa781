// The profile reader on arbitrary bytes: any file must give a value or the
// default, never a crash, and never more than the value limit.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Profile.h"

using namespace vx::platform;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string path = "/tmp/vx-fuzz-profile-" + std::to_string(getpid()) + ".ini";
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    for (const char* key : {"Tipo", "Caminho", "SenhaBD", "SistemaVendarix"}) {
        std::string v = GetPrivateProfileString("BDados", key, "default", path);
        if (v.size() > 2047)
            std::abort();
    }
    return 0;
}
