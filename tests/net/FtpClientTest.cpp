// The FTP client against a scripted peer: each test is a transcript of the
// commands the client must send, the replies it gets, and the outcome.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/FtpClient.h"
#include "platform/Application.h"
#include "tests/support/FtpPeer.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::net;
using namespace vx::test;

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::string s(fs::exists(p) ? fs::file_size(p) : 0, '\0');
    f.read(s.data(), static_cast<std::streamsize>(s.size()));
    return s;
}

// Bytes that an ASCII-mode transfer would change: LF, CR LF, lone CR, NUL.
std::string binary(size_t n) {
    std::string s(n, '\0');
    uint32_t x = 7;
    for (size_t i = 0; i < n; ++i) {
        x = x * 1103515245 + 12345;
        s[i] = "\n\r\r\nAB\0\xff"[(x >> 16) % 8];
    }
    return s;
}

class FtpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.SetHost("127.0.0.1");
        client.SetPort(peer.Port());
        client.SetUserID("u");
        client.SetPassword("p");
    }

    // Greeting and the ordinary login.
    TFtpPeer& login() {
        return peer.Send("220 ready\r\n")
            .Expect("USER u", "331 Password required\r\n")
            .Expect("PASS p", "230 Logged in\r\n")
            .Expect("TYPE I", "200 Switching to Binary mode.\r\n");
    }
    // One active-mode download of bytes, announced as size (or not).
    TFtpPeer& activeRetr(const std::string& name, const std::string& bytes, bool announce = true) {
        std::string reply = "150 Opening BINARY mode data connection for " + name;
        reply += announce ? " (" + std::to_string(bytes.size()) + " bytes).\r\n" : ".\r\n";
        return peer.ExpectPort().Expect("RETR " + name, reply).OpenData().SendData(bytes).CloseData();
    }
    Lines commands() {
        peer.Wait(2000);
        return peer.Commands();
    }
    std::string local(const std::string& name) const { return (dir / name).string(); }

    TFtpPeer peer;
    TFtpClient client;
    TTempFolder folder;
    fs::path dir{folder.Path()};
};

template <class E, class F> std::string messageOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}

} // namespace

// ---------------------------------------------------------------- login

TEST_F(FtpClientTest, MultiLineGreetingIsReadWholeThenLoginAndBinaryType) {
    peer.Send("220-Welcome\r\n220-second line\r\n still going\r\n220 ready\r\n")
        .Expect("USER u", "331 Password required\r\n")
        .Expect("PASS p", "230 Logged in\r\n")
        .Expect("TYPE I", "200 Binary\r\n");
    peer.Start();
    int connected = 0;
    client.OnConnect = [&](TObject*) { ++connected; };
    client.Connect();
    EXPECT_EQ(connected, 1);
    EXPECT_TRUE(client.Connected());
    EXPECT_EQ(commands(), (Lines{"USER u", "PASS p", "TYPE I"}));
    EXPECT_EQ(peer.Error(), "");
}

TEST_F(FtpClientTest, UserAnswered230NeedsNoPassword) {
    peer.Send("220 ready\r\n").Expect("USER u", "230 Welcome\r\n").Expect("TYPE I", "200 ok\r\n");
    peer.Start();
    client.Connect();
    EXPECT_EQ(commands(), (Lines{"USER u", "TYPE I"}));
}

TEST_F(FtpClientTest, RefusedPasswordQuitsAndReportsTheReplyLine) {
    peer.Send("220 ready\r\n")
        .Expect("USER u", "331 Password required\r\n")
        .Expect("PASS p", "530 Login incorrect.\r\n")
        .Expect("QUIT", "221 Goodbye.\r\n");
    peer.Start();
    int failed = 0;
    Lines statuses;
    client.SetReportLevel(1);
    client.OnStatus = [&](TObject*, const std::string& s) { statuses.push_back(s); };
    client.OnConnectionFailed = [&](TObject*) { ++failed; };
    EXPECT_EQ(messageOf<FTPException>([&] { client.Connect(); }), "530 Login incorrect.\r\n");
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(commands(), (Lines{"USER u", "PASS p", "QUIT"}));
    EXPECT_EQ(statuses.back(), "Disconnected");
    // The password is never reported, only the command's name.
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "PASS "), statuses.end());
    for (const auto& s : statuses)
        EXPECT_EQ(s.find("PASS p"), std::string::npos);
}

