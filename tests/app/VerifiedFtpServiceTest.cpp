// The signature check around the run's downloads, with a scripted FTP
// service: what is fetched in which order, where it lands, and what is left
// on disk when an archive or its signature fails, and why each refusal is
// told. Keys and signatures are made by the minisign tool.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <map>

#include "app/RunLog.h"
#include "app/VerifiedFtpService.h"
#include "platform/Files.h"
#include "tests/support/Minisign.h"
#include "tests/support/TempFolder.h"

using namespace vx::platform;
using namespace vx::app;
using namespace vx::test;

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
// a missing one fails as a 550 does. A file named in `cutOff` arrives half
// and then the transfer fails; one named in `endless` never ends, and only
// the download bound stops it, as the client stops.
class ScriptedFtp : public IFtpService {
public:
    std::map<std::string, std::string> files;
    std::string cutOff, endless;
    std::vector<std::string> log;

    void Connect() override { log.push_back("connect"); }
    void Download(const std::string& remote, const std::string& local) override {
        log.push_back("RETR " + remote + " > " + local +
                      (limit_ ? " (at most " + std::to_string(limit_) + ")" : ""));
        recvd_ = 0;
        if (remote == endless) {
            if (limit_ <= 0)
                throw Exception("an endless stream without a bound");
            writeFile(ResolvePath(local), std::string(static_cast<size_t>(limit_), 'x'));
            recvd_ = static_cast<int32_t>(limit_) + 1;
            throw Exception("more than " + std::to_string(limit_) + " bytes");
        }
        auto it = files.find(remote);
        if (it == files.end())
            throw Exception("550 " + remote + ": No such file");
        if (remote == cutOff) {
            writeFile(ResolvePath(local), it->second.substr(0, it->second.size() / 2));
            throw Exception("Socket error");
        }
        writeFile(ResolvePath(local), it->second);
        recvd_ = static_cast<int32_t>(it->second.size());
    }
    void Disconnect() override { log.push_back("disconnect"); }
    void SetDownloadLimit(int64_t maxBytes) override { limit_ = maxBytes; }
    int64_t Limit() const { return limit_; }
    int32_t BytesTotal() const override { return 0; }
    int32_t BytesRecvd() const override { return recvd_; }
    void SetOnPacketRecvd(TNotifyEvent) override {}

private:
    int64_t limit_ = 0;
    int32_t recvd_ = 0;
};

class VerifiedFtpServiceTest : public ::testing::Test {
public: // the spoilers of the table below reach the helpers
    static void SetUpTestSuite() {
        keys_ = new TTempFolder();
        key_ = new TMinisignKeyPair(MakeMinisignKeyPair(keys_->Path()));
        stranger_ = new TMinisignKeyPair(MakeMinisignKeyPair(keys_->Path(), "stranger"));
        for (const char* name : {"Vendarix.zip", "TabelasTalvir.zip", "Outro.zip"}) {
            writeFile(*keys_ / name, std::string("PK bytes of ") + name);
            MinisignSign(*key_, *keys_ / name);
        }
        const std::string program = *keys_ / "Vendarix.zip";
        MinisignSign(*stranger_, program, false, program + ".stranger");
        MinisignSign(*key_, program, true, program + ".t1000", ReleaseComment(1000, "Vendarix.zip"));
        MinisignSign(*key_, program, false, program + ".t2000", ReleaseComment(2000, "Vendarix.zip"));
        MinisignSign(*key_, program, false, program + ".nofile", "timestamp:1000");
        MinisignSign(*key_, program, false, program + ".notime", "file:Vendarix.zip");
        MinisignSign(*key_, program, false, program + ".badtime", "timestamp:10e3\tfile:Vendarix.zip");
        MinisignSign(*key_, program, false, program + ".caseless", ReleaseComment(1000, "VENDARIX.ZIP"));
    }
    static void TearDownTestSuite() {
        delete stranger_;
        delete key_;
        delete keys_;
    }
    void SetUp() override {
        ftp_ = std::make_unique<ScriptedFtp>();
        serve("Vendarix.zip", "Vendarix.zip.minisig");
        service_ = std::make_unique<TVerifiedFtpService>(*ftp_, *ParseSigningKey(key_->PublicKeyLine), log_);
    }
    // The archive and the signature made beside it in the keys' folder,
    // served as /d/Vendarix.zip and its signature.
    void serve(const std::string& archive, const std::string& signature) {
        ftp_->files["/d/Vendarix.zip"] = readFile(*keys_ / archive);
        ftp_->files["/d/Vendarix.zip.minisig"] = readFile(*keys_ / signature);
    }
    void download() { service_->Download("/d/Vendarix.zip", ".\\Vendarix.zip"); }
    std::string verified() const { return service_->VerifiedFile(".\\Vendarix.zip"); }
    bool exists(const std::string& name) const { return fs::exists(dir_ / name); }
    std::string runLog() const { return readFile(dir_ / RunLog::kFileName); }

