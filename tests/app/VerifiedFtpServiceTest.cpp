// The signature check around the run's downloads, with a scripted FTP
// service: what is fetched in which order, and what is left on disk when an
// archive or its signature fails.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "app/VerifiedFtpService.h"
#include "platform/Files.h"
#include "tests/support/Minisign.h"
#include "tests/support/TempFolder.h"

namespace fs = std::filesystem;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// Serves files from a map to Windows-style local names, as the client does;
// a missing one fails as a 550 does. A file named
// in `cutOff` arrives half and then the transfer fails.
class ScriptedFtp : public IFtpService {
public:
    std::map<std::string, std::string> files;
    std::string cutOff;
    std::vector<std::string> log;

    void Connect() override { log.push_back("connect"); }
    void Download(const std::string& remote, const std::string& local) override {
        log.push_back("RETR " + remote + " > " + local);
        auto it = files.find(remote);
        if (it == files.end())
            throw Exception("550 " + remote + ": No such file");
        if (remote == cutOff) {
            writeFile(ResolvePath(local), it->second.substr(0, it->second.size() / 2));
            throw Exception("Socket error");
        }
        writeFile(ResolvePath(local), it->second);
    }
    void Disconnect() override { log.push_back("disconnect"); }
    int32_t BytesTotal() const override { return 0; }
    int32_t BytesRecvd() const override { return 0; }
    void SetOnPacketRecvd(TNotifyEvent) override {}
};

class VerifiedFtpServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        keys_ = new TTempFolder();
        key_ = new TMinisignKeyPair(MakeMinisignKeyPair(keys_->Path()));
        writeFile(*keys_ / "Vendarix.zip", "PK archive bytes");
        MinisignSign(*key_, *keys_ / "Vendarix.zip");
    }
    static void TearDownTestSuite() {
        delete key_;
        delete keys_;
    }
    void SetUp() override {
        ftp_ = std::make_unique<ScriptedFtp>();
        ftp_->files["/d/Vendarix.zip"] = readFile(*keys_ / "Vendarix.zip");
        ftp_->files["/d/Vendarix.zip.minisig"] = readFile(*keys_ / "Vendarix.zip.minisig");
        service_ = std::make_unique<TVerifiedFtpService>(*ftp_, *ParseSigningKey(key_->PublicKeyLine));
    }
    void download() { service_->Download("/d/Vendarix.zip", ".\\Vendarix.zip"); }
    bool exists(const std::string& name) const { return fs::exists(dir_ / name); }

    static TTempFolder* keys_;
    static TMinisignKeyPair* key_;
    TTempFolder dir_{true};
    std::unique_ptr<ScriptedFtp> ftp_;
    std::unique_ptr<IFtpService> service_;
};

TTempFolder* VerifiedFtpServiceTest::keys_ = nullptr;
TMinisignKeyPair* VerifiedFtpServiceTest::key_ = nullptr;

} // namespace

TEST_F(VerifiedFtpServiceTest, SignatureFollowsItsArchiveAndBothStay) {
    download();
    EXPECT_EQ(ftp_->log,
              (std::vector<std::string>{"RETR /d/Vendarix.zip > .\\Vendarix.zip",
                                        "RETR /d/Vendarix.zip.minisig > .\\Vendarix.zip.minisig"}));
    EXPECT_EQ(readFile(dir_ / "Vendarix.zip"), "PK archive bytes");
    EXPECT_TRUE(exists("Vendarix.zip.minisig"));
    DeleteSignatureOf(".\\Vendarix.zip");
    EXPECT_FALSE(exists("Vendarix.zip.minisig"));
    EXPECT_TRUE(exists("Vendarix.zip"));
}

TEST_F(VerifiedFtpServiceTest, RefusedArchiveIsDeletedWithItsSignature) {
    ftp_->files["/d/Vendarix.zip"] = "PK archive bytez";
    EXPECT_THROW(download(), ESignatureError);
    EXPECT_FALSE(exists("Vendarix.zip"));
    EXPECT_FALSE(exists("Vendarix.zip.minisig"));

    ftp_->files["/d/Vendarix.zip.minisig"] = "not a signature";
    EXPECT_THROW(download(), ESignatureError);
    EXPECT_FALSE(exists("Vendarix.zip"));
}

TEST_F(VerifiedFtpServiceTest, MissingSignatureFailsLikeTheDownload) {
    // A signature left behind by an interrupted run does not count.
    writeFile(dir_ / "Vendarix.zip.minisig", readFile(*keys_ / "Vendarix.zip.minisig"));
    ftp_->files.erase("/d/Vendarix.zip.minisig");
    try {
        download();
        ADD_FAILURE() << "accepted";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find("550"), std::string::npos) << e.Message();
    }
    EXPECT_FALSE(exists("Vendarix.zip"));
    EXPECT_FALSE(exists("Vendarix.zip.minisig"));
}

TEST_F(VerifiedFtpServiceTest, PartlyReceivedArchiveIsNotKept) {
    ftp_->cutOff = "/d/Vendarix.zip";
    EXPECT_THROW(download(), Exception);
    EXPECT_EQ(ftp_->log.size(), 1u); // no signature asked for
    EXPECT_FALSE(exists("Vendarix.zip"));
}