TEST_F(FtpClientTest, GreetingAbove400FailsBeforeUser) {
    peer.Send("421 Too many users\r\n").Expect("QUIT", "221 Goodbye.\r\n");
    peer.Start();
    int failed = 0;
    client.OnConnectionFailed = [&](TObject*) { ++failed; };
    EXPECT_EQ(messageOf<FTPException>([&] { client.Connect(); }), "421 Too many users\r\n");
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(commands(), (Lines{"QUIT"}));
}

TEST_F(FtpClientTest, ServerThatHangsUpMidLoginFailsTheLogin) {
    peer.Send("220 ready\r\n").Expect("USER u").Close();
    peer.Start();
    EXPECT_EQ(messageOf<FTPException>([&] { client.Connect(); }), "Connection closed by the server");
    EXPECT_FALSE(client.Connected());
    // Nobody is left to hear QUIT.
    EXPECT_EQ(commands(), (Lines{"USER u"}));
}

TEST_F(FtpClientTest, RefusedBinaryTypeDoesNotStopTheLogin) {
    peer.Send("220 ready\r\n")
        .Expect("USER u", "331 Password required\r\n")
        .Expect("PASS p", "230 Logged in\r\n")
        .Expect("TYPE I", "504 Command not implemented for that parameter.\r\n");
    peer.Start();
    client.Connect();
    EXPECT_TRUE(client.Connected());
}

TEST_F(FtpClientTest, FirewallLoginComesFirst) {
    peer.Send("220 firewall\r\n")
        .Expect("USER fw", "331 Password required\r\n")
        .Expect("PASS fwp", "230 ok\r\n")
        .Expect("USER u", "331 Password required\r\n")
        .Expect("PASS p", "230 ok\r\n")
        .Expect("TYPE I", "200 ok\r\n");
    peer.Start();
    client.SetFWAuthenticate(true);
    client.SetFWUserID("fw");
    client.SetFWPassword("fwp");
    client.Connect();
    EXPECT_EQ(peer.Error(), "");
}

TEST_F(FtpClientTest, MissingCredentialsAreAskedFor) {
    login();
    peer.Start();
    client.SetPassword("");
    client.OnAuthenticationNeeded = [&](TObject*, bool&) { client.SetPassword("p"); };
    client.Connect();
    EXPECT_EQ(peer.Error(), "");
}

