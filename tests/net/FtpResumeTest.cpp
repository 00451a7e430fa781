// The download path beyond one plain transfer, against the scripted peer: a
// transfer taken up part of the way in (REST), a server that refuses that, a
// trickle under the least rate, a bound on the size, and a local name that
// something planted a link at.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/FtpClient.h"
#include "platform/Streams.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::net;
using namespace vx::test;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7) % 26);
    return s;
}

class FtpResumeTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.SetHost("127.0.0.1");
        client.SetPort(peer.Port());
        client.SetUserID("u");
        client.SetPassword("p");
        client.SetPassive(true);
        peer.Send("220 ready\r\n")
            .Expect("USER u", "331 Password required\r\n")
            .Expect("PASS p", "230 Logged in\r\n")
            .Expect("TYPE I", "200 Binary\r\n");
    }
    // The part of the file already here, in a file open as a download has it.
    std::unique_ptr<THandleStream> partial(const std::string& bytes) {
        auto f = CreateFreshFile(path);
        f->WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        return f;
    }

    TFtpPeer peer;
    TFtpClient client;
    TTempFolder folder;
    std::string path = folder / "x.zip";
};

} // namespace

TEST_F(FtpResumeTest, RestartAppendsTheRestWhateverTheServerAnnounces) {
    const std::string whole = pattern(10000);
    const size_t had = 4000;
    struct Row {
        const char* what;
        std::string announced; // the 150 reply's tail
        int32_t wholeHint;
    } rows[] = {
        {"whole size announced", " (10000 bytes).", 0},
        {"what is left announced, earlier size known", " (6000 bytes).", 10000},
        {"what is left announced, below the offset", " (3999 bytes).", 0},
        {"nothing announced", ".", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TFtpPeer p;
        p.Send("220 ready\r\n").Expect("USER u", "331 Password required\r\n").Expect("PASS p", "230 ok\r\n");
        p.Expect("TYPE I", "200 Binary\r\n").ExpectPasv().Expect("REST 4000", "350 Restarting at 4000.\r\n");
        // The row below the offset stands for a server that announces the
        // rest of a file of 7999 bytes: the data is held to that.
        const std::string rest = std::string(r.what).find("below") != std::string::npos
                                     ? whole.substr(had, 3999)
                                     : whole.substr(had);
        p.Expect("RETR x.zip", "150 Opening BINARY mode data connection for x.zip" + r.announced + "\r\n")
            .OpenData()
            .SendData(rest)
            .CloseData()
            .Send("226 Transfer complete.\r\n");
        p.Start();
        TFtpClient c;
        c.SetHost("127.0.0.1");
        c.SetPort(p.Port());
        c.SetUserID("u");
        c.SetPassword("p");
        c.SetPassive(true);
        c.Connect();
        auto file = partial(whole.substr(0, had));
        int32_t maxShown = 0;
        c.OnPacketRecvd = [&](TObject*) { maxShown = std::max(maxShown, c.BytesRecvd()); };
        c.Download("x.zip", *file, static_cast<int32_t>(had), r.wholeHint);
        file.reset();
        EXPECT_EQ(readFile(path), whole.substr(0, had) + rest);
        // The gauge's counts are the whole file's.
        EXPECT_EQ(c.BytesRecvd(), static_cast<int32_t>(had + rest.size()));
        EXPECT_EQ(maxShown, c.BytesRecvd());
        EXPECT_EQ(c.BytesTotal(), c.BytesRecvd());
        p.Wait(2000);
        EXPECT_EQ(p.Error(), "");
    }
}

TEST_F(FtpResumeTest, RefusedRestartAppendsNothing) {
    peer.ExpectPasv().Expect("REST 3", "502 Command not implemented.\r\n");
    peer.Start();
    client.Connect();
    auto file = partial("abc");
    try {
        client.Download("x.zip", *file, 3);
        FAIL() << "no exception";
    } catch (const ERestartRefused& e) {
        EXPECT_STREQ(e.what(), "Restart refused: 502 Command not implemented.\r\n");
    }
    file.reset();
    EXPECT_EQ(readFile(path), "abc");
}

TEST_F(FtpResumeTest, TrickleUnderTheLeastRateEndsAfterItsWindow) {
    peer.ExpectPasv()
        .Expect("RETR x.zip", "150 Opening BINARY mode data connection for x.zip (5000 bytes).\r\n")
        .OpenData();
    for (int i = 0; i < 10; ++i)
        peer.SendData("z", true).Pause(2000);
    peer.Start();
    client.SetTimeOut(20000);
    client.SetMinRate(1024);
    client.SetRateWindow(1);
    client.Connect();
    const auto start = Clock::now();
    try {
        client.Download("x.zip", path);
        FAIL() << "no exception";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Transfer too slow: under 1024 bytes/s for 1 s");
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 1.8);
    EXPECT_EQ(client.BytesRecvd(), 1);
}

TEST_F(FtpResumeTest, EndlessStreamStopsAtTheBoundBeforeMoreIsWritten) {
    peer.ExpectPasv().Expect("RETR x.zip", "150 Opening BINARY mode data connection.\r\n").OpenData();
    const std::string block(65536, 'e');
    for (int i = 0; i < 2000; ++i)
        peer.SendData(block, true);
    peer.Start();
    client.Connect();
    client.SetMaxBytes(100000);
    auto file = CreateFreshFile(path);
    const auto start = Clock::now();
    EXPECT_THROW(client.Download("x.zip", *file), EDataOverrun);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
    file.reset();
    EXPECT_EQ(fs::file_size(path), 100000u);
}

TEST_F(FtpResumeTest, LinksPlantedAtTheNameAreNeverWrittenThrough) {
    TTempFolder outside;
    const std::string target = outside / "precious";
    for (const bool symbolic : {true, false}) {
        SCOPED_TRACE(symbolic ? "symbolic link" : "hard link");
        std::ofstream(target, std::ios::binary) << "keep me";
        fs::remove(path);
        if (symbolic)
            fs::create_symlink(target, path);
        else
            fs::create_hard_link(target, path);
        TFtpPeer p;
        p.Send("220 ready\r\n").Expect("USER u", "331 ok\r\n").Expect("PASS p", "230 ok\r\n");
        p.Expect("TYPE I", "200 ok\r\n")
            .ExpectPasv()
            .Expect("RETR x.zip", "150 Opening (9 bytes).\r\n")
            .OpenData()
            .SendData("new bytes")
            .CloseData()
            .Send("226 Transfer complete.\r\n");
        p.Start();
        TFtpClient c;
        c.SetHost("127.0.0.1");
        c.SetPort(p.Port());
        c.SetUserID("u");
        c.SetPassword("p");
        c.SetPassive(true);
        c.Connect();
        c.Download("x.zip", path);
        EXPECT_EQ(readFile(target), "keep me");
        EXPECT_FALSE(fs::is_symlink(path));
        EXPECT_EQ(fs::hard_link_count(path), 1u);
        EXPECT_EQ(readFile(path), "new bytes");
    }
    // The same holds for the file the caller has made for a download.
    fs::remove(path);
    fs::create_symlink(target, path);
    { auto f = CreateFreshFile(path); }
    EXPECT_FALSE(fs::is_symlink(path));
    EXPECT_EQ(readFile(target), "keep me");
}
