// Explicit TLS: downloads from a vsftpd that requires it for the login and
// every data connection (and the control connection's session on the data
// connections), and the refusals: a certificate that is not trusted or
// names another host, a server that will not start TLS. On a refusal the
// client sends nothing more, in clear or otherwise. The Windows build runs
// the same downloads and refusals against servers that ctest starts for it;
// the CA files that give nothing to trust are refused on both.
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <gtest/gtest.h>

#include "net/FtpClient.h"
#ifndef _WIN32
#include "tests/support/FtpPeer.h"
#include "tests/support/FtpServers.h"
#endif
#include "tests/support/RequireOrSkip.h"
#include "tests/support/TempFolder.h"

using namespace vx::net;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// A client that must protect everything, trusting only caFile.
void setUp(TFtpClient& c, unsigned short port, const std::string& host, const std::string& caFile) {
    c.SetHost(host);
    c.SetPort(port);
    c.SetUserID("anonymous");
    c.SetPassword("vx@example.com");
    c.SetTimeOut(20000);
    c.SetTlsRequired(true);
    c.SetCaFile(caFile);
}

// Connecting fails before anything is sent, with a TLS failure that says
// what went wrong.
void expectRefused(TFtpClient& c, const std::string& says) {
    try {
        c.Connect();
        ADD_FAILURE() << "connected";
    } catch (const ETlsFailure& e) {
        EXPECT_NE(e.Message().find(says), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(c.Connected());
}

} // namespace

#ifndef _WIN32
namespace {

// A self-signed certificate for subject alternative name san (and common
// name cn): name.pem holds the certificate and its key, for the server;
// name.crt the certificate alone, for the client to trust.
bool makeCertificate(const std::string& dir, const std::string& name, const std::string& cn,
                     const std::string& san) {
    const std::string base = dir + "/" + name;
    const std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout '" + base +
        ".key' -out '" + base + ".crt' -subj '/CN=" + cn + "' -addext 'subjectAltName=" + san +
        "' >/dev/null 2>&1 && cat '" + base + ".key' '" + base + ".crt' > '" + base + ".pem' && chmod 644 '" +
        base + ".pem'";
    return std::system(cmd.c_str()) == 0;
}

class FtpTls : public ::testing::Test {
protected:
    void SetUp() override {
        ::chmod(dir.c_str(), 0755);
        ASSERT_TRUE(makeCertificate(dir, "server", "127.0.0.1", "IP:127.0.0.1"));
        ASSERT_TRUE(makeCertificate(dir, "other", "127.0.0.1", "IP:127.0.0.1"));
    }
    TTempFolder folder{TFtpServer::ScratchRoot()};
    std::string dir{folder.Path()};
};

class FtpTlsDownload : public FtpTls, public ::testing::WithParamInterface<bool> {};

} // namespace

TEST_P(FtpTlsDownload, FilesArriveByteForByteOverProtectedConnections) {
    std::string why;
    auto server = TFtpServer::Start(TFtpServer::Vsftpd, why, dir + "/server.pem");
    if (!server)
        return RequireOrSkip("vsftpd not available: " + why);
    // Several MiB with CR, LF and every other byte, and an empty file: the
    // protected stream must neither change a byte nor lose the last ones.
    std::string big(3 * 1024 * 1024 + 17, '\0');
    uint32_t x = 7;
    for (char& ch : big) {
        x = x * 1103515245 + 12345;
        ch = static_cast<char>(x >> 16);
    }
    server->AddFile("big.bin", big);
    server->AddFile("empty.bin", "");

    TFtpClient c;
    setUp(c, server->Port(), "127.0.0.1", dir + "/server.crt");
    c.SetPassive(GetParam());
    c.Connect();
    ASSERT_NE(c.Tls(), nullptr);
    // Two transfers on one login: each data connection takes up the
    // control connection's session again, as the server insists.
    for (const char* name : {"big.bin", "empty.bin", "big.bin"}) {
        SCOPED_TRACE(name);
        const fs::path local = fs::path(dir) / (std::string("got-") + name);
        c.Download(name, local.string());
        EXPECT_EQ(readFile(local), name == std::string("empty.bin") ? std::string() : big);
    }
    c.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpTlsDownload, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST_F(FtpTls, NothingFollowsARefusalOrAFailedHandshake) {
    struct Row {
        const char* what;
        const char* reply; // to AUTH TLS
        std::string host;
        bool handshake; // the peer answers the client's hello
    };
    for (const Row& r : {Row{"AUTH refused", "530 Please login with USER and PASS.\r\n", "127.0.0.1", false},
                         Row{"AUTH unknown", "504 Unknown AUTH type.\r\n", "127.0.0.1", false},
                         Row{"an older draft's reply", "334 ADAT next\r\n", "127.0.0.1", false},
                         Row{"another certificate", "234 Proceed.\r\n", "127.0.0.1", true},
                         Row{"a name the certificate lacks", "234 Proceed.\r\n", "localhost", true}}) {
        SCOPED_TRACE(r.what);
        TFtpPeer peer;
        peer.Send("220 ready\r\n").Expect("AUTH TLS", r.reply);
        // The client trusts other.crt; the peer shows server.pem, or (for
        // the wrong name) other.pem under another name than the one dialled.
        if (r.handshake)
            peer.ServeTls(dir + (r.host == "localhost" ? "/other.pem" : "/server.pem"));
        else
            peer.Record();
        peer.Start();
        TFtpClient c;
        setUp(c, peer.Port(), r.host, dir + "/other.crt");
        EXPECT_THROW(c.Connect(), ETlsFailure);
        EXPECT_FALSE(c.Connected());
        ASSERT_TRUE(peer.Wait(10000));
        EXPECT_EQ(peer.Error(), "");
        EXPECT_EQ(peer.Commands(), std::vector<std::string>{"AUTH TLS"});
        EXPECT_FALSE(peer.TlsAccepted());
        EXPECT_EQ(peer.Recorded(), "");
    }
}

TEST_F(FtpTls, AHandshakeWithASilentServerWaitsInTheEventLoopUntilTheTimeOut) {
    // The server agrees to TLS and then says nothing: the client's hello
    // goes out, and the wait for the answer blocks (no processor time to
    // speak of) until the time-out gives up on the connection.
    TFtpPeer peer;
    peer.Send("220 ready\r\n").Expect("AUTH TLS", "234 Proceed.\r\n").Record();
    peer.Start();
    TFtpClient c;
    setUp(c, peer.Port(), "127.0.0.1", dir + "/server.crt");
    c.SetTimeOut(1500);
    const auto start = std::chrono::steady_clock::now();
    const std::clock_t cpu = std::clock();
    EXPECT_THROW(c.Connect(), ETlsFailure);
    const double cpuSeconds = static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(1400));
    EXPECT_LT(waited, std::chrono::milliseconds(10000));
    EXPECT_LT(cpuSeconds, 0.5);
    ASSERT_TRUE(peer.Wait(10000));
    // The hello, and after the time-out nothing in clear.
    const std::string sent = peer.Recorded();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent[0], '\x16');
    EXPECT_EQ(sent.find("USER"), std::string::npos);
    EXPECT_EQ(sent.find("QUIT"), std::string::npos);
}