TEST(FtpClientProxy, EachFirewallStyleSendsItsLines) {
    struct Row {
        TFirewallType type;
        Lines expected;
    } rows[] = {
        {FTUser, {"USER u@ftp.example.com", "PASS p", "TYPE I"}},
        {FtOpen, {"OPEN ftp.example.com", "USER u", "PASS p", "TYPE I"}},
        {FtSite, {"SITE ftp.example.com", "USER u", "PASS p", "TYPE I"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.expected.front());
        TFtpPeer peer;
        peer.Send("220 proxy\r\n");
        if (r.type != FTUser)
            peer.Expect(r.expected[0], "200 ok\r\n");
        peer.Expect(r.type == FTUser ? r.expected[0] : "USER u", "331 Password required\r\n")
            .Expect("PASS p", "230 ok\r\n")
            .Expect("TYPE I", "200 ok\r\n");
        peer.Start();
        TFtpClient c;
        // The name of the real server is never looked up: only the proxy is.
        c.SetHost("ftp.example.com");
        c.SetProxy("127.0.0.1");
        c.SetProxyPort(peer.Port());
        c.SetFirewallType(r.type);
        c.SetUserID("u");
        c.SetPassword("p");
        c.Connect();
        peer.Wait(2000);
        EXPECT_EQ(peer.Commands(), r.expected);
        EXPECT_EQ(peer.Error(), "");
    }
}

TEST_F(FtpClientTest, ConnectWhenConnectedSendsNothing) {
    login();
    peer.Start();
    client.Connect();
    client.Connect();
    EXPECT_EQ(commands(), (Lines{"USER u", "PASS p", "TYPE I"}));
}

TEST_F(FtpClientTest, QuitAnswered221ClosesQuietly) {
    login().Expect("QUIT", "221 Goodbye.\r\n");
    peer.Start();
    client.Connect();
    client.SetVendor(7);
    client.Disconnect();
    EXPECT_FALSE(client.Connected());
    EXPECT_EQ(client.Vendor(), TFtpClient::DefaultVendor);
    // Not connected any more: nothing is sent, nothing raised.
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_EQ(commands(), (Lines{"USER u", "PASS p", "TYPE I", "QUIT"}));
}

TEST_F(FtpClientTest, QuitAnswered500ClosesThenRaises) {
    login().Expect("QUIT", "500 Unknown command.\r\n");
    peer.Start();
    client.Connect();
    EXPECT_EQ(messageOf<FTPException>([&] { client.Disconnect(); }), "500 Unknown command.\r\n");
    EXPECT_FALSE(client.Connected());
}

TEST(FtpClientUnconnected, DisconnectDoesNothingAndDownloadNeedsAConnection) {
    TFtpClient c;
    EXPECT_EQ(c.Port(), 21);
    EXPECT_NO_THROW(c.Disconnect());
    EXPECT_EQ(messageOf<Exception>([&] { c.Download("a", "b"); }), "Not Connected");
}

// ---------------------------------------------------------------- download

TEST_F(FtpClientTest, ActiveDownloadEventsCountsAndBytes) {
    const std::string bytes = binary(200000);
    login();
    activeRetr("x.bin", bytes).Send("226 Transfer complete.\r\n");
    peer.Start();
    client.Connect();
    Lines events;
    int32_t totalDuring = -1;
    bool countsAgree = true;
    client.OnTransactionStart = [&](TObject* s) { events.push_back(s == &client ? "start" : "start?"); };
    client.OnTransactionStop = [&](TObject* s) { events.push_back(s == &client ? "stop" : "stop?"); };
    client.OnSuccess = [&](TObject*, TCmdType t) { events.push_back("success " + std::to_string(t)); };
    client.OnPacketRecvd = [&](TObject* s) {
        if (events.empty() || events.back() != "packet")
            events.push_back(s == client.DataConnection() && s != &client ? "packet" : "packet?");
        totalDuring = client.BytesTotal();
        countsAgree = countsAgree && client.BytesRecvd() == client.DataConnection()->BytesRecvd();
    };
    client.Download("x.bin", local("x.bin"));
    EXPECT_EQ(events, (Lines{"start", "packet", "stop", "stop", "success 9"}));
    EXPECT_EQ(totalDuring, 200000);
    EXPECT_TRUE(countsAgree);
    EXPECT_EQ(client.BytesTotal(), 200000);
    EXPECT_EQ(client.BytesRecvd(), 200000);
    EXPECT_EQ(client.DataConnection(), nullptr);
    EXPECT_TRUE(readFile(local("x.bin")) == bytes);
    const Lines c = commands();
    ASSERT_EQ(c.size(), 5u);
    // The control connection's address, then the data listener's port.
    EXPECT_EQ(c[3].rfind("PORT 127,0,0,1,", 0), 0u) << c[3];
    EXPECT_EQ(c[4], "RETR x.bin");
}

TEST_F(FtpClientTest, ReplyWithoutByteCountGivesTotalZeroUntilTheEnd) {
    login();
    activeRetr("x.bin", "12345", false).Send("226 Transfer complete.\r\n");
    peer.Start();
    client.Connect();
    int32_t totalDuring = -1;
    client.OnPacketRecvd = [&](TObject*) { totalDuring = client.BytesTotal(); };
    client.Download("x.bin", local("x.bin"));
    EXPECT_EQ(totalDuring, 0);
    EXPECT_EQ(client.BytesTotal(), 5);
}

TEST_F(FtpClientTest, EmptyFileMakesAnEmptyLocalFile) {
    login();
    activeRetr("empty", "").Send("226 Transfer complete.\r\n");
    peer.Start();
    client.Connect();
    client.Download("empty", local("empty"));
    EXPECT_TRUE(fs::exists(local("empty")));
    EXPECT_EQ(fs::file_size(local("empty")), 0u);
    EXPECT_EQ(client.BytesTotal(), 0);
}

TEST_F(FtpClientTest, MissingFileCreatesNothingAndTheConnectionGoesOn) {
    login().ExpectPort().Expect("RETR nope.zip", "550 nope.zip: No such file or directory.\r\n");
    activeRetr("x.bin", "second").Send("226 Transfer complete.\r\n");
    peer.Start();
    client.Connect();
    EXPECT_EQ(messageOf<FTPException>([&] { client.Download("nope.zip", local("nope.zip")); }),
              "550 nope.zip: No such file or directory.\r\n");
    EXPECT_FALSE(fs::exists(local("nope.zip")));
    EXPECT_TRUE(client.Connected());
    client.Download("x.bin", local("x.bin"));
    EXPECT_EQ(readFile(local("x.bin")), "second");
}

TEST_F(FtpClientTest, RefusedCommandReachesOnFailureTwiceUnlessHandled) {
    login()
        .ExpectPort()
        .Expect("RETR a", "550 a: No such file.\r\n")
        .ExpectPort()
        .Expect("RETR b", "550 b: No such file.\r\n");
    peer.Start();
    client.Connect();
    int calls = 0;
    client.OnFailure = [&](TObject*, bool&, TCmdType t) {
        EXPECT_EQ(t, cmdDownload);
        ++calls;
    };
    EXPECT_THROW(client.Download("a", local("a")), FTPException);
    EXPECT_EQ(calls, 2);
    calls = 0;
    bool succeeded = false;
    client.OnSuccess = [&](TObject*, TCmdType) { succeeded = true; };
    client.OnFailure = [&](TObject*, bool& handled, TCmdType) {
        ++calls;
        handled = true;
    };
    EXPECT_NO_THROW(client.Download("b", local("b")));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(succeeded);
}

TEST_F(FtpClientTest, AbortedTransferReplyFailsAndKeepsThePartialFile) {
    login();
    activeRetr("x.bin", "partial").Send("426 Connection closed; transfer aborted.\r\n");
    peer.Start();
    client.Connect();
    bool succeeded = false;
    client.OnSuccess = [&](TObject*, TCmdType) { succeeded = true; };
    EXPECT_EQ(messageOf<FTPException>([&] { client.Download("x.bin", local("x.bin")); }),
              "426 Connection closed; transfer aborted.\r\n");
    EXPECT_FALSE(succeeded);
    EXPECT_EQ(readFile(local("x.bin")), "partial");
    EXPECT_TRUE(client.Connected());
}

TEST_F(FtpClientTest, ServerThatDiesAfterTheDataFailsTheDownload) {
    login();
    activeRetr("x.bin", "all of it").Close();
    peer.Start();
    client.Connect();
    EXPECT_EQ(messageOf<FTPException>([&] { client.Download("x.bin", local("x.bin")); }),
              "Connection closed by the server");
    EXPECT_EQ(readFile(local("x.bin")), "all of it");
}

TEST_F(FtpClientTest, FewerBytesThanAnnouncedFailTheDownload) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection for x.bin (100 bytes).\r\n")
        .OpenData()
        .SendData(std::string(50, 'a'))
        .CloseData()
        .Send("226 Transfer complete.\r\n");
    peer.Start();
    client.Connect();
    EXPECT_EQ(messageOf<FTPException>([&] { client.Download("x.bin", local("x.bin")); }),
              "Transfer incomplete: 50 of 100 bytes received");
    EXPECT_EQ(fs::file_size(local("x.bin")), 50u);
}

