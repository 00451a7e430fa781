// The run log: one line per event with its time, appended; kept under its
// bound by dropping the older half; never written through a planted link.
#include "app/RunLog.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/support/TempFolder.h"

using namespace vx::app;
using namespace vx::test;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(RunLogTest, AppendsStampedLinesAndKeepsTheNewerHalfAtItsBound) {
    TTempFolder dir(true);
    RunLog::Write("begin: server 127.0.0.1");
    RunLog::Write("a message\nthat a server split\r\nin lines");
    const std::string two = slurp(dir / RunLog::kFileName);
    EXPECT_TRUE(std::regex_match(
        two, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d begin: server 127.0.0.1\r\n"
                        "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d a message that a server "
                        "split  in lines\r\n")))
        << two;

    const std::string filler(100, 'x');
    for (int i = 0; i < 12000; ++i)
        RunLog::Write("line " + std::to_string(i) + " " + filler);
    const std::string log = slurp(dir / RunLog::kFileName);
    EXPECT_LT(log.size(), RunLog::kMaxBytes);
    EXPECT_GT(log.size(), RunLog::kMaxBytes / 2 - 200);
    EXPECT_EQ(log.find("begin:"), std::string::npos); // the oldest lines went
    EXPECT_NE(log.find("line 11999 "), std::string::npos);
    EXPECT_EQ(log.compare(0, 2, "20"), 0); // it starts at a line's start
}

TEST(RunLogTest, NeverWritesThroughALinkNorStopsTheCaller) {
    TTempFolder outside;
    const std::string victim = outside / "victim";
    std::ofstream(victim) << "keep";
#ifdef _WIN32
    const bool kinds[] = {true}; // symbolic links are granted to administrators only
#else
    const bool kinds[] = {false, true};
#endif
    for (bool hard : kinds) {
        TTempFolder dir(true);
        if (hard)
            std::filesystem::create_hard_link(victim, dir / RunLog::kFileName);
        else
            std::filesystem::create_symlink(victim, dir / RunLog::kFileName);
        EXPECT_NO_THROW(RunLog::Write("an event"));
        EXPECT_EQ(slurp(victim), "keep") << (hard ? "hard link" : "symbolic link");
    }
    // A folder the log cannot be written in.
    TTempFolder dir(true);
    std::filesystem::create_directory(dir / RunLog::kFileName);
    EXPECT_NO_THROW(RunLog::Write("an event"));
}

} // namespace