#else // _WIN32

// Under Wine the test cannot start the Linux servers itself: ctest's fixture
// (tls-servers.sh) starts them before these tests and stops them after,
// leaving their certificates, files and ports in one folder.
namespace {

std::string fixture(const std::string& name) {
    return std::string("Z:") + VX_TLS_SERVERS_DIR + "/" + name;
}

unsigned short fixturePort(const std::string& server) {
    std::ifstream f(fixture(server + ".port"));
    int port = 0;
    return f >> port && port > 0 && port < 65536 ? static_cast<unsigned short>(port) : 0;
}

// Wine's Schannel (on GnuTLS) never takes a session up again.
bool underWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

void downloadAll(TFtpClient& c, const std::string& dir) {
    const std::string big = readFile(fixture("files/big.bin"));
    ASSERT_GT(big.size(), 3u * 1024 * 1024);
    // Several transfers on one login: a data connection after another.
    for (const char* name : {"big.bin", "empty.bin", "big.bin"}) {
        SCOPED_TRACE(name);
        const fs::path local = fs::path(dir) / (std::string("got-") + name);
        c.Download(name, local.string());
        EXPECT_EQ(readFile(local), name == std::string("empty.bin") ? std::string() : big);
    }
}

class FtpTlsDownload : public ::testing::TestWithParam<bool> {
protected:
    TTempFolder folder;
};

} // namespace

