// Archive signatures: keys and signatures made by the minisign tool itself,
// good ones of both formats, and the ways a signature from the network can
// be wrong. Where it matters, the tool's own verdict is the reference.
#include <gtest/gtest.h>

#include <sodium.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "app/SignatureVerifier.h"
#include "app/UpdaterConfig.h"
#include "tests/support/Minisign.h"
#include "tests/support/PortableEnv.h"
#include "tests/support/TempFolder.h"

using namespace vx::app;
using namespace vx::test;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

class SignatureVerifierTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TTempFolder();
        maker_ = new TMinisignKeyPair(MakeMinisignKeyPair(dir_->Path(), "maker"));
        stranger_ = new TMinisignKeyPair(MakeMinisignKeyPair(dir_->Path(), "stranger"));
    }
    static void TearDownTestSuite() {
        delete stranger_;
        delete maker_;
        delete dir_;
    }

    void SetUp() override {
        file_ = *dir_ / "Vendarix.zip";
        std::string data;
        for (int i = 0; i < 200000; ++i)
            data += static_cast<char>((i * 7919) >> 3);
        writeFile(file_, data);
        for (const char* leftover : {"Vendarix.zip.minisig", "other.minisig"})
            std::filesystem::remove(*dir_ / leftover);
    }

    TSignatureVerifier verifier() const {
        return TSignatureVerifier(*ParseSigningKey(maker_->PublicKeyLine));
    }
    TVerifyResult verify(const std::string& sigText) const {
        writeFile(file_ + ".minisig", sigText);
        return verifier().Verify(file_, file_ + ".minisig");
    }
    // minisign's own verdict on the file and a signature text.
    bool toolAccepts(const std::string& sigText) const {
        writeFile(*dir_ / "tool.minisig", sigText);
        return RunMinisign(
                   {"-V", "-q", "-p", maker_->PublicKeyFile, "-m", file_, "-x", *dir_ / "tool.minisig"}) == 0;
    }
    std::string signedText(bool legacy = false) const {
        MinisignSign(*maker_, file_, legacy);
        return readFile(file_ + ".minisig");
    }
    static std::string keyId() { return FromBase64(maker_->PublicKeyLine).substr(2, 8); }

    static TTempFolder* dir_;
    static TMinisignKeyPair* maker_;
    static TMinisignKeyPair* stranger_;
    std::string file_;
};

TTempFolder* SignatureVerifierTest::dir_ = nullptr;
TMinisignKeyPair* SignatureVerifierTest::maker_ = nullptr;
TMinisignKeyPair* SignatureVerifierTest::stranger_ = nullptr;

} // namespace

TEST_F(SignatureVerifierTest, KeyIsTheBase64LineOrTheWholePublicKeyFile) {
    const std::string line = maker_->PublicKeyLine;
    const std::optional<TSigningKey> key = ParseSigningKey(line);
    ASSERT_TRUE(key);
    EXPECT_EQ(std::string(key->KeyId.begin(), key->KeyId.end()), keyId());
    EXPECT_TRUE(ParseSigningKey("  " + line + "\r\n"));
    const std::optional<TSigningKey> fromFile = ParseSigningKey(readFile(maker_->PublicKeyFile));
    ASSERT_TRUE(fromFile);
    EXPECT_EQ(fromFile->PublicKey, key->PublicKey);

    const std::string raw = FromBase64(line);
    for (const std::string& bad :
         {std::string(), std::string("   \n"), line.substr(0, line.size() - 4), line + "AAAA", "x" + line,
          line.substr(0, 20) + " " + line.substr(20), Base64("ED" + raw.substr(2)),
          Base64(raw + std::string(1, '\0')), std::string("RWQ=\n"), line + "\n" + stranger_->PublicKeyLine})
        EXPECT_FALSE(ParseSigningKey(bad)) << bad;
}

TEST_F(SignatureVerifierTest, SignaturesOfBothFormatsVerify) {
    EXPECT_EQ(verify(signedText(false)), TVerifyResult::Valid);
    EXPECT_EQ(verify(signedText(true)), TVerifyResult::Valid);
    // Written on Windows, the lines end in CR LF.
    std::string crlf;
    for (char c : signedText())
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(verify(crlf), TVerifyResult::Valid);
    // An empty archive is signed like any other.
    writeFile(file_, "");
    EXPECT_EQ(verify(signedText(false)), TVerifyResult::Valid);
    EXPECT_EQ(verify(signedText(true)), TVerifyResult::Valid);
}

