// Whole downloads from real FTP servers on loopback, started by the test
// itself: vsftpd, pure-ftpd and pyftpdlib, in active and passive mode. The
// files hold LF, CR LF and lone CR bytes, so that a transfer in ASCII
// representation would show.
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "net/FtpClient.h"
#include "platform/Streams.h"
#include "tests/support/FtpServers.h"
#include "tests/support/RequireOrSkip.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::net;
using namespace vx::test;

namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::string s(fs::file_size(p), '\0');
    f.read(s.data(), static_cast<std::streamsize>(s.size()));
    return s;
}

std::string binary(size_t n, uint32_t seed) {
    // One MiB of varied bytes, repeated with each MiB's number written into
    // its first bytes, so that a block out of place would show.
    const size_t unit = std::min<size_t>(n, 1u << 20);
    std::string s(unit, '\0');
    uint32_t x = seed;
    for (size_t i = 0; i < unit; ++i) {
        x = x * 1103515245 + 12345;
        const uint32_t r = x >> 16;
        s[i] = (r & 7) == 0 ? '\n' : (r & 7) == 1 ? '\r' : static_cast<char>(r >> 3);
    }
    std::string out;
    out.reserve(n);
    for (uint32_t k = 0; out.size() < n; ++k) {
        const size_t at = out.size();
        out.append(s, 0, std::min(unit, n - at));
        for (size_t b = 0; b < 4 && at + b < out.size() && k > 0; ++b)
            out[at + b] = static_cast<char>(k >> (8 * b));
    }
    return out;
}

struct Mode {
    TFtpServer::TKind kind;
    bool passive;
};
void PrintTo(const Mode& m, std::ostream* os) {
    *os << TFtpServer::KindName(m.kind) << (m.passive ? " passive" : " active");
}

std::string modeName(const ::testing::TestParamInfo<Mode>& info) {
    std::string n = TFtpServer::KindName(info.param.kind);
    n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
    return n + (info.param.passive ? "Passive" : "Active");
}

class FtpServerDownload : public ::testing::TestWithParam<Mode> {
protected:
    void connect(TFtpClient& c, const TFtpServer& s) {
        c.SetHost("127.0.0.1");
        c.SetPort(s.Port());
        c.SetUserID(s.User());
        c.SetPassword(s.Password());
        c.SetPassive(GetParam().passive);
        c.SetTimeOut(20000);
        c.Connect();
    }
    TTempFolder folder{TFtpServer::ScratchRoot()};
    fs::path dir{folder.Path()};
};

} // namespace

TEST_P(FtpServerDownload, FilesArriveByteForByteOnOneConnection) {
    std::string why;
    auto server = TFtpServer::Start(GetParam().kind, why);
    if (!server)
        return RequireOrSkip(std::string(TFtpServer::KindName(GetParam().kind)) + " not available: " + why);
    std::vector<size_t> sizes = {0, 1, 65535, 65536, 65537};
    if (!GetParam().passive)
        sizes.push_back(50u << 20);
    std::vector<std::string> contents;
    for (size_t i = 0; i < sizes.size(); ++i) {
        contents.push_back(binary(sizes[i], static_cast<uint32_t>(i + 1)));
        server->AddFile("Pagina/Download/f" + std::to_string(i) + ".zip", contents.back());
    }
    TFtpClient client;
    int32_t announced = -1;
    client.OnPacketRecvd = [&](TObject*) {
        if (announced < 0)
            announced = client.BytesTotal();
    };
    connect(client, *server);
    for (size_t i = 0; i < sizes.size(); ++i) {
        SCOPED_TRACE("size " + std::to_string(sizes[i]));
        announced = -1;
        const std::string name = "f" + std::to_string(i) + ".zip";
        client.Download("/Pagina/Download/" + name, (dir / name).string());
        EXPECT_EQ(client.BytesTotal(), static_cast<int32_t>(sizes[i]));
        EXPECT_EQ(fs::file_size(dir / name), sizes[i]);
        EXPECT_TRUE(readFile(dir / name) == contents[i]) << "contents differ";
        if (sizes[i] > 0) {
            // vsftpd announces the size in its RETR reply; the others do not.
            if (GetParam().kind == TFtpServer::Vsftpd)
                EXPECT_EQ(announced, static_cast<int32_t>(sizes[i]));
            else
                EXPECT_TRUE(announced == 0 || announced == static_cast<int32_t>(sizes[i])) << announced;
        }
        fs::remove(dir / name);
    }
    client.Disconnect();
    EXPECT_FALSE(client.Connected());
}

