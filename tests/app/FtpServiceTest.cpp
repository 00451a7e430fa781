// The run's FTP service against the scripted peer: a cut transfer taken up
// where it stopped, a server that will not restart, a trickle, a bound on
// the size, and what the run log says of each.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "app/RunLog.h"
#include "app/UpdateServices.h"
#include "app/UpdaterConfig.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/TempFolder.h"

using namespace vx::app;
using namespace vx::test;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

namespace {

std::string readFile(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// The log's lines without their time stamps.
Lines logLines() {
    Lines out;
    std::istringstream in(readFile(RunLog::kFileName));
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        out.push_back(l.size() > 20 ? l.substr(20) : l);
    }
    return out;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 2654435761u) >> 24);
    return s;
}

class FtpServiceTest : public ::testing::Test {
protected:
    std::unique_ptr<IFtpService> service(int32_t minRate = 0, int32_t windowS = 60,
                                         int32_t timeOutMs = 10000) {
        TFtpSettings s;
        s.Host = "127.0.0.1";
        s.Port = peer.Port();
        s.User = "u";
        s.Password = "p";
        s.Passive = true;
        s.TimeoutMs = timeOutMs;
        s.MinRate = minRate;
        s.RateWindowS = windowS;
        return MakeFtpService(nullptr, s, runLog);
    }
    TFtpPeer& login() {
        return peer.Send("220 ready\r\n")
            .Expect("USER u", "331 Password required\r\n")
            .Expect("PASS p", "230 Logged in\r\n")
            .Expect("TYPE I", "200 Binary\r\n");
    }
    TFtpPeer& retr(size_t announced) {
        return peer.ExpectPasv()
            .Expect("RETR /x.zip",
                    "150 Opening BINARY mode data connection (" + std::to_string(announced) + " bytes).\r\n")
            .OpenData();
    }

    TTempFolder folder{true};
    // The shipped log, so that its lines are read as the file has them.
    TFileRunLog runLog;
    TFtpPeer peer;
    const std::string local = "x.zip";
};

} // namespace

// A cut at 40 % of 30 MB: the data connection ends early and the server
// says so; a server that then hangs up costs a new login. The rest comes
// with REST, and the peer sends the file once in all.
TEST_F(FtpServiceTest, CutTransferResumesWhereItStopped) {
    const size_t size = 30 * 1000 * 1000, cut = size * 40 / 100;
    const std::string whole = pattern(size);
    login();
    retr(size)
        .SendData(whole.substr(0, cut))
        .CloseData()
        .Send("426 Connection closed; transfer aborted.\r\n");
    // Second try: the server hangs up at the REST; the third logs in again.
    peer.ExpectPasv().Expect("REST " + std::to_string(cut)).Close().AcceptControl();
    login();
    peer.ExpectPasv().Expect("REST " + std::to_string(cut), "350 Restarting.\r\n");
    peer.Expect("RETR /x.zip",
                "150 Opening BINARY mode data connection (" + std::to_string(size) + " bytes).\r\n")
        .OpenData()
        .SendData(whole.substr(cut))
        .CloseData()
        .Send("226 Transfer complete.\r\n");
    peer.Start();
    auto ftp = service();
    ftp->Connect();
    int32_t shownMax = 0, shownTotal = 0;
    bool wentBack = false;
    ftp->SetOnPacketRecvd([&](TObject*) {
        wentBack = wentBack || (ftp->BytesRecvd() < shownMax && shownMax > 0 && ftp->BytesRecvd() > 0 &&
                                static_cast<size_t>(ftp->BytesRecvd()) > cut);
        shownMax = std::max(shownMax, ftp->BytesRecvd());
        shownTotal = ftp->BytesTotal();
    });
    ftp->Download("/x.zip", local);
    EXPECT_TRUE(readFile(local) == whole);
    EXPECT_EQ(ftp->BytesRecvd(), static_cast<int32_t>(size));
    EXPECT_EQ(shownMax, static_cast<int32_t>(size));
    EXPECT_EQ(shownTotal, static_cast<int32_t>(size));
    EXPECT_FALSE(wentBack);
    peer.Wait(5000);
    EXPECT_EQ(peer.Error(), "");
    const Lines log = logLines();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0],
              "download /x.zip: resuming at 12000000 bytes (try 2 of 4) after: 426 Connection closed; "
              "transfer aborted.  ");
    EXPECT_EQ(
        log[1],
        "download /x.zip: resuming at 12000000 bytes (try 3 of 4) after: Connection closed by the server");
    EXPECT_EQ(log[2].rfind("download /x.zip: 30000000 bytes in ", 0), 0u) << log[2];
}

