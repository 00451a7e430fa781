// The socket component against real loopback sockets: a scripted peer on
// its own thread plays the other side.
#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/AsyncSocket.h"
#include "platform/Application.h"
#include "platform/Timer.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::net;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::string s(fs::exists(p) ? fs::file_size(p) : 0, '\0');
    f.read(s.data(), static_cast<std::streamsize>(s.size()));
    return s;
}

std::string pattern(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 12345;
    for (auto& c : s) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// Calls f after ms from inside the event loop, as a window timer would.
struct TLater {
    TPlatformTimer timer;
    TLater(int ms, std::function<void()> f) {
        timer.OnFire = std::move(f);
        timer.Start(static_cast<unsigned>(ms), false);
    }
};

void connectTo(TAsyncSocket& s, const TFtpPeer& peer) {
    s.SetHost("127.0.0.1");
    s.SetPort(peer.Port());
    s.Connect();
}

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class TempDir {
public:
    TTempFolder folder;
    fs::path path{folder.Path()};
};

} // namespace

// ---------------------------------------------------------------- connect

TEST(AsyncSocketConnect, RefusedPortFailsAfterTheConnectionFailedEvent) {
    TAsyncSocket s;
    int failed = 0;
    s.OnConnectionFailed = [&](TObject*) { ++failed; };
    s.SetHost("127.0.0.1");
    s.SetPort(FreeLoopbackPort());
    try {
        s.Connect();
        FAIL() << "connected to a closed port";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Connection Failed");
    }
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(s.Connected());
}

TEST(AsyncSocketConnect, DottedAddressIsUsedWithoutLookup) {
    TFtpPeer peer;
    peer.Start();
    TAsyncSocket s;
    int resolved = 0, connected = 0;
    s.OnHostResolved = [&](TObject*) { ++resolved; };
    s.OnConnect = [&](TObject* sender) {
        EXPECT_EQ(sender, &s);
        ++connected;
    };
    connectTo(s, peer);
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(resolved, 0);
    EXPECT_EQ(connected, 1);
    EXPECT_EQ(s.LocalAddressText(), "127,0,0,1");
}

TEST(AsyncSocketConnect, NameIsLookedUpOffTheWindowThread) {
    TFtpPeer peer;
    peer.Start();
    TAsyncSocket s;
    int resolved = 0;
    s.OnHostResolved = [&](TObject*) { ++resolved; };
    s.SetHost("localhost");
    s.SetPort(peer.Port());
    s.Connect();
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(resolved, 1);
}

TEST(AsyncSocketConnect, UnresolvableNameWithoutHandlerIsNullRemoteAddress) {
    TAsyncSocket s;
    s.SetHost("no-such-host.invalid");
    s.SetPort(21);
    try {
        s.Connect();
        FAIL();
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), "Null Remote Address");
    }
}

TEST(AsyncSocketConnect, InvalidHostHandlerGetsExactlyOneMoreLookup) {
    TAsyncSocket s;
    int calls = 0;
    s.OnInvalidHost = [&](TObject*, bool& handled) {
        ++calls;
        s.SetHost("still-no-such-host.invalid");
        handled = true;
    };
    s.SetHost("no-such-host.invalid");
    s.SetPort(21);
    EXPECT_THROW(s.Connect(), ESockError);
    EXPECT_EQ(calls, 1);

    // A handler that supplies a good host connects.
    TFtpPeer peer;
    peer.Start();
    TAsyncSocket t;
    t.OnInvalidHost = [&](TObject*, bool& handled) {
        t.SetHost("127.0.0.1");
        handled = true;
    };
    t.SetHost("no-such-host.invalid");
    t.SetPort(peer.Port());
    t.Connect();
    EXPECT_TRUE(t.Connected());
}