TEST_P(FtpServerDownload, MissingFileGivesTheServers550AndTheSessionGoesOn) {
    std::string why;
    auto server = TFtpServer::Start(GetParam().kind, why);
    if (!server)
        return RequireOrSkip(std::string(TFtpServer::KindName(GetParam().kind)) + " not available: " + why);
    server->AddFile("here.bin", binary(3000, 9));
    TFtpClient client;
    connect(client, *server);
    std::string message;
    try {
        client.Download("/nowhere.zip", (dir / "nowhere.zip").string());
    } catch (const FTPException& e) {
        message = e.what();
    }
    EXPECT_EQ(message.substr(0, 4), "550 ") << message;
    EXPECT_EQ(message.substr(message.size() - 2), "\r\n");
    EXPECT_FALSE(fs::exists(dir / "nowhere.zip"));
    client.Download("here.bin", (dir / "here.bin").string());
    EXPECT_TRUE(readFile(dir / "here.bin") == binary(3000, 9));
    client.Disconnect();
}

// A transfer taken up at 40 % of the file: each server honours REST, and
// what it announces (the whole size, what is left, or nothing) is told apart
// with the size of the first try, as the run's retries give it.
TEST_P(FtpServerDownload, RestartAppendsTheRestOfTheFile) {
    std::string why;
    auto server = TFtpServer::Start(GetParam().kind, why);
    if (!server)
        return RequireOrSkip(std::string(TFtpServer::KindName(GetParam().kind)) + " not available: " + why);
    const size_t size = 3u << 20, cut = size * 40 / 100;
    const std::string whole = binary(size, 21);
    server->AddFile("r.zip", whole);
    TFtpClient client;
    connect(client, *server);
    for (const int32_t hint : {static_cast<int32_t>(size), 0}) {
        SCOPED_TRACE("size of the first try " + std::to_string(hint));
        const fs::path local = dir / "r.zip";
        auto file = CreateFreshFile(local.string());
        file->WriteBuffer(whole.data(), static_cast<int64_t>(cut));
        client.Download("/r.zip", *file, static_cast<int32_t>(cut), hint);
        file.reset();
        EXPECT_TRUE(readFile(local) == whole) << "contents differ";
        EXPECT_EQ(client.BytesRecvd(), static_cast<int32_t>(size));
    }
    client.Disconnect();
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpServerDownload,
                         ::testing::Values(Mode{TFtpServer::Vsftpd, false}, Mode{TFtpServer::Vsftpd, true},
                                           Mode{TFtpServer::PureFtpd, false},
                                           Mode{TFtpServer::PureFtpd, true},
                                           Mode{TFtpServer::Pyftpdlib, false},
                                           Mode{TFtpServer::Pyftpdlib, true}),
                         modeName);

// The servers make a refused login wait seconds, so each refuses once; the
// anonymous account of vsftpd takes any password.
class FtpServerLogin : public ::testing::TestWithParam<TFtpServer::TKind> {};

TEST_P(FtpServerLogin, WrongPasswordIsTheServersRefusal) {
    std::string why;
    auto server = TFtpServer::Start(GetParam(), why);
    if (!server)
        return RequireOrSkip(std::string(TFtpServer::KindName(GetParam())) + " not available: " + why);
    TFtpClient client;
    int failed = 0;
    client.OnConnectionFailed = [&](TObject*) { ++failed; };
    client.SetHost("127.0.0.1");
    client.SetPort(server->Port());
    client.SetUserID(server->User());
    client.SetPassword("wrong");
    std::string message;
    try {
        client.Connect();
    } catch (const FTPException& e) {
        message = e.what();
    }
    EXPECT_EQ(message.substr(0, 4), "530 ") << message;
    EXPECT_EQ(failed, 1);
    EXPECT_FALSE(client.Connected());
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpServerLogin,
                         ::testing::Values(TFtpServer::PureFtpd, TFtpServer::Pyftpdlib),
                         [](const auto& info) {
                             std::string n = TFtpServer::KindName(info.param);
                             n.erase(std::remove(n.begin(), n.end(), '-'), n.end());
                             return n;
                         });