// A local file that cannot be made fails the download; the server's late
// answer to the RETR is read then, so the QUIT gets its own reply.
TEST_F(FtpClientTest, LateReplyToAFailedTransferIsNotTakenForTheNextOne) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection for x.bin (5 bytes).\r\n")
        .OpenData()
        .SendData("12345", true)
        .CloseData()
        .Pause(200)
        .Send("426 Failure writing network stream.\r\n")
        .Expect("QUIT", "221 Goodbye.\r\n");
    peer.Start();
    client.Connect();
    EXPECT_THROW(client.Download("x.bin", local("no/such/folder/x.bin")), EFCreateError);
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_TRUE(peer.Wait(5000));
    EXPECT_EQ(peer.Error(), "");
}

TEST_F(FtpClientTest, EmptyLocalNameUsesTheRemoteName) {
    login();
    activeRetr("remote.bin", "abc").Send("226 Transfer complete.\r\n");
    peer.Start();
    client.Connect();
    const auto here = fs::current_path();
    fs::current_path(dir);
    client.Download("remote.bin", "");
    fs::current_path(here);
    EXPECT_EQ(readFile(dir / "remote.bin"), "abc");
}

TEST_F(FtpClientTest, PassiveModeConnectsToHostWhateverThePasvReplyNames) {
    const std::string bytes = binary(70000);
    login()
        .ExpectPasv("10,9,8,7")
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection for x.bin (70000 bytes).\r\n")
        .OpenData()
        .SendData(bytes)
        .CloseData()
        .Send("226 Transfer complete.\r\n");
    peer.Start();
    client.SetPassive(true);
    client.Connect();
    client.Download("x.bin", local("x.bin"));
    EXPECT_TRUE(readFile(local("x.bin")) == bytes);
    EXPECT_EQ(commands(), (Lines{"USER u", "PASS p", "TYPE I", "PASV", "RETR x.bin"}));
}

