#include "platform/Process.h"

#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "platform/Files.h"
#include "platform/SysUtils.h"

extern char** environ;

namespace vx::platform {

namespace {

std::vector<std::string> splitCommandLine(const std::string& cmd) {
    std::vector<std::string> args;
    std::string cur;
    bool quoted = false, any = false;
    for (char c : cmd) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any)
                args.push_back(cur);
            cur.clear();
            any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any)
        args.push_back(cur);
    return args;
}

bool onPath(const std::string& prog, std::string& full) {
    const char* path = std::getenv("PATH");
    if (!path)
        return false;
    std::stringstream ss(path);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        std::string f = (dir.empty() ? "." : dir) + "/" + prog;
        if (access(f.c_str(), X_OK) == 0) {
            full = f;
            return true;
        }
    }
    return false;
}

bool startsWithMZ(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    char b[2] = {0, 0};
    in.read(b, 2);
    return in.gcount() == 2 && b[0] == 'M' && b[1] == 'Z';
}

// The updater's environment without its own settings: UPDATER_FTP_PASSWORD
// and the others are meant for the updater, and the program it starts has
// no business seeing them.
std::vector<std::string> childEnvironment() {
    static constexpr std::string_view kOwnPrefix = "UPDATER_";
    std::vector<std::string> vars;
    for (char** e = environ; e && *e; ++e) {
        std::string_view v(*e);
        if (v.substr(0, kOwnPrefix.size()) != kOwnPrefix)
            vars.emplace_back(v);
    }
    return vars;
}

} // namespace

unsigned WinExec(const std::string& cmdLine, int /*showCmd*/) {
    std::vector<std::string> args = splitCommandLine(cmdLine);
    if (args.empty())
        return 2; // file not found
    std::string prog = args[0];
    std::string file;
    if (FileExists(prog)) {
        file = ResolvePath(prog);
        if (file.find('/') == std::string::npos)
            file = "./" + file;
    } else if (!onPath(prog, file)) {
        return 2;
    }
    std::vector<std::string> argv;
    if (startsWithMZ(file)) {
        std::string wine;
        if (!onPath("wine", wine))
            return 11; // bad format
        argv = {wine, file};
    } else {
        // Windows runs any program file; here a file extracted without Unix
        // permissions (an archive made on Windows, or a rebuilt directory)
        // would not start, so the owner gets the execute bit it lacks.
        struct stat st;
        if (stat(file.c_str(), &st) == 0 && !(st.st_mode & S_IXUSR))
            chmod(file.c_str(), (st.st_mode & 07777) | S_IXUSR);
        argv = {file};
    }
    for (size_t i = 1; i < args.size(); ++i)
        argv.push_back(args[i]);
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> vars = childEnvironment();
    std::vector<char*> envp;
    for (auto& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, cargv[0], nullptr, nullptr, cargv.data(), envp.data()) != 0)
        return 2;
    // The updater does not wait for the program it starts.
    return 33;
}

uint64_t AvailablePhysicalMemory() {
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t value;
    std::string unit;
    while (in >> key >> value) {
        std::getline(in, unit);
        if (key == "MemAvailable:")
            return value * 1024;
    }
    long pages = sysconf(_SC_AVPHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(size) : 0;
}

std::recursive_mutex& ProcessLock() {
    static std::recursive_mutex lock;
    return lock;
}

} // namespace vx::platform
