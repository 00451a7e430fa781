#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>

#include "platform/Process.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::test;

namespace {

// What the started program wrote into the pipe, up to its end; the pipe is
// read as the program writes, so the test needs no file to appear.
std::string readPipe(const std::string& fifo, int timeoutMs) {
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "open failed";
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        // A pipe that never had a writer reports nothing, so this waits for
        // the program to open it.
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0)
            break; // the writer closed it
        else if (errno != EAGAIN && errno != EINTR)
            break;
    }
    close(fd);
    return out;
}

struct ScopedEnv {
    ScopedEnv(const char* n, const char* v) : name(n) { setenv(n, v, 1); }
    ~ScopedEnv() { unsetenv(name); }
    const char* name;
};

} // namespace

TEST(WinExec, StartedProgramDoesNotSeeTheUpdatersSettings) {
    TTempFolder dir(true);
    ASSERT_EQ(mkfifo((dir / "env.fifo").c_str(), 0600), 0);
    { std::ofstream(dir / "Prog.sh") << "#!/bin/sh\nenv > \"$(dirname \"$0\")/env.fifo\"\n"; }
    chmod((dir / "Prog.sh").c_str(), 0755);
    ScopedEnv password("UPDATER_FTP_PASSWORD", "segredo-da-loja");
    ScopedEnv key("UPDATER_SIGNING_KEY", "RWQ");
    ScopedEnv similar("MY_UPDATER_NOTE", "kept");
    ScopedEnv other("VX_SHOP_NOTE", "kept too");

    // Found without regard to case, as the updater starts "Vendarix.exe".
    ASSERT_GT(WinExec("prog.sh", SW_SHOW), 31u);
    const std::string env = readPipe(dir / "env.fifo", 10000);

    EXPECT_EQ(env.find("segredo-da-loja"), std::string::npos) << env;
    EXPECT_EQ(env.find("\nUPDATER_"), std::string::npos) << env;
    EXPECT_EQ(env.rfind("UPDATER_", 0), std::string::npos) << env;
    EXPECT_NE(env.find("MY_UPDATER_NOTE=kept\n"), std::string::npos) << env;
    EXPECT_NE(env.find("VX_SHOP_NOTE=kept too\n"), std::string::npos) << env;
    EXPECT_NE(env.find("PATH="), std::string::npos) << env;
}