TEST(AsyncSocketConnect, ReconnectsAfterDisconnectOnAFreshSocket) {
    TFtpPeer peer;
    peer.Hold();
    peer.Start();
    TAsyncSocket s;
    int disconnects = 0;
    s.OnDisconnect = [&](TObject*) { ++disconnects; };
    connectTo(s, peer);
    s.Disconnect();
    EXPECT_FALSE(s.Connected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_NE(s.Socket(), TAsyncSocket::NoSocket);

    TFtpPeer other;
    other.Start();
    connectTo(s, other);
    EXPECT_TRUE(s.Connected());
}

// A listener whose accept queue is full drops further SYNs, so a connect to
// it neither succeeds nor fails until the time-out.
TEST(AsyncSocketConnect, TimeOutEndsAConnectThatGetsNoAnswer) {
    int l = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(l, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(l, 0);
    socklen_t len = sizeof a;
    ::getsockname(l, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        int c = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(c);
    }
    ::usleep(50000);
    TAsyncSocket s;
    s.SetHost("127.0.0.1");
    s.SetPort(ntohs(a.sin_port));
    s.SetTimeOut(300);
    std::string what;
    try {
        s.Connect();
    } catch (const ESockError& e) {
        what = e.what();
    }
    for (int c : fillers)
        ::close(c);
    ::close(l);
    if (what.empty())
        GTEST_SKIP() << "the kernel accepted the connection; no silent peer to time out on";
    EXPECT_EQ(what, "Connection Timed out");
    EXPECT_TRUE(s.TimedOut());
    EXPECT_FALSE(s.Timer().Enabled());
}

// ---------------------------------------------------------------- lines

TEST(AsyncSocketLines, LineInPiecesComesWholeAndTheRestStaysForTheNextCall) {
    TFtpPeer peer;
    peer.Send("220 he").Pause(50).Send("llo\r").Pause(50).Send("\nNEXT\r\nLAST").Pause(50).Send("\n").Close();
    peer.Start();
    TAsyncSocket s;
    connectTo(s, peer);
    EXPECT_EQ(s.ReadLn(), "220 hello\r\n");
    EXPECT_EQ(s.ReadLn(), "NEXT\r\n");
    EXPECT_EQ(s.ReadLn(), "LAST\n");
    EXPECT_EQ(s.ReadLn(), "");
}

TEST(AsyncSocketLines, CloseWithPendingInputKeepsTheObjectConnected) {
    TFtpPeer peer;
    peer.Send("A\r\nB\r\n").Close();
    peer.Start();
    TAsyncSocket s;
    connectTo(s, peer);
    ASSERT_TRUE(peer.Wait());
    // Let every notification of the close arrive before reading.
    Application()->WaitUntilFor([] { return false; }, 100);
    EXPECT_TRUE(s.Connected());
    EXPECT_EQ(s.ReadLn(), "A\r\n");
    EXPECT_EQ(s.ReadLn(), "B\r\n");
    EXPECT_EQ(s.ReadLn(), "");
    EXPECT_TRUE(s.Connected());
    s.Disconnect();
    EXPECT_FALSE(s.Connected());
}

TEST(AsyncSocketLines, CloseWithoutPendingInputClosesTheSocket) {
    TFtpPeer peer;
    peer.Close();
    peer.Start();
    TAsyncSocket s;
    int disconnects = 0;
    s.OnDisconnect = [&](TObject*) { ++disconnects; };
    connectTo(s, peer);
    EXPECT_TRUE(Application()->WaitUntilFor([&] { return !s.Connected(); }, 5000));
    EXPECT_EQ(disconnects, 1);
    // The reader still sees the end of the stream.
    EXPECT_EQ(s.ReadLn(), "");
}

TEST(AsyncSocketLines, ReadCountZeroTakesWhatIsPending) {
    TFtpPeer peer;
    peer.Send("pending bytes").Hold();
    peer.Start();
    TAsyncSocket s;
    connectTo(s, peer);
    ASSERT_TRUE(Application()->WaitUntilFor([&] { return s.DataAvailable(); }, 5000));
    EXPECT_EQ(s.Read(0), "pending bytes");
    EXPECT_FALSE(s.DataAvailable());
    EXPECT_EQ(s.Read(0), "");
}

// ---------------------------------------------------------------- waits

TEST(AsyncSocketWaits, TimeOutZeroArmsNoTimer) {
    TFtpPeer peer;
    peer.Pause(300).Send("late\r\n").Hold();
    peer.Start();
    TAsyncSocket s;
    connectTo(s, peer);
    s.SetTimeOut(0);
    bool armed = false;
    TLater probe(100, [&] { armed = s.Timer().Enabled() && s.Timer().Interval() != 0; });
    EXPECT_EQ(s.ReadLn(), "late\r\n");
    EXPECT_FALSE(armed);
    EXPECT_FALSE(s.TimedOut());
}

// A wait on a silent peer sleeps in the event loop: the process uses a
// small fraction of the time it waits (a spinning wait would use all of it).
TEST(AsyncSocketWaits, IdleWaitUsesNoCpu) {
    TFtpPeer peer;
    peer.Hold();
    peer.Start();
    TAsyncSocket s;
    connectTo(s, peer);
    s.SetTimeOut(1000);
    const double before = cpuSeconds();
    EXPECT_THROW(s.ReadLn(), EAbortError);
    const double used = cpuSeconds() - before;
    EXPECT_LT(used, 0.3) << "CPU seconds during a 1 s wait";
}

// Read with a count waits for the rest of its bytes without spinning.
TEST(AsyncSocketWaits, ReadOfACountWaitsForTheRestWithoutSpinning) {
    TFtpPeer peer;
    const std::string big = pattern(60000);
    peer.Send("a").Pause(500).Send("b").Send(big).Hold();
    peer.Start();
    TAsyncSocket s;
    connectTo(s, peer);
    const double before = cpuSeconds();
    EXPECT_EQ(s.Read(2), "ab");
    EXPECT_LT(cpuSeconds() - before, 0.25) << "CPU seconds while waiting 0.5 s for one byte";
    EXPECT_EQ(s.Read(static_cast<int>(big.size())), big);
}

TEST(AsyncSocketWaits, ListenAndAcceptTakeTheIncomingConnection) {
    TAsyncSocket listener;
    listener.SetPort(0);
    listener.Listen(true);
    const std::string portText = listener.LocalPortText();
    int hi = 0, lo = 0;
    ASSERT_EQ(std::sscanf(portText.c_str(), ",%d,%d", &hi, &lo), 2);
    int c = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(hi * 256 + lo));
    ASSERT_EQ(::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::send(c, "hi\n", 3, 0);
    listener.InstallSocket(listener.Accept());
    EXPECT_TRUE(listener.Connected());
    EXPECT_EQ(listener.ReadLn(), "hi\n");
    ::close(c);
    EXPECT_EQ(listener.ReadLn(), "");
}

// A peer that does not read fills the socket's buffers: the send waits for
// room (in the event loop) and then goes on, and a cancel ends that wait.
TEST(AsyncSocketWaits, SendWaitsForRoomWhileThePeerDoesNotRead) {
    constexpr int kBlocks = 200; // far beyond what loopback buffers hold
    const std::string block = pattern(65535);
    TFtpPeer peer;
    peer.Pause(200).Drain(static_cast<size_t>(kBlocks) * block.size()).Expect("END", "200 all read\r\n");
    peer.Start();
    TAsyncSocket s;
    connectTo(s, peer);
    for (int i = 0; i < kBlocks; ++i)
        s.SendBuffer(block.data(), static_cast<int>(block.size()));
    s.Writeln("END");
    EXPECT_EQ(s.ReadLn(), "200 all read\r\n");
    EXPECT_EQ(peer.Error(), "");
}

// ---------------------------------------------------------------- failures

// A call that cannot go on fails with its own text and leaves the socket as
// the row says. The socket is connected to a peer playing `script` (none:
// never connected), `arrange` prepares it, and a handler cancels the wait
// after cancelAfterMs where that is not 0.
struct TFailureRow {
    const char* name;
    std::function<void(TFtpPeer&)> script;
    std::function<void(TAsyncSocket&)> arrange;
    std::function<void(TAsyncSocket&)> call;
    int cancelAfterMs;
    bool abort; // an EAbortError, not only an ESockError
    const char* text;
    std::function<void(TAsyncSocket&)> check;
};

void sendUntilStopped(TAsyncSocket& s) {
    const std::string block = pattern(65535);
    for (int i = 0; i < 10000; ++i)
        s.SendBuffer(block.data(), static_cast<int>(block.size()));
}

const TFailureRow kFailures[] = {
    {"SecondConnectIsAlreadyConnected", [](TFtpPeer&) {}, nullptr, [](TAsyncSocket& s) { s.Connect(); }, 0,
     false, "Already connected", [](TAsyncSocket& s) { EXPECT_TRUE(s.Connected()); }},
    {"ReadLnOnASocketNeverConnectedIsAnError", nullptr, nullptr, [](TAsyncSocket& s) { s.ReadLn(); }, 0,
     false, "Socket is not connected: no line to read", nullptr},
    {"LineLongerThanTheWorkBufferIsRefused",
     [](TFtpPeer& peer) { peer.Send(std::string(TAsyncSocket::WorkBufferSize + 10, 'x') + "\r\n").Hold(); },
     nullptr, [](TAsyncSocket& s) { s.ReadLn(); }, 0, false, "Line too long for the receive buffer", nullptr},
    {"CancelFromAHandlerEndsReadLn", [](TFtpPeer& peer) { peer.Hold(); }, nullptr,
     [](TAsyncSocket& s) { s.ReadLn(); }, 50, true, "Socket readln aborted",
     [](TAsyncSocket& s) { EXPECT_FALSE(s.Canceled()); }},
    {"TimeOutAbortsAReadLnOnASilentPeer", [](TFtpPeer& peer) { peer.Hold(); },
     [](TAsyncSocket& s) { s.SetTimeOut(100); }, [](TAsyncSocket& s) { s.ReadLn(); }, 0, true,
     "Socket readln aborted", [](TAsyncSocket& s) { EXPECT_TRUE(s.TimedOut()); }},
    {"CancelEndsAnAcceptAndLeavesTheFlagSet", nullptr, [](TAsyncSocket& s) { s.Listen(true); },
     [](TAsyncSocket& s) { s.Accept(); }, 50, false, "Accepting Canceled",
     [](TAsyncSocket& s) { EXPECT_TRUE(s.Canceled()); }},
    // The peer reads nothing: the sends fill the buffers and then wait.
    {"CancelEndsABlockedSend", [](TFtpPeer& peer) { peer.Pause(10000); }, nullptr, sendUntilStopped, 100,
     true, "Socket send aborted", nullptr},
};

class AsyncSocketFailure : public ::testing::TestWithParam<TFailureRow> {};

TEST_P(AsyncSocketFailure, FailsWithItsText) {
    const TFailureRow& row = GetParam();
    std::unique_ptr<TFtpPeer> peer;
    TAsyncSocket s;
    if (row.script) {
        peer = std::make_unique<TFtpPeer>();
        row.script(*peer);
        peer->Start();
        connectTo(s, *peer);
    }
    if (row.arrange)
        row.arrange(s);
    std::unique_ptr<TLater> later;
    if (row.cancelAfterMs)
        later = std::make_unique<TLater>(row.cancelAfterMs, [&] { s.Cancel(); });
    try {
        row.call(s);
        FAIL() << "no error";
    } catch (const ESockError& e) {
        EXPECT_STREQ(e.what(), row.text);
        EXPECT_EQ(dynamic_cast<const EAbortError*>(&e) != nullptr, row.abort);
    }
    if (row.check)
        row.check(s);
}

INSTANTIATE_TEST_SUITE_P(Calls, AsyncSocketFailure, ::testing::ValuesIn(kFailures),
                         [](const ::testing::TestParamInfo<TFailureRow>& info) { return info.param.name; });

// ---------------------------------------------------------------- files

// Each size is received both ways: moved into the file by the kernel, and
// copied through the work buffer.
class AsyncSocketCapture : public ::testing::TestWithParam<std::tuple<size_t, bool>> {
protected:
    void SetUp() override { TAsyncSocket::SetKernelCopy(std::get<1>(GetParam())); }
    void TearDown() override { TAsyncSocket::SetKernelCopy(true); }
};

TEST_P(AsyncSocketCapture, ReceivesEverythingUntilThePeerCloses) {
    const std::string bytes = pattern(std::get<0>(GetParam()));
    TFtpPeer peer;
    peer.Send(bytes).Close();
    peer.Start();
    TempDir dir;
    TAsyncSocket s;
    int events = 0;
    int32_t last = 0;
    bool monotonic = true;
    s.OnPacketRecvd = [&](TObject* sender) {
        EXPECT_EQ(sender, &s);
        ++events;
        const int32_t step = s.BytesRecvd() - last;
        monotonic = monotonic && step > 0 && step <= TAsyncSocket::WorkBufferSize;
        last = s.BytesRecvd();
    };
    connectTo(s, peer);
    s.CaptureFile((dir.path / "out.bin").string());
    EXPECT_EQ(s.BytesRecvd(), static_cast<int32_t>(bytes.size()));
    EXPECT_TRUE(monotonic);
    EXPECT_GE(events, static_cast<int>((bytes.size() + 65535) / 65536));
    EXPECT_TRUE(readFile(dir.path / "out.bin") == bytes);
}

// A byte beyond the bound fails the receive at once, whether it came in a
// block of its own or at the end of one that brought the last allowed
// bytes; the file holds exactly the bound.
TEST_P(AsyncSocketCapture, BytesBeyondTheBoundFailWithTheFileCutThere) {
    const size_t size = std::get<0>(GetParam());
    const std::string bytes = pattern(size + 1000);
    for (const size_t bound : {size, size + 999}) {
        TFtpPeer peer;
        peer.Send(bytes).Hold();
        peer.Start();
        TempDir dir;
        TAsyncSocket s;
        int32_t seen = 0;
        s.OnPacketRecvd = [&](TObject*) { seen = s.BytesRecvd(); };
        connectTo(s, peer);
        EXPECT_THROW(s.CaptureFile((dir.path / "out.bin").string(), static_cast<int64_t>(bound)),
                     EDataOverrun);
        EXPECT_EQ(s.BytesRecvd(), static_cast<int32_t>(bound));
        EXPECT_LE(seen, static_cast<int32_t>(bound));
        EXPECT_TRUE(readFile(dir.path / "out.bin") == bytes.substr(0, bound));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AsyncSocketCapture,
                         ::testing::Combine(::testing::Values(0, 65536, 10 * 1024 * 1024),
                                            ::testing::Bool()));

TEST(AsyncSocketFiles, CancelFromThePacketEventStopsTheReceive) {
    TFtpPeer peer;
    peer.Send(pattern(1000)).Hold();
    peer.Start();
    TempDir dir;
    TAsyncSocket s;
    s.OnPacketRecvd = [&](TObject*) { s.Cancel(); };
    connectTo(s, peer);
    try {
        s.CaptureFile((dir.path / "out.bin").string());
        FAIL();
    } catch (const EAbortError& e) {
        EXPECT_STREQ(e.what(), "Socket send aborted");
    }
    EXPECT_EQ(fs::file_size(dir.path / "out.bin"), 1000u);
}

// The time-out measures silence: a transfer that keeps sending outlives it,
// one that stops sending is aborted.
TEST(AsyncSocketFiles, TimeOutCountsSilenceNotTheWholeTransfer) {
    TFtpPeer peer;
    for (int i = 0; i < 10; ++i)
        peer.Send(pattern(1000)).Pause(100);
    peer.Close();
    peer.Start();
    TempDir dir;
    TAsyncSocket s;
    connectTo(s, peer);
    s.SetTimeOut(400);
    s.CaptureFile((dir.path / "out.bin").string());
    EXPECT_EQ(s.BytesRecvd(), 10000);
    EXPECT_FALSE(s.TimedOut());

    TFtpPeer silent;
    silent.Send(pattern(1000)).Hold();
    silent.Start();
    TAsyncSocket t;
    connectTo(t, silent);
    t.SetTimeOut(600);
    EXPECT_THROW(t.CaptureFile((dir.path / "cut.bin").string()), EAbortError);
    EXPECT_TRUE(t.TimedOut());
    EXPECT_EQ(fs::file_size(dir.path / "cut.bin"), 1000u);
}

TEST(AsyncSocketFiles, FileThatCannotBeCreatedIsAnError) {
    TFtpPeer peer;
    peer.Send("x").Close();
    peer.Start();
    TAsyncSocket s;
    connectTo(s, peer);
    EXPECT_THROW(s.CaptureFile("/no/such/folder/out.bin"), EFCreateError);
}

// ---------------------------------------------------------------- texts

TEST(AsyncSocketTexts, ErrorTextNumbersAndMessages) {
    TAsyncSocket s;
    EXPECT_EQ(s.ErrorText(10061), "10061:Connection refused");
    EXPECT_EQ(s.ErrorText(11001), "11001:Host not found");
    EXPECT_EQ(s.ErrorText(12345), "Unknown Error No. 12345");
    EXPECT_EQ(s.ErrorText(0), "");
}

TEST(AsyncSocketTexts, LocalPortTextIsHighByteThenLowByte) {
    TAsyncSocket s;
    s.SetPort(5001);
    s.Listen(false);
    const std::string text = s.LocalPortText();
    if (text != ",19,137")
        GTEST_SKIP() << "port 5001 is taken here (" << text << ")";
    EXPECT_EQ(text, ",19,137");
}

TEST(AsyncSocketTexts, ReportLevelChoosesWhatIsReported) {
    auto statuses = [](int level) {
        TFtpPeer peer;
        peer.Expect("NOOP", "200 fine\r\n");
        peer.Start();
        TAsyncSocket s;
        std::vector<std::string> seen;
        s.SetReportLevel(level);
        s.OnStatus = [&](TObject*, const std::string& text) { seen.push_back(text); };
        connectTo(s, peer);
        s.Writeln("NOOP");
        s.ReadLn();
        s.Disconnect();
        return seen;
    };
    auto has = [](const std::vector<std::string>& v, const std::string& t) {
        return std::find(v.begin(), v.end(), t) != v.end();
    };
    // Protocol lines (level 1) are the FTP client's to report; the socket
    // itself reports only its milestones and traces.
    EXPECT_TRUE(statuses(0).empty());
    EXPECT_TRUE(statuses(1).empty());
    const auto four = statuses(4);
    EXPECT_TRUE(has(four, "Sending Buffer"));
    EXPECT_TRUE(has(four, "Request Close Socket"));
    EXPECT_FALSE(has(four, "ReadLn"));
    const auto eight = statuses(8);
    for (const char* t : {"Connecting", "Writeln", "ReadLn", "Timer On", "Disconnecting"})
        EXPECT_TRUE(has(eight, t)) << t;
}

TEST(AsyncSocketTexts, StatusHandlerExceptionsAreSwallowed) {
    TAsyncSocket s;
    s.SetReportLevel(8);
    s.OnStatus = [](TObject*, const std::string&) { throw std::runtime_error("display broke"); };
    EXPECT_NO_THROW(s.StatusMessage(8, "anything"));
    EXPECT_EQ(s.Status(), "anything");
}