TEST_F(FtpServiceTest, RefusedRestartGetsTheWholeFileAgain) {
    const std::string whole = pattern(100000);
    login();
    retr(whole.size()).SendData(whole.substr(0, 40000)).CloseData().Send("226 Transfer complete.\r\n");
    peer.ExpectPasv().Expect("REST 40000", "502 REST not implemented.\r\n");
    retr(whole.size()).SendData(whole).CloseData().Send("226 Transfer complete.\r\n");
    peer.Start();
    auto ftp = service();
    ftp->Connect();
    ftp->Download("/x.zip", local);
    EXPECT_TRUE(readFile(local) == whole);
    const Lines log = logLines();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0],
              "download /x.zip: resuming at 40000 bytes (try 2 of 4) after: Transfer incomplete: 40000 of "
              "100000 bytes received");
    EXPECT_EQ(log[1], "download /x.zip: starting over (try 3 of 4) after: Restart refused: 502 REST not "
                      "implemented.  ");
}

// One byte every 2 s against a least rate over 1 s: each of the four tries
// ends after its window, and the download fails within their sum.
TEST_F(FtpServiceTest, TrickleEndsAfterFourTriesOfOneWindowEach) {
    login();
    for (int attempt = 0; attempt < 4; ++attempt) {
        peer.ExpectPasv();
        if (attempt > 0)
            peer.Expect("REST " + std::to_string(attempt), "350 Restarting.\r\n");
        peer.Expect("RETR /x.zip", "150 Opening BINARY mode data connection (5000 bytes).\r\n")
            .OpenData()
            .SendData("t", true)
            .Pause(1300)
            .SendData("t", true)
            .SendData("t", true)
            .CloseData()
            .Send("426 Transfer aborted.\r\n");
    }
    peer.Start();
    auto ftp = service(1024, 1);
    ftp->Connect();
    const auto start = Clock::now();
    EXPECT_THROW(ftp->Download("/x.zip", local), std::exception);
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_LT(took, 4 * 1.3 + 2.0);
    EXPECT_EQ(readFile(local), "tttt");
    const Lines log = logLines();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[2],
              "download /x.zip: resuming at 3 bytes (try 4 of 4) after: Transfer too slow: under 1024 "
              "bytes/s for 1 s");
    EXPECT_EQ(log[3].rfind("download /x.zip: failed after 4 bytes, ", 0), 0u) << log[3];
}

TEST_F(FtpServiceTest, DownloadLimitEndsAnEndlessStreamAtOnceWithoutRetrying) {
    login();
    peer.ExpectPasv().Expect("RETR /x.zip", "150 Opening BINARY mode data connection.\r\n").OpenData();
    const std::string block(65536, 's');
    for (int i = 0; i < 4000; ++i)
        peer.SendData(block, true);
    peer.Start();
    auto ftp = service();
    ftp->Connect();
    ftp->SetDownloadLimit(4096);
    const auto start = Clock::now();
    EXPECT_THROW(ftp->Download("/x.zip", local), std::exception);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 2.0);
    EXPECT_LE(fs::file_size(local), 4096u);
    const Lines log = logLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].rfind("download /x.zip: failed after 4096 bytes, ", 0), 0u) << log[0];
}
