// Downloads one large file from vsftpd on loopback in active mode with the
// project's client, with curl and (when installed) with lftp, alternately,
// and prints each one's time and CPU seconds, the ratios of both and the
// peak memory of each.
//   ftp_bench [megabytes=256] [rounds=3] [--copy]
// --copy makes the project's client copy every byte through its buffer
// instead of letting the kernel move them into the file.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "net/FtpClient.h"
#include "platform/Application.h"
#include "tests/support/FtpServers.h"

using namespace vx::platform;
using namespace vx::net;
using namespace vx::test;

extern char** environ;
namespace fs = std::filesystem;

namespace {

struct TSample {
    double seconds = 0;
    double cpu = 0;
    long peakKiB = 0;
};

long peakOf(int who) {
    rusage u{};
    getrusage(who, &u);
    return u.ru_maxrss;
}

double cpuOf(int who) {
    rusage u{};
    getrusage(who, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// A child's peak memory cannot be read from the rusage of a spawned child
// (it starts inside this process's memory); GNU time, where installed,
// reports the tool's own.
TSample runTool(std::vector<std::string> argv) {
    const std::string peakFile =
        fs::temp_directory_path() / ("vx-ftp-bench-peak." + std::to_string(getpid()));
    const bool timed = access("/usr/bin/time", X_OK) == 0;
    if (timed)
        argv.insert(argv.begin(), {"/usr/bin/time", "-f", "%M", "-o", peakFile});
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    TSample s;
    const double cpu0 = cpuOf(RUSAGE_CHILDREN);
    const double t0 = now();
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return {-1, -1, 0};
    int status = 0;
    waitpid(pid, &status, 0);
    s.seconds = now() - t0;
    s.cpu = cpuOf(RUSAGE_CHILDREN) - cpu0;
    if (timed) {
        std::ifstream f(peakFile);
        f >> s.peakKiB;
        fs::remove(peakFile);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return {-1, -1, 0};
    return s;
}

TSample runClient(const TFtpServer& server, const std::string& out) {
    TSample s;
    const double cpu0 = cpuOf(RUSAGE_SELF);
    const double t0 = now();
    TFtpClient c;
    c.SetHost("127.0.0.1");
    c.SetPort(server.Port());
    c.SetUserID(server.User());
    c.SetPassword(server.Password());
    c.Connect();
    c.Download("big.bin", out);
    c.Disconnect();
    s.seconds = now() - t0;
    s.cpu = cpuOf(RUSAGE_SELF) - cpu0;
    s.peakKiB = peakOf(RUSAGE_SELF);
    return s;
}

bool onPath(const char* tool) {
    std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--copy")
            TAsyncSocket::SetKernelCopy(false);
        else
            args.push_back(argv[i]);
    }
    const long mb = args.size() > 0 ? std::atol(args[0].c_str()) : 256;
    const int rounds = args.size() > 1 ? std::max(1, std::atoi(args[1].c_str())) : 3;
    TApplication app(argc, argv);
    std::string why;
    // VX_BENCH_SERVER picks another server (pure-ftpd, pyftpdlib).
    TFtpServer::TKind kind = TFtpServer::Vsftpd;
    if (const char* k = std::getenv("VX_BENCH_SERVER"))
        for (auto c : {TFtpServer::Vsftpd, TFtpServer::PureFtpd, TFtpServer::Pyftpdlib})
            if (std::string(k) == TFtpServer::KindName(c))
                kind = c;
    auto server = TFtpServer::Start(kind, why);
    if (!server) {
        std::fprintf(stderr, "%s: %s\n", TFtpServer::KindName(kind), why.c_str());
        return 1;
    }
    {
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>((i * 2654435761u) >> 13);
        std::ofstream f(server->Root() + "/big.bin", std::ios::binary);
        for (long i = 0; i < mb; ++i)
            f.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    fs::permissions(server->Root() + "/big.bin",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::add);
    // Written to memory by default, so that the disk does not hide the
    // clients' differences; VX_BENCH_OUT names another folder.
    const char* outEnv = std::getenv("VX_BENCH_OUT");
    const std::string outDir = outEnv ? outEnv : fs::exists("/dev/shm") ? "/dev/shm" : server->Root() + "/..";
    const std::string out = outDir + "/vx-ftp-bench.bin";
    const std::string url = "ftp://127.0.0.1:" + std::to_string(server->Port()) + "/big.bin";
    const std::string account = server->User() + ":" + server->Password();
    const bool lftp = onPath("lftp");
    std::printf("%ld MiB from %s on loopback, active mode, %d rounds, into %s\n", mb, server->Name().c_str(),
                rounds, out.c_str());
    TSample best[3] = {{1e9, 0, 0}, {1e9, 0, 0}, {1e9, 0, 0}};
    bool wrong = false;
    const char* names[3] = {"TFtpClient", "curl", "lftp"};
    std::vector<double> wall[3], cpu[3];
    for (int r = 0; r < rounds; ++r) {
        TSample s[3];
        // Each client starts with no file there, so that none of them pays
        // for freeing the pages of the one before.
        fs::remove(out);
        s[0] = runClient(*server, out);
        // Each download is checked before the next one overwrites it.
        if (fs::file_size(out) != static_cast<uintmax_t>(mb) << 20) {
            std::printf("  TFtpClient: size mismatch: %ju\n", static_cast<uintmax_t>(fs::file_size(out)));
            wrong = true;
        }
        fs::remove(out);
        s[1] = runTool({"curl", "-sS", "--disable-eprt", "--ftp-port", "-", "-u", account, "-o", out, url});
        fs::remove(out);
        if (lftp)
            s[2] = runTool({"lftp", "-c",
                            "set ftp:passive-mode off; set net:max-retries 1; set xfer:clobber on; open -u " +
                                server->User() + "," + server->Password() + " -p " +
                                std::to_string(server->Port()) + " 127.0.0.1; get big.bin -o " + out});
        for (int k = 0; k < (lftp ? 3 : 2); ++k) {
            std::printf("round %d  %-10s %7.3f s  %7.3f CPU s\n", r + 1, names[k], s[k].seconds, s[k].cpu);
            if (s[k].seconds >= 0 && s[k].seconds < best[k].seconds)
                best[k] = s[k];
            if (s[k].seconds >= 0) {
                wall[k].push_back(s[k].seconds);
                cpu[k].push_back(s[k].cpu);
            }
        }
    }
    std::printf("best: TFtpClient %.3f s (%.3f CPU s), curl %.3f s (%.3f CPU s)", best[0].seconds,
                best[0].cpu, best[1].seconds, best[1].cpu);
    if (lftp)
        std::printf(", lftp %.3f s (%.3f CPU s)", best[2].seconds, best[2].cpu);
    std::printf("\nratio TFtpClient/curl: wall %.2f, CPU %.2f", best[0].seconds / best[1].seconds,
                best[0].cpu / best[1].cpu);
    if (lftp)
        std::printf("; TFtpClient/lftp: wall %.2f, CPU %.2f", best[0].seconds / best[2].seconds,
                    best[0].cpu / best[2].cpu);
    // Medians, which a busy machine disturbs less than the best round.
    auto median = [](std::vector<double> v) {
        if (v.empty())
            return 0.0;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("\nmedians: TFtpClient %.3f s (%.3f CPU s), curl %.3f s (%.3f CPU s)", median(wall[0]),
                median(cpu[0]), median(wall[1]), median(cpu[1]));
    std::printf("\nratio of medians TFtpClient/curl: wall %.2f, CPU %.2f", median(wall[0]) / median(wall[1]),
                median(cpu[0]) / median(cpu[1]));
    std::printf("\npeak memory: TFtpClient (whole bench process) %.1f MiB, curl %.1f MiB",
                best[0].peakKiB / 1024.0, best[1].peakKiB / 1024.0);
    if (lftp)
        std::printf(", lftp %.1f MiB", best[2].peakKiB / 1024.0);
    std::printf("\n");
    fs::remove(out);
    return wrong ? 1 : 0;
}