TEST_F(FtpClientTest, PasvAnswered425EndsInTheConversionError) {
    login().Expect("PASV", "425 Can't open passive connection.\r\n");
    peer.Start();
    client.SetPassive(true);
    client.Connect();
    EXPECT_EQ(messageOf<EConvertError>([&] { client.Download("x.bin", local("x.bin")); }),
              "'' is not a valid integer value");
    EXPECT_FALSE(fs::exists(local("x.bin")));
}

TEST_F(FtpClientTest, DataConnectionRefusedOnTheControlConnectionEndsTheWait) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection.\r\n")
        .Send("425 Failed to establish connection.\r\n");
    activeRetr("y.bin", "next").Send("226 Transfer complete.\r\n");
    peer.Start();
    client.Connect();
    EXPECT_EQ(messageOf<ESockError>([&] { client.Download("x.bin", local("x.bin")); }),
              "Error creating Data Connection");
    // The 425 was the reply to that RETR; the next download starts clean.
    client.Download("y.bin", local("y.bin"));
    EXPECT_EQ(readFile(local("y.bin")), "next");
}

TEST_F(FtpClientTest, DataConnectionThatNeverComesIsGivenUp) {
    login().ExpectPort().Expect("RETR x.bin", "150 Opening BINARY mode data connection.\r\n").Hold();
    peer.Start();
    client.SetAcceptTimeOut(200);
    client.Connect();
    EXPECT_EQ(messageOf<ESockError>([&] { client.Download("x.bin", local("x.bin")); }),
              "Error creating Data Connection");
}

TEST_F(FtpClientTest, ServerSilentMidTransferTimesOutAndKeepsThePartialFile) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection for x.bin (1000 bytes).\r\n")
        .OpenData()
        .SendData(std::string(300, 'z'))
        .Hold();
    peer.Start();
    client.SetTimeOut(800);
    client.Connect();
    EXPECT_EQ(messageOf<EAbortError>([&] { client.Download("x.bin", local("x.bin")); }),
              "Socket send aborted");
    EXPECT_EQ(fs::file_size(local("x.bin")), 300u);
    EXPECT_EQ(client.DataConnection(), nullptr);
}

// The time-out also ends a wait of the control connection itself: the QUIT
// after a stalled transfer, and a completion reply that never comes.
TEST_F(FtpClientTest, TimeOutEndsAWaitForAReplyThatNeverComes) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection for x.bin (4 bytes).\r\n")
        .OpenData()
        .SendData("data")
        .CloseData()
        .Hold();
    peer.Start();
    client.SetTimeOut(800);
    client.Connect();
    EXPECT_EQ(messageOf<EAbortError>([&] { client.Download("x.bin", local("x.bin")); }),
              "Socket readln aborted");
    // A reply that never came leaves replies and commands out of step: the
    // connection is closed, so the QUIT has nobody to go to.
    EXPECT_FALSE(client.Connected());
    EXPECT_NO_THROW(client.Disconnect());
}

// Without a time-out a pause in the data is waited out, however long; the
// bound on the wait for the data connection does not reach into it.
TEST_F(FtpClientTest, WithoutTimeOutAPauseInTheDataIsWaitedOut) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection for x.bin (6 bytes).\r\n")
        .OpenData()
        .SendData("abc")
        .Pause(900)
        .SendData("def")
        .CloseData()
        .Send("226 Transfer complete.\r\n");
    peer.Start();
    client.SetTimeOut(0);
    client.SetAcceptTimeOut(300);
    client.Connect();
    client.Download("x.bin", local("x.bin"));
    EXPECT_EQ(readFile(local("x.bin")), "abcdef");
}

TEST_F(FtpClientTest, CancelOfTheClientDuringTheTransferSendsAbor) {
    login();
    activeRetr("x.bin", "data")
        .Send("226 Transfer complete.\r\n")
        .Expect("ABOR", "225 No transfer to ABOR.\r\n");
    peer.Start();
    client.Connect();
    client.OnPacketRecvd = [&](TObject*) { client.Cancel(); };
    EXPECT_EQ(messageOf<EAbortError>([&] { client.Download("x.bin", local("x.bin")); }),
              "Socket send aborted");
    EXPECT_FALSE(client.Canceled());
    EXPECT_EQ(commands().back(), "ABOR");
}

