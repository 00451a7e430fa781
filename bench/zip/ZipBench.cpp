// Extraction speed and memory of the archive component against unzip,
// bsdtar and 7-Zip on the same archives, alternately in one run, each into
// a fresh folder:
//   (a) about 200 MB of mixed files, on disk and on tmpfs
//   (b) one 256 MiB highly compressible file, on disk and on tmpfs
//   (c) 20,000 small files, on disk and on tmpfs
//   (d) peak memory while extracting a 1 GiB entry of zeros
// Usage: zip_bench [--quick] [--rounds N] [--sets abcd] [--tools bsdtar,bsdtar+sync,unzip,7z]
//        | zip_bench --extract ARCHIVE FOLDER
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/ArchiveMaker.h"
#include "zip/ZipArchiver.h"

using namespace vx::zip;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

struct Measure {
    double seconds = 0;
    double cpu = 0; // user + system, the tool's own children included
    long peakKiB = 0;
    bool ok = false;
};

// Runs `work` in a child process so that its peak memory is its own.
Measure inChild(const std::function<int()>& work) {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0)
        _exit(work());
    int status = 0;
    rusage ru{};
    wait4(pid, &status, 0, &ru);
    Measure m;
    m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // wait4 counts the child's reaped children too, so a tool run through
    // a helper process is measured whole.
    m.peakKiB = ru.ru_maxrss;
    m.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return m;
}

int extractWithComponent(const std::string& archive, const std::string& dest) {
    if (chdir(dest.c_str()) != 0)
        return 3;
    TZipArchiver zip;
    zip.SetName("ZipArchiver");
    int failures = 0;
    zip.OnProcessFileFailure = [&](TObject*, const std::string&, TZAProcessOperation, int32_t, int32_t,
                                   const std::string& message, TZAAction& action) {
        std::fprintf(stderr, "failure: %s\n", message.c_str());
        ++failures;
        action = fxaIgnore;
    };
    try {
        zip.SetFileName(archive);
        zip.OpenArchive();
        zip.ExtractByMask("*.*", 0x28BF, "");
        zip.CloseArchive();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "error: %s\n", e.what());
        return 2;
    }
    return failures == 0 ? 0 : 1;
}

struct Tool {
    std::string name;
    std::function<int(const std::string& archive, const std::string& dest)> run;
};

std::vector<Tool> tools() {
    std::vector<Tool> t;
    t.push_back({"component", extractWithComponent});
    t.push_back({"unzip", [](auto& a, auto& d) { return am::Run({"unzip", "-o", "-q", a, "-d", d}, ""); }});
    t.push_back({"bsdtar", [](auto& a, auto& d) { return am::Run({"bsdtar", "-xf", a, "-C", d}, ""); }});
    // The component flushes every file before it takes its name, which a
    // power loss needs and bsdtar does not do: bsdtar followed by a flush of
    // the file system is the peer that pays for the same.
    t.push_back({"bsdtar+sync", [](auto& a, auto& d) {
                     return am::Run({"sh", "-c", "bsdtar -xf \"$0\" -C \"$1\" && sync -f \"$1\"", a, d}, "");
                 }});
    // 7zz when installed, else the 7z of p7zip.
    std::string seven = am::Run({"sh", "-c", "command -v 7zz"}, "") == 0 ? "7zz" : "7z";
    t.push_back({seven, [seven](auto& a, auto& d) {
                     return am::Run({seven, "x", "-y", "-bd", "-bso0", "-bsp0", "-o" + d, a}, "");
                 }});
    return t;
}

void makeMixed(const std::string& src, size_t totalBytes) {
    size_t made = 0;
    for (unsigned i = 0; made < totalBytes; ++i) {
        size_t size = 1000 + (i * 7919u) % 3000000;
        std::string data = i % 3 == 0 ? am::RandomBytes(size, i) : am::TextBytes(size, i);
        am::WriteFileBytes(src + "/d" + std::to_string(i % 20) + "/f" + std::to_string(i) + ".dat", data);
        made += size;
    }
}

void makeSmall(const std::string& src, int count) {
    for (int i = 0; i < count; ++i)
        am::WriteFileBytes(src + "/p" + std::to_string(i % 100) + "/s" + std::to_string(i) + ".txt",
                           am::TextBytes(200 + (i * 37) % 4000, static_cast<unsigned>(i)));
}

void makeOneFile(const std::string& src, size_t size, bool zeros) {
    fs::create_directories(src);
    FILE* f = std::fopen((src + "/big.dat").c_str(), "wb");
    std::string block = zeros ? std::string(1 << 20, '\0') : am::TextBytes(1 << 20, 99);
    for (size_t done = 0; done < size; done += block.size())
        std::fwrite(block.data(), 1, block.size(), f);
    std::fclose(f);
}