    static TTempFolder* keys_;
    static TMinisignKeyPair* key_;
    static TMinisignKeyPair* stranger_;
    TTempFolder dir_{true};
    TFileRunLog log_;
    std::unique_ptr<ScriptedFtp> ftp_;
    std::unique_ptr<TVerifiedFtpService> service_;
};

TTempFolder* VerifiedFtpServiceTest::keys_ = nullptr;
TMinisignKeyPair* VerifiedFtpServiceTest::key_ = nullptr;
TMinisignKeyPair* VerifiedFtpServiceTest::stranger_ = nullptr;

} // namespace

TEST_F(VerifiedFtpServiceTest, ArchiveAndSignatureLandInAPrivateFolderAndGoWithTheService) {
    download();
    const std::string file = verified();
    EXPECT_EQ(ftp_->log, (std::vector<std::string>{"RETR /d/Vendarix.zip > " + file,
                                                   "RETR /d/Vendarix.zip.minisig > " + file +
                                                       ".minisig (at most 16384)"}));
    EXPECT_EQ(ftp_->Limit(), 0) << "the bound holds for the signature only";
    EXPECT_EQ(readFile(file), "PK bytes of Vendarix.zip");
    // Nobody but the updater may enter the folder (POSIX permissions on
    // Linux), and nothing of the download is in the shop's folder.
#ifndef _WIN32
    struct stat st;
    ASSERT_EQ(lstat(fs::path(file).parent_path().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
#else
    EXPECT_TRUE(fs::is_directory(fs::path(file).parent_path()));
#endif
    EXPECT_FALSE(exists("Vendarix.zip"));
    EXPECT_FALSE(exists("Vendarix.zip.minisig"));
    service_->Discard(".\\Vendarix.zip");
    EXPECT_FALSE(fs::exists(file));
    download();
    service_.reset();
    EXPECT_FALSE(fs::exists(fs::path(file).parent_path()));
}

TEST_F(VerifiedFtpServiceTest, EachRefusalHasItsReasonAndLeavesNothing) {
    struct Row {
        const char* what;
        std::function<void(VerifiedFtpServiceTest&)> spoil;
        TRefusal reason;
    };
    const std::vector<Row> rows = {
        {"one byte changed", [](auto& t) { t.ftp_->files["/d/Vendarix.zip"] = "PK bytes of Vendarix.ziq"; },
         TRefusal::Damaged},
        {"another key", [](auto& t) { t.serve("Vendarix.zip", "Vendarix.zip.stranger"); },
         TRefusal::WrongKey},
        {"no signature", [](auto& t) { t.ftp_->files.erase("/d/Vendarix.zip.minisig"); },
         TRefusal::NoSignature},
        {"not a signature", [](auto& t) { t.ftp_->files["/d/Vendarix.zip.minisig"] = "not a signature"; },
         TRefusal::Damaged},
        {"signature that never ends", [](auto& t) { t.ftp_->endless = "/d/Vendarix.zip.minisig"; },
         TRefusal::Damaged},
        {"schema archive with its signature",
         [](auto& t) { t.serve("TabelasTalvir.zip", "TabelasTalvir.zip.minisig"); }, TRefusal::WrongFile},
        {"another product's archive", [](auto& t) { t.serve("Outro.zip", "Outro.zip.minisig"); },
         TRefusal::WrongFile},
        {"name in another letter case", [](auto& t) { t.serve("Vendarix.zip", "Vendarix.zip.caseless"); },
         TRefusal::WrongFile},
        {"no file in the comment", [](auto& t) { t.serve("Vendarix.zip", "Vendarix.zip.nofile"); },
         TRefusal::WrongFile},
        {"no timestamp in the comment", [](auto& t) { t.serve("Vendarix.zip", "Vendarix.zip.notime"); },
         TRefusal::WrongFile},
        {"timestamp not a number", [](auto& t) { t.serve("Vendarix.zip", "Vendarix.zip.badtime"); },
         TRefusal::WrongFile},
        {"older than installed",
         [](auto& t) {
             writeFile(t.dir_ / TReleaseRecord::kFileName, "AtualizarVendarix estado 1\n2000 Vendarix.zip\n");
             t.serve("Vendarix.zip", "Vendarix.zip.t1000");
         },
         TRefusal::Older},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove(dir_ / TReleaseRecord::kFileName);
        fs::remove(dir_ / RunLog::kFileName);
        SetUp();
        row.spoil(*this);
        try {
            download();
            ADD_FAILURE() << "accepted";
        } catch (const ESignatureError& e) {
            EXPECT_EQ(e.Reason(), row.reason) << e.Message();
        }
        EXPECT_FALSE(fs::exists(verified()));
        EXPECT_FALSE(fs::exists(verified() + ".minisig"));
        EXPECT_EQ(ftp_->Limit(), 0);
        const std::string line =
            std::string("signature /d/Vendarix.zip: refused, ") + RefusalText(row.reason);
        EXPECT_NE(runLog().find(line), std::string::npos) << runLog();
        // Nothing is recorded for a refused archive.
        EXPECT_TRUE(service_->RecordAccepted());
        EXPECT_EQ(row.reason == TRefusal::Older, exists(TReleaseRecord::kFileName));
    }
}

TEST_F(VerifiedFtpServiceTest, PartlyReceivedArchiveIsNotKeptAndIsNoRefusal) {
    ftp_->cutOff = "/d/Vendarix.zip";
    try {
        download();
        ADD_FAILURE() << "accepted";
    } catch (const ESignatureError&) {
        ADD_FAILURE() << "an outage told as a refusal";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "Socket error");
    }
    EXPECT_EQ(ftp_->log.size(), 1u); // no signature asked for
    EXPECT_FALSE(fs::exists(verified()));
}

TEST_F(VerifiedFtpServiceTest, ReleasesGoForwardOnlyOnceRecorded) {
    const std::string record = dir_ / TReleaseRecord::kFileName;
    // Nothing recorded: any signed release is taken, and nothing is written
    // until the run says it went in.
    serve("Vendarix.zip", "Vendarix.zip.t2000");
    download();
    EXPECT_FALSE(fs::exists(record));
    ASSERT_TRUE(service_->RecordAccepted());
    EXPECT_EQ(readFile(record), "AtualizarVendarix estado 1\n2000 Vendarix.zip\n");

    // The same release again is taken; an older one is not.
    download();
    serve("Vendarix.zip", "Vendarix.zip.t1000");
    EXPECT_THROW(download(), ESignatureError);

    // A new run reads the record afresh.
    SetUp();
    serve("Vendarix.zip", "Vendarix.zip.t1000");
    EXPECT_THROW(download(), ESignatureError);

    // A damaged record counts as none, and the run log says so.
    for (const char* damaged :
         {"AtualizarVendarix estado 1\n2000 Vendarix.zip", "AtualizarVendarix estado 1\n20x0 Vendarix.zip\n",
          "AtualizarVendarix estado 2\n2000 Vendarix.zip\n", "", "2000 Vendarix.zip\n",
          "AtualizarVendarix estado 1\n2000 Vendarix.zip\n2000 Vendarix.zip\n"}) {
        SCOPED_TRACE(damaged);
        writeFile(record, damaged);
        fs::remove(dir_ / RunLog::kFileName);
        SetUp();
        serve("Vendarix.zip", "Vendarix.zip.t1000");
        EXPECT_NO_THROW(download());
        EXPECT_NE(runLog().find("record AtualizarVendarix.estado: damaged"), std::string::npos);
    }
    // A lost record starts from nothing, without a word.
    fs::remove(record);
    fs::remove(dir_ / RunLog::kFileName);
    SetUp();
    serve("Vendarix.zip", "Vendarix.zip.t1000");
    EXPECT_NO_THROW(download());
    EXPECT_EQ(runLog().find("record"), std::string::npos);
    ASSERT_TRUE(service_->RecordAccepted());
    EXPECT_EQ(readFile(record), "AtualizarVendarix estado 1\n1000 Vendarix.zip\n");
}

TEST(ReleaseStampTest, TrustedCommentsOfTheToolAndOthers) {
    struct Row {
        const char* comment;
        bool ok;
        long long timestamp;
        const char* file;
    };
    const Row rows[] = {
        {"timestamp:1796773664\tfile:Vendarix.zip\thashed", true, 1796773664, "Vendarix.zip"},
        {"timestamp:1796773664\tfile:Vendarix.zip", true, 1796773664, "Vendarix.zip"}, // legacy
        {"file:Vendarix.zip timestamp:5 hashed", true, 5, "Vendarix.zip"},
        {"timestamp:7\tfile:Vendarix Lite.zip\tversion:3.1", true, 7, "Vendarix Lite.zip"},
        {"timestamp:0\tfile:a", true, 0, "a"},
        {"", false, 0, ""},
        {"timestamp:5", false, 0, ""},
        {"file:Vendarix.zip", false, 0, ""},
        {"timestamp:\tfile:Vendarix.zip", false, 0, ""},
        {"timestamp:-5\tfile:Vendarix.zip", false, 0, ""},
        {"timestamp:5x\tfile:Vendarix.zip", false, 0, ""},
        {"timestamp:1234567890123456789\tfile:Vendarix.zip", false, 0, ""},
        {"timestamp:5\tfile:", false, 0, ""},
        {"timestamp:5\tfile:Vendarix.zip\tfile:Outro.zip", false, 0, ""},
        {"timestamp:5\ttimestamp:9\tfile:Vendarix.zip", false, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.comment);
        const std::optional<TReleaseStamp> stamp = ParseReleaseStamp(row.comment);
        ASSERT_EQ(stamp.has_value(), row.ok);
        if (stamp) {
            EXPECT_EQ(stamp->Timestamp, row.timestamp);
            EXPECT_EQ(stamp->File, row.file);
        }
    }
}
