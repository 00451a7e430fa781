// Verification of a large archive by the updater against `minisign -V` on
// the same file and signature, alternately in one run, both in a child
// process from a warm page cache; once for each signature format.
// Usage: sign_bench [--size MiB] [--rounds N] [--dir FOLDER]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "app/SignatureVerifier.h"
#include "tests/support/Minisign.h"

using namespace vx::app;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

struct Measure {
    double seconds = 0;
    double cpu = 0;
    long peakKiB = 0;
    bool ok = false;
};

Measure inChild(const std::function<int()>& work) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0)
        _exit(work());
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    Measure m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    m.peakKiB = ru.ru_maxrss;
    m.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Archives hardly compress: random bytes stand in for one.
void makeFile(const std::string& path, size_t mib) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 rng(256);
    std::vector<uint64_t> block((1 << 20) / sizeof(uint64_t));
    for (size_t i = 0; i < mib; ++i) {
        for (auto& w : block)
            w = rng();
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(1 << 20));
    }
}

void warm(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buf(1 << 20);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size())) || in.gcount() > 0) {
    }
}

} // namespace

int main(int argc, char** argv) {
    size_t mib = 256;
    int rounds = 5;
    std::string dir = fs::temp_directory_path().string();
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--size"))
            mib = static_cast<size_t>(std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--dir"))
            dir = argv[i + 1];
    }
    const std::string work = dir + "/vx-sign-bench-" + std::to_string(getpid());
    fs::create_directories(work);
    const std::string file = work + "/Vendarix.zip";
    makeFile(file, mib);
    const TMinisignKeyPair key = MakeMinisignKeyPair(work);
    const TSignatureVerifier verifier(*ParseSigningKey(key.PublicKeyLine));

    std::printf("verification of a %zu MiB archive, %d rounds each, median wall time (CPU, peak memory)\n",
                mib, rounds);
    bool allOk = true;
    for (bool legacy : {false, true}) {
        const std::string sig = work + (legacy ? "/legacy.minisig" : "/hashed.minisig");
        MinisignSign(key, file, legacy, sig);
        warm(file);
        std::vector<double> ours, tool, oursCpu, toolCpu;
        long oursPeak = 0, toolPeak = 0;
        for (int r = 0; r < rounds; ++r) {
            Measure a = inChild([&] { return verifier.Verify(file, sig) == TVerifyResult::Valid ? 0 : 1; });
            Measure b = inChild([&] {
                int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                execlp("minisign", "minisign", "-V", "-q", "-p", key.PublicKeyFile.c_str(), "-m",
                       file.c_str(), "-x", sig.c_str(), static_cast<char*>(nullptr));
                return 127;
            });
            allOk = allOk && a.ok && b.ok;
            ours.push_back(a.seconds);
            oursCpu.push_back(a.cpu);
            tool.push_back(b.seconds);
            toolCpu.push_back(b.cpu);
            oursPeak = std::max(oursPeak, a.peakKiB);
            toolPeak = std::max(toolPeak, b.peakKiB);
        }
        const double o = median(ours), t = median(tool);
        std::printf("  %-22s updater %.3f s (%.3f s, %ld KiB)   minisign -V %.3f s (%.3f s, %ld KiB)   "
                    "updater/minisign %.2f (CPU %.2f)\n",
                    legacy ? "legacy (Ed, whole file)" : "hashed (ED, BLAKE2b)", o, median(oursCpu), oursPeak,
                    t, median(toolCpu), toolPeak, t > 0 ? o / t : 0,
                    median(toolCpu) > 0 ? median(oursCpu) / median(toolCpu) : 0);
    }
    fs::remove_all(work);
    if (!allOk) {
        std::printf("a verification failed\n");
        return 1;
    }
    return 0;
}