TEST_P(FtpTlsDownload, FilesArriveByteForByteOverProtectedConnections) {
    const unsigned short port = fixturePort("fresh");
    if (!port)
        return RequireOrSkip("the TLS servers of tls-servers.sh are not running");
    TFtpClient c;
    setUp(c, port, "127.0.0.1", fixture("server.crt"));
    c.SetPassive(GetParam());
    c.Connect();
    ASSERT_NE(c.Tls(), nullptr);
    downloadAll(c, folder.Path());
    c.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Modes, FtpTlsDownload, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Passive" : "Active"; });

TEST(FtpTls, AServerThatInsistsOnTheControlSessionsReuse) {
    const unsigned short port = fixturePort("reuse");
    if (!port)
        return RequireOrSkip("the TLS servers of tls-servers.sh are not running");
    TTempFolder folder;
    TFtpClient c;
    setUp(c, port, "127.0.0.1", fixture("server.crt"));
    c.SetPassive(true);
    c.Connect();
    ASSERT_NE(c.Tls(), nullptr);
    if (!underWine())
        return downloadAll(c, folder.Path());
    // Wine's engine offers no session again: the server refuses the data
    // connection, and the download fails with its reason, no file made.
    const fs::path local = fs::path(folder.Path()) / "got-big.bin";
    try {
        c.Download("big.bin", local.string());
        ADD_FAILURE() << "the download did not fail";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("522"), std::string::npos) << e.Message();
    }
}

TEST(FtpTls, RefusalsOfAServerOrItsCertificate) {
    struct Row {
        const char* what;
        const char* server;
        std::string host;
        const char* trusted;
        const char* says;
    };
    for (const Row& r : {Row{"a server without TLS", "plain", "127.0.0.1", "server.crt", "530"},
                         Row{"another certificate", "reuse", "127.0.0.1", "other.crt", "certificate refused"},
                         Row{"a name the certificate lacks", "reuse", "localhost", "server.crt",
                             "certificate refused: hostname mismatch"},
                         Row{"the system's certificates", "reuse", "127.0.0.1", "", "certificate refused"},
                         // The address is in the common name only, which
                         // names nothing when the certificate lists names.
                         Row{"an address the certificate lists no more", "named", "127.0.0.1", "named.crt",
                             "certificate refused: IP address mismatch"}}) {
        SCOPED_TRACE(r.what);
        const unsigned short port = fixturePort(r.server);
        if (!port)
            return RequireOrSkip("the TLS servers of tls-servers.sh are not running");
        TFtpClient c;
        setUp(c, port, r.host, *r.trusted ? fixture(r.trusted) : std::string());
        expectRefused(c, r.says);
        EXPECT_EQ(c.Tls(), nullptr);
    }
}

TEST(FtpTls, ANameTheCertificateListsIsTheServersWhateverItsCase) {
    const unsigned short port = fixturePort("named");
    if (!port)
        return RequireOrSkip("the TLS servers of tls-servers.sh are not running");
    TFtpClient c;
    setUp(c, port, "localhost", fixture("named.crt"));
    c.Connect();
    EXPECT_NE(c.Tls(), nullptr);
    c.Disconnect();
}

#endif // _WIN32

TEST(FtpTlsTrust, ACaFileThatGivesNoCertificateStopsBeforeAnyConnection) {
    TTempFolder folder;
    const std::string good = "-----BEGIN CERTIFICATE-----\n"
                             "MIIBhTCCASugAwIBAgIUb1Ns3Q==\n"
                             "-----END CERTIFICATE-----\n";
    struct Row {
        const char* what;
        const char* name; // missing.crt is not written
        std::string bytes;
    };
    for (const Row& r :
         {Row{"a file that is not there", "missing.crt", ""}, Row{"an empty file", "empty.crt", ""},
          Row{"text without a certificate", "text.crt", "just some words\n"},
          Row{"a certificate without its end line", "cut.crt", good.substr(0, 50)},
          Row{"a damaged certificate", "bad.crt", good}}) {
        SCOPED_TRACE(r.what);
        const std::string path = folder / r.name;
        if (std::string(r.name) != "missing.crt")
            std::ofstream(path, std::ios::binary) << r.bytes;
        // Nobody listens there: a failure that is not the file's would be
        // a socket's.
        TFtpClient c;
        c.SetHost("127.0.0.1");
        c.SetPort(9);
        c.SetTimeOut(5000);
        c.SetTlsRequired(true);
        c.SetCaFile(path);
        expectRefused(c, r.name);
    }
}