TEST_F(FtpClientTest, AbortFromThePacketEventCancelsTheDataConnection) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection.\r\n")
        .OpenData()
        .SendData("first block")
        .Hold();
    peer.Start();
    client.Connect();
    client.OnPacketRecvd = [&](TObject*) { client.Abort(); };
    EXPECT_EQ(messageOf<EAbortError>([&] { client.Download("x.bin", local("x.bin")); }),
              "Socket send aborted");
    EXPECT_EQ(readFile(local("x.bin")), "first block");
}

// ---------------------------------------------------------------- bounds

TEST_F(FtpClientTest, ReplyNumberIsReadFromTheLeadingDigitsUnderARangeCheck) {
    struct Row {
        std::string reply;
        int number;
        bool rangeError;
    } rows[] = {
        {"250 ok\r\n", 250, false},  {"no digits\r\n", 0, false},    {"32767 top\r\n", 32767, false},
        {"32768 over\r\n", 0, true}, {"9999999999 x\r\n", 0, false}, {"12345678901\r\n", 0, true},
    };
    login();
    for (const auto& r : rows)
        peer.Expect("CMD", r.reply);
    peer.Start();
    client.Connect();
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reply);
        if (r.rangeError) {
            EXPECT_EQ(messageOf<ERangeError>([&] { client.Transaction("CMD"); }), "Range check error");
        } else {
            EXPECT_EQ(client.Transaction("CMD"), r.reply);
            EXPECT_EQ(client.ReplyNumber(), r.number);
            EXPECT_EQ(client.LastReply(), r.reply);
        }
    }
    EXPECT_EQ(peer.Error(), "");
}

// RFC 959's own example greeting: plain text continuation lines, one of
// them beginning with digits. It ends at "220 " and not before, so the
// replies that follow stay paired with their commands. It also arrives one
// byte at a time.
TEST_F(FtpClientTest, RfcExampleGreetingSplitByteByByteIsReadWhole) {
    const std::string greeting = "220-First line\r\nSecond line\r\n  234 A line beginning with numbers\r\n"
                                 "220 The last line\r\n";
    for (char ch : greeting)
        peer.Send(std::string(1, ch)).Pause(1);
    peer.Expect("USER u", "331 Password required\r\n")
        .Expect("PASS p", "230 Logged in\r\n")
        .Expect("TYPE I", "200 Binary\r\n");
    peer.Start();
    client.Connect();
    EXPECT_EQ(commands(), (Lines{"USER u", "PASS p", "TYPE I"}));
    EXPECT_EQ(peer.Error(), "");
}

// A server that never ends its greeting: the reply fails at its bounds,
// quickly and without a time-out, and the connection is given up.
TEST_F(FtpClientTest, ContinuationLineFloodEndsAtTheBounds) {
    peer.Send("220-Welcome\r\n").SendRepeated("220-and more\r\n", 100000);
    peer.Start();
    client.SetTimeOut(5000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(messageOf<FTPException>([&] { client.Connect(); }),
              "Reply too long: more than 1000 lines or 65536 bytes");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_FALSE(client.Connected());
}

// The same flood, a line at a time and slowly: the time-out bounds the
// reply as a whole, not each of its lines.
TEST_F(FtpClientTest, SlowContinuationLinesEndWithinTheTimeOut) {
    peer.Send("220-Welcome\r\n");
    for (int i = 0; i < 40; ++i)
        peer.Pause(100).Send("220-still here\r\n");
    peer.Hold();
    peer.Start();
    client.SetTimeOut(1000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(messageOf<EAbortError>([&] { client.Connect(); }), "Socket readln aborted");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
}

TEST_F(FtpClientTest, ReplyLineLongerThanTheBoundFailsAndClosesTheConnection) {
    login().ExpectPort().Expect("RETR x.bin", "150 " + std::string(70000, 'x') + "\r\n").Hold();
    peer.Start();
    client.SetTimeOut(3000);
    client.Connect();
    EXPECT_EQ(messageOf<FTPException>([&] { client.Download("x.bin", local("x.bin")); }),
              "Reply too long: more than 1000 lines or 65536 bytes");
    EXPECT_FALSE(client.Connected());
    EXPECT_NO_THROW(client.Disconnect());
}

// A data connection that goes on past the announced size fails at once;
// nothing of the file is kept.
TEST_F(FtpClientTest, DataBeyondTheAnnouncedSizeFailsAndDeletesTheFile) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection for x.bin (1000 bytes).\r\n")
        .OpenData()
        .SendData(std::string(4 << 20, 'z'), true)
        .CloseData()
        .Send("426 Transfer aborted.\r\n")
        .Expect("QUIT", "221 Goodbye.\r\n");
    peer.Start();
    client.SetTimeOut(3000);
    client.Connect();
    EXPECT_EQ(messageOf<EDataOverrun>([&] { client.Download("x.bin", local("x.bin")); }),
              "Transfer larger than 1000 bytes");
    EXPECT_FALSE(fs::exists(local("x.bin")));
    EXPECT_EQ(client.BytesRecvd(), 1000);
    // The server's late word on the RETR is not taken for QUIT's.
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_TRUE(peer.Wait(5000));
    EXPECT_EQ(peer.Error(), "");
}

// The 425 of a server that gave up on the data connection after this side
// did is read and discarded; QUIT gets its own reply.
TEST_F(FtpClientTest, LateReplyAfterTheAcceptBoundIsDiscardedBeforeQuitsOwn) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection.\r\n")
        .Pause(600)
        .Send("425 Failed to establish connection.\r\n")
        .Expect("QUIT", "221 Goodbye.\r\n");
    peer.Start();
    client.SetTimeOut(2000);
    client.SetAcceptTimeOut(200);
    client.Connect();
    EXPECT_EQ(messageOf<ESockError>([&] { client.Download("x.bin", local("x.bin")); }),
              "Error creating Data Connection");
    EXPECT_EQ(client.OwedReplies(), 1);
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_EQ(client.LastReply(), "221 Goodbye.\r\n");
    EXPECT_TRUE(peer.Wait(5000));
    EXPECT_EQ(peer.Error(), "");
}