TEST_F(SignatureVerifierTest, OneChangedByteIsRefusedInEitherFormat) {
    for (bool legacy : {false, true}) {
        const std::string sig = signedText(legacy);
        std::string data = readFile(file_);
        data[data.size() / 2] ^= 0x01;
        writeFile(file_, data);
        EXPECT_EQ(verify(sig), TVerifyResult::BadSignature) << legacy;
        data += "x";
        writeFile(file_, data);
        EXPECT_EQ(verify(sig), TVerifyResult::BadSignature) << legacy;
    }
}

TEST_F(SignatureVerifierTest, AnotherKeyOrAnotherFileIsRefused) {
    MinisignSign(*stranger_, file_);
    EXPECT_EQ(verifier().Verify(file_, file_ + ".minisig"), TVerifyResult::OtherKey);

    // The maker's signature of another archive.
    const std::string other = *dir_ / "TabelasTalvir.zip";
    writeFile(other, "schema archive");
    MinisignSign(*maker_, other, false, *dir_ / "other.minisig");
    EXPECT_EQ(verifier().Verify(file_, *dir_ / "other.minisig"), TVerifyResult::BadSignature);

    // The stranger's signature relabelled with the maker's key id fails on
    // the signature, not the label.
    MinisignSign(*stranger_, file_);
    std::string text = readFile(file_ + ".minisig");
    std::vector<std::string> lines;
    for (size_t p = 0, n; (n = text.find('\n', p)) != std::string::npos; p = n + 1)
        lines.push_back(text.substr(p, n - p));
    std::string raw = FromBase64(lines[1]);
    raw.replace(2, 8, keyId());
    EXPECT_EQ(verify(lines[0] + "\n" + Base64(raw) + "\n" + lines[2] + "\n" + lines[3] + "\n"),
              TVerifyResult::BadComment);
}

TEST_F(SignatureVerifierTest, ChangedTrustedCommentIsRefused) {
    std::string sig = signedText();
    const size_t at = sig.find("trusted comment: ", sig.find('\n'));
    sig.insert(at + 17, "x");
    EXPECT_EQ(verify(sig), TVerifyResult::BadComment);
    if (kMinisignToolHere) {
        EXPECT_FALSE(toolAccepts(sig));
    }
}

TEST_F(SignatureVerifierTest, EmptyCommentTextsVerifyButCommentLinesMustBeThere) {
    const std::string data = readFile(file_);
    unsigned char hash[64];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                       nullptr, 0);
    const std::string sk = MinisignSecretKey(*maker_);
    const std::string hashed(reinterpret_cast<const char*>(hash), sizeof hash);
    const std::string empty = MinisignSignatureFile(sk, "ED", keyId(), hashed, "", "");
    EXPECT_EQ(verify(empty), TVerifyResult::Valid);
    if (kMinisignToolHere) {
        EXPECT_TRUE(toolAccepts(empty));
    }
    EXPECT_EQ(verify(MinisignSignatureFile(sk, "Ed", keyId(), data, "", "")), TVerifyResult::Valid);

    // Blank lines where the comments go: not a signature file, for the tool
    // as well.
    std::string blank = empty;
    blank.replace(0, blank.find('\n'), "");
    const size_t third = blank.find("trusted comment: ");
    blank.erase(third, 17);
    EXPECT_EQ(verify(blank), TVerifyResult::Malformed);
    if (kMinisignToolHere) {
        EXPECT_FALSE(toolAccepts(blank));
    }
    // Either one alone.
    EXPECT_EQ(verify(empty.substr(empty.find('\n'))), TVerifyResult::Malformed);
    std::string noTrusted = empty;
    noTrusted.erase(noTrusted.find("trusted comment: ", 20), 17);
    EXPECT_EQ(verify(noTrusted), TVerifyResult::Malformed);
}