std::string makeArchive(const std::string& root, const std::string& name,
                        const std::function<void(const std::string&)>& fill) {
    std::string src = root + "/src-" + name, archive = root + "/" + name + ".zip";
    if (!fs::exists(archive)) {
        fill(src);
        am::MakeWithZip(src, archive, {"."}, {"-r"});
        fs::remove_all(src);
    }
    return archive;
}

std::string onlyTools;  // "--tools a,b": the component and these peers
bool anyFailed = false; // an extraction that failed makes the run fail

void bench(const std::string& label, const std::string& archive, const std::string& outRoot, int rounds) {
    std::map<std::string, std::vector<Measure>> results;
    auto all = tools();
    if (!onlyTools.empty())
        std::erase_if(all, [](const Tool& t) {
            return t.name != "component" &&
                   ("," + onlyTools + ",").find("," + t.name + ",") == std::string::npos;
        });
    for (int r = 0; r < rounds; ++r) {
        for (const auto& tool : all) {
            std::string dest = outRoot + "/out-" + tool.name;
            fs::remove_all(dest);
            fs::create_directories(dest);
            sync();
            Measure m = inChild([&] { return tool.run(archive, dest); });
            results[tool.name].push_back(m);
            fs::remove_all(dest);
        }
    }
    double ours = 0;
    std::printf("\n%s (%s)\n", label.c_str(), outRoot.c_str());
    for (const auto& tool : all) {
        auto& v = results[tool.name];
        std::sort(v.begin(), v.end(), [](auto& a, auto& b) { return a.seconds < b.seconds; });
        const Measure& best = v.front();
        if (tool.name == "component")
            ours = best.seconds;
        bool ok = std::all_of(v.begin(), v.end(), [](auto& m) { return m.ok; });
        anyFailed = anyFailed || !ok;
        std::printf("  %-10s best %7.3f s  median %7.3f s  ratio %5.2f  cpu %6.3f s  peak %4ld MiB%s\n",
                    tool.name.c_str(), best.seconds, v[v.size() / 2].seconds, best.seconds / ours, best.cpu,
                    best.peakKiB / 1024, ok ? "" : "  (FAILED)");
    }
    std::printf("  (ratio = tool time / component time; above 1 means the component is faster)\n");
}

} // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int rounds = 3;
    std::string sets = "abcd";
    // "--extract ARCHIVE FOLDER": one extraction with the component alone,
    // for profiling.
    if (argc == 4 && std::string(argv[1]) == "--extract")
        return extractWithComponent(argv[2], argv[3]);
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick")
            quick = true;
        else if (a == "--rounds" && i + 1 < argc)
            rounds = std::atoi(argv[++i]);
        else if (a == "--sets" && i + 1 < argc)
            sets = argv[++i];
        else if (a == "--tools" && i + 1 < argc)
            onlyTools = argv[++i];
    }
    std::string disk = "/tmp/vx-zipbench", shm = "/dev/shm/vx-zipbench";
    fs::create_directories(disk);
    fs::create_directories(shm);
    size_t mixed = quick ? 20u << 20 : 200u << 20;
    int small = quick ? 2000 : 20000;
    auto wanted = [&](char set) { return sets.find(set) != std::string::npos; };
    if (wanted('a')) {
        std::string a = makeArchive(disk, quick ? "mixed-q" : "mixed", [&](auto& s) { makeMixed(s, mixed); });
        bench("(a) mixed files", a, disk, rounds);
        bench("(a) mixed files", a, shm, rounds);
    }
    if (wanted('b')) {
        std::string b = makeArchive(disk, quick ? "text-q" : "text",
                                    [&](auto& s) { makeOneFile(s, quick ? 32u << 20 : 256u << 20, false); });
        bench("(b) one highly compressible file", b, disk, rounds);
        bench("(b) one highly compressible file", b, shm, rounds);
    }
    if (wanted('c')) {
        std::string c = makeArchive(disk, quick ? "small-q" : "small", [&](auto& s) { makeSmall(s, small); });
        bench("(c) many small files", c, disk, rounds);
        bench("(c) many small files", c, shm, rounds);
    }
    if (!wanted('d')) {
        fs::remove_all(shm);
        return anyFailed ? 1 : 0;
    }
    std::string d = makeArchive(disk, quick ? "zeros-q" : "zeros",
                                [&](auto& s) { makeOneFile(s, quick ? 128u << 20 : 1024u << 20, true); });
    std::printf("\n(d) zeros entry: archive %.1f MiB\n", static_cast<double>(fs::file_size(d)) / 1048576.0);
    std::string dest = disk + "/out-zeros";
    fs::create_directories(dest);
    Measure m = inChild([&] { return extractWithComponent(d, dest); });
    std::printf("  component  %7.3f s  cpu %6.3f s  peak %ld MiB%s\n", m.seconds, m.cpu, m.peakKiB / 1024,
                m.ok ? "" : "  (FAILED)");
    fs::remove_all(dest);
    fs::remove_all(shm);
    return anyFailed || !m.ok ? 1 : 0;
}