// A server that never sends the reply it owes still gets its QUIT answered.
TEST_F(FtpClientTest, OwedReplyThatNeverComesDoesNotCostTheGoodbye) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection.\r\n")
        .Expect("QUIT", "221 Goodbye.\r\n");
    peer.Start();
    client.SetTimeOut(2000);
    client.SetAcceptTimeOut(200);
    client.Connect();
    EXPECT_THROW(client.Download("x.bin", local("x.bin")), ESockError);
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_EQ(peer.Error(), "");
}

// 226 at once, without 150: that was the outcome; the download does not
// wait for another reply.
TEST_F(FtpClientTest, ImmediateCompletionReplyIsTheOutcome) {
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "226 Transfer complete (5 bytes).\r\n")
        .OpenData()
        .SendData("12345")
        .CloseData()
        .Expect("QUIT", "221 Goodbye.\r\n");
    peer.Start();
    client.SetTimeOut(2000);
    client.Connect();
    const auto start = std::chrono::steady_clock::now();
    client.Download("x.bin", local("x.bin"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(readFile(local("x.bin")), "12345");
    EXPECT_NO_THROW(client.Disconnect());
    EXPECT_EQ(peer.Error(), "");
}

// A server that hangs up once a transfer is done: the next download finds
// the connection gone at its first command and starts over on a fresh login.
TEST_F(FtpClientTest, HangUpBetweenTransfersLogsInAgainOnce) {
    login();
    activeRetr("a.bin", "first").Send("226 Transfer complete.\r\n").Close().AcceptControl();
    login();
    activeRetr("b.bin", "second").Send("226 Transfer complete.\r\n");
    peer.Start();
    int logins = 0;
    client.OnConnect = [&](TObject*) { ++logins; };
    client.OnConnectionRequired = [&](TObject*, bool& handled) {
        client.Connect();
        handled = true;
    };
    client.SetTimeOut(3000);
    client.Connect();
    client.Download("a.bin", local("a.bin"));
    client.Download("b.bin", local("b.bin"));
    EXPECT_EQ(readFile(local("b.bin")), "second");
    EXPECT_EQ(logins, 2);
    EXPECT_EQ(peer.Error(), "");
}

// ---------------------------------------------------------------- who may connect

// Only the server may open the active-mode data connection: a third party
// that reaches the announced port first is turned away, and the file is the
// server's, byte for byte.
TEST_F(FtpClientTest, ThirdPartyOnTheDataPortIsTurnedAway) {
    const std::string bytes = binary(100000);
    login()
        .ExpectPort()
        .Expect("RETR x.bin", "150 Opening BINARY mode data connection for x.bin (100000 bytes).\r\n")
        .IntrudeData("127.0.0.2", "not the server's file")
        .OpenData()
        .SendData(bytes)
        .CloseData()
        .Send("226 Transfer complete.\r\n");
    peer.Start();
    client.SetTimeOut(3000);
    client.Connect();
    client.Download("x.bin", local("x.bin"));
    EXPECT_TRUE(readFile(local("x.bin")) == bytes);
    EXPECT_TRUE(peer.IntruderTurnedAway());
    EXPECT_EQ(peer.Error(), "");
}

// A symbolic link planted where the downloaded file goes is not followed:
// the link goes and the file is made in its place.
TEST_F(FtpClientTest, SymbolicLinkWhereTheFileGoesIsNotFollowed) {
    login();
    activeRetr("x.bin", "payload", true).Send("226 Transfer complete.\r\n");
    peer.Start();
    const fs::path outside = dir / "outside.txt";
    { std::ofstream(outside) << "keep me"; }
    fs::create_symlink(outside, local("x.bin"));
    client.SetTimeOut(3000);
    client.Connect();
    client.Download("x.bin", local("x.bin"));
    EXPECT_EQ(readFile(outside), "keep me");
    EXPECT_FALSE(fs::is_symlink(local("x.bin")));
    EXPECT_EQ(readFile(local("x.bin")), "payload");
}

// ---------------------------------------------------------------- parsing

TEST(FtpClientParsing, SizeIsTheNumberBeforeTheFirstByte) {
    struct Row {
        const char* line;
        int32_t size;
    } rows[] = {
        {"150 Opening data connection for x.zip (123456 bytes).\r\n", 123456},
        {"150 Opening BINARY mode data connection for x (42 BYTES)\r\n", 42},
        {"150 x (7 Byte)\r\n", 7},
        {"150 Opening data connection\r\n", 0},
        {"150 bytes come now\r\n", 150},
        {"bytes first 12\r\n", 0},
        {"150 (99999999999 bytes)\r\n", 0},
        {"150 (2147483647 bytes)\r\n", 2147483647},
        {"", 0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(TFtpClient::ParseSize(r.line), r.size) << r.line;
}

// Only a plain "<number> bytes" is a size the data is held to.
TEST(FtpClientParsing, OnlyAnExactByteCountIsAnAnnouncedSize) {
    struct Row {
        const char* line;
        bool announced;
    } rows[] = {
        {"150 Opening BINARY mode data connection for x.zip (123456 bytes).\r\n", true},
        {"150 x (0 bytes)\r\n", true},
        {"150 Accepted data connection\r\n", false},
        {"150 0.4 kbytes to download\r\n", false},
        {"150 12.5 bytes\r\n", false},
        {"150 (99999999999 bytes)\r\n", false},
    };
    for (const auto& r : rows) {
        int32_t size = -1;
        EXPECT_EQ(TFtpClient::ParseSize(r.line, size), r.announced) << r.line;
    }
}

TEST(FtpClientParsing, NthFieldCountsFromOne) {
    const std::string pasv = "227 Entering Passive Mode (10,0,0,5,19,137)\r\n";
    EXPECT_EQ(TFtpClient::NthField(pasv, ',', 1), "227 Entering Passive Mode (10");
    EXPECT_EQ(TFtpClient::NthField(pasv, ',', 5), "19");
    EXPECT_EQ(TFtpClient::NthField(pasv, ',', 6), "137)\r\n");
    EXPECT_EQ(TFtpClient::NthField(pasv, ',', 7), "");
    EXPECT_EQ(TFtpClient::NthField("a,,c", ',', 2), "");
    EXPECT_EQ(TFtpClient::NthField("a,,c", ',', 3), "c");
}

TEST(FtpClientParsing, PasvPortFromTheFifthAndSixthFields) {
    EXPECT_EQ(TFtpClient::PasvPort("227 Entering Passive Mode (10,0,0,5,19,137)\r\n"), 5001);
    EXPECT_EQ(TFtpClient::PasvPort("227 =10,0,0,5,0,21)"), 21);
    for (const char* bad :
         {"425 Can't open passive connection.\r\n", "227 (10,0,0,5,19,137\r\n", "227 (10,0,0,5,x,1)"}) {
        EXPECT_THROW(TFtpClient::PasvPort(bad), EConvertError) << bad;
    }
    // Out-of-range numbers wrap instead of overflowing.
    EXPECT_NO_THROW(TFtpClient::PasvPort("227 (1,2,3,4,2147483647,2147483647)"));
}