TEST_F(SignatureVerifierTest, MalformedSignatureFilesAreRefused) {
    const std::string good = signedText();
    const size_t end = good.size() - 1; // without its last line end
    // Every truncation of a good file.
    for (size_t n = 0; n < end; ++n)
        EXPECT_FALSE(ParseDetachedSignature(good.substr(0, n))) << n;
    EXPECT_TRUE(ParseDetachedSignature(good.substr(0, end)));

    const std::string sk = MinisignSecretKey(*maker_);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"empty", ""},
        {"garbage", std::string(300, '\x9c')},
        {"zero bytes", std::string(500, '\0')},
        {"a public key", readFile(maker_->PublicKeyFile)},
        {"unknown algorithm", MinisignSignatureFile(sk, "XX", keyId(), "", "c", "t")},
        {"short key id", MinisignSignatureFile(sk, "ED", keyId().substr(1), "", "c", "t")},
        {"blank in base64", good.substr(0, good.find('\n') + 10) + " " + good.substr(good.find('\n') + 10)},
        {"byte above 127 in base64", good.substr(0, 60) + "\xd7" + good.substr(61)},
    };
    for (const auto& [name, text] : cases) {
        EXPECT_EQ(verify(text), TVerifyResult::Malformed) << name;
        if (kMinisignToolHere) {
            EXPECT_FALSE(toolAccepts(text)) << name;
        }
    }
    // The tool reads four lines and ignores the rest; the updater takes a
    // signature file only as the tool writes it.
    EXPECT_EQ(verify(good + "untrusted comment: more\n"), TVerifyResult::Malformed);
    EXPECT_EQ(verify(good + std::string(TSignatureVerifier::kMaxSignatureFileSize, '\n')),
              TVerifyResult::Malformed);
}

TEST_F(SignatureVerifierTest, MissingFilesAreUnreadable) {
    const TSignatureVerifier v = verifier();
    EXPECT_EQ(v.Verify(file_, file_ + ".minisig"), TVerifyResult::Unreadable);
    signedText();
    EXPECT_EQ(v.Verify(*dir_ / "absent.zip", file_ + ".minisig"), TVerifyResult::Unreadable);
    // A folder where the signature should be.
    std::filesystem::remove(file_ + ".minisig");
    std::filesystem::create_directory(file_ + ".minisig");
    EXPECT_EQ(v.Verify(file_, file_ + ".minisig"), TVerifyResult::Unreadable);
    std::filesystem::remove(file_ + ".minisig");
}

TEST_F(SignatureVerifierTest, RandomDamageAgreesWithTheTool) {
    // Single-byte changes anywhere in a good signature file: whatever the
    // tool decides, the updater decides the same.
    const std::string good = signedText();
    std::mt19937 rng(17);
    for (int i = 0; i < 60; ++i) {
        std::string sig = good;
        const size_t at = rng() % sig.size();
        sig[at] = static_cast<char>(rng() % 256);
        if (kMinisignToolHere) {
            EXPECT_EQ(verify(sig) == TVerifyResult::Valid, toolAccepts(sig))
                << "byte " << at << " now " << int(static_cast<unsigned char>(sig[at]));
        }
    }
}

TEST_F(SignatureVerifierTest, KeySettingComesFromTheEnvironmentAndABadOneIsReported) {
    unsetenv("UPDATER_SIGNING_KEY");
    EXPECT_EQ(SigningKeyText(), CompiledSigningKeyText());
    setenv("UPDATER_SIGNING_KEY", maker_->PublicKeyLine.c_str(), 1);
    EXPECT_EQ(SigningKeyText(), maker_->PublicKeyLine);
    unsetenv("UPDATER_SIGNING_KEY");

    EXPECT_FALSE(SigningKeyFromText(""));
    EXPECT_FALSE(SigningKeyFromText(" \n"));
    EXPECT_TRUE(SigningKeyFromText(maker_->PublicKeyLine));
    // Verification must not be off because of a typing error.
    try {
        SigningKeyFromText(maker_->PublicKeyLine.substr(1));
        ADD_FAILURE() << "accepted";
    } catch (const EConvertError& e) {
        EXPECT_NE(e.Message().find("UPDATER_SIGNING_KEY"), std::string::npos) << e.Message();
    }
}
