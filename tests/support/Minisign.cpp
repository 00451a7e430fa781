#include "tests/support/Minisign.h"

#include <sodium.h>

#ifndef _WIN32
#include <QProcess>
#include <QStringList>
#endif
#include <ctime>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace vx::test {

namespace {

std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The second line of a key file: its base64 payload.
std::string payloadLine(const std::string& path) {
    std::string text = readText(path);
    size_t a = text.find('\n');
    if (a == std::string::npos)
        throw std::runtime_error("no key line in " + path);
    size_t b = text.find('\n', a + 1);
    return text.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
}

} // namespace

#ifdef _WIN32
// The tool is a Linux program, which a Windows program under Wine cannot
// wait on: keys and signatures are made here with libsodium in the tool's
// formats (the Linux build makes them with the tool and checks them there).

int RunMinisign(const std::vector<std::string>&, std::string* output) {
    if (output)
        *output = "the minisign tool is not available on Windows";
    return -1;
}

TMinisignKeyPair MakeMinisignKeyPair(const std::string& dir, const std::string& name) {
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium did not start");
    unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_keypair(pk, sk);
    std::string id(8, '\0');
    randombytes_buf(id.data(), id.size());
    const std::string secret(reinterpret_cast<char*>(sk), sizeof sk);
    // Secret key: algorithm, no KDF, BLAKE2b checksum, then salt, ops and
    // memory limits (unused without a password), key id, key, and the
    // checksum of algorithm || key id || key.
    const std::string keyed = "Ed" + id + secret;
    std::string checksum(32, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(checksum.data()), checksum.size(),
                       reinterpret_cast<const unsigned char*>(keyed.data()), keyed.size(), nullptr, 0);
    const std::string secretRaw =
        std::string("Ed\0\0B2", 6) + std::string(32 + 8 + 8, '\0') + id + secret + checksum;
    TMinisignKeyPair k;
    k.PublicKeyFile = dir + "/" + name + ".pub";
    k.SecretKeyFile = dir + "/" + name + ".key";
    k.PublicKeyLine = Base64("Ed" + id + std::string(reinterpret_cast<char*>(pk), sizeof pk));
    std::ofstream(k.PublicKeyFile, std::ios::binary) << "untrusted comment: minisign public key\n"
                                                     << k.PublicKeyLine << "\n";
    std::ofstream(k.SecretKeyFile, std::ios::binary) << "untrusted comment: minisign encrypted secret key\n"
                                                     << Base64(secretRaw) << "\n";
    return k;
}

void MinisignSign(const TMinisignKeyPair& key, const std::string& file, bool legacy,
                  const std::string& sigFile, const std::string& trustedComment) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file);
    const std::string data(std::istreambuf_iterator<char>(in), {});
    // Hashed signatures sign the file's BLAKE2b-512; legacy ones the file.
    std::string signedBytes = data;
    if (!legacy) {
        signedBytes.assign(crypto_generichash_BYTES_MAX, '\0');
        crypto_generichash(reinterpret_cast<unsigned char*>(signedBytes.data()), signedBytes.size(),
                           reinterpret_cast<const unsigned char*>(data.data()), data.size(), nullptr, 0);
    }
    const size_t slash = file.find_last_of("/\\");
    const std::string comment =
        !trustedComment.empty() ? trustedComment
                                : "timestamp:" + std::to_string(static_cast<long long>(std::time(nullptr))) +
                                      "\tfile:" + file.substr(slash == std::string::npos ? 0 : slash + 1) +
                                      (legacy ? "" : "\thashed");
    const std::string keyId = FromBase64(key.PublicKeyLine).substr(2, 8);
    std::ofstream(sigFile.empty() ? file + ".minisig" : sigFile, std::ios::binary)
        << MinisignSignatureFile(MinisignSecretKey(key), legacy ? "Ed" : "ED", keyId, signedBytes,
                                 "signature from minisign secret key", comment);
}
#else
int RunMinisign(const std::vector<std::string>& args, std::string* output) {
    QProcess p;
    QStringList a;
    for (const auto& s : args)
        a << QString::fromStdString(s);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start("minisign", a);
    // No password is ever asked for (-W); the tool must not wait for input.
    p.closeWriteChannel();
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (output)
        *output = p.readAll().toStdString();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

TMinisignKeyPair MakeMinisignKeyPair(const std::string& dir, const std::string& name) {
    TMinisignKeyPair k;
    k.PublicKeyFile = dir + "/" + name + ".pub";
    k.SecretKeyFile = dir + "/" + name + ".key";
    std::string out;
    if (RunMinisign({"-G", "-f", "-W", "-p", k.PublicKeyFile, "-s", k.SecretKeyFile}, &out) != 0)
        throw std::runtime_error("minisign -G failed: " + out);
    k.PublicKeyLine = payloadLine(k.PublicKeyFile);
    return k;
}

void MinisignSign(const TMinisignKeyPair& key, const std::string& file, bool legacy,
                  const std::string& sigFile, const std::string& trustedComment) {
    std::vector<std::string> args = {"-S", "-s", key.SecretKeyFile, "-m", file};
    if (!trustedComment.empty()) {
        args.push_back("-t");
        args.push_back(trustedComment);
    }
    if (legacy)
        args.push_back("-l");
    if (!sigFile.empty()) {
        args.push_back("-x");
        args.push_back(sigFile);
    }
    std::string out;
    if (RunMinisign(args, &out) != 0)
        throw std::runtime_error("minisign -S failed: " + out);
}
#endif

std::string Base64(const std::string& bytes) {
    std::string out(sodium_base64_encoded_len(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                      bytes.size(), sodium_base64_VARIANT_ORIGINAL);
    out.resize(out.size() - 1); // the terminating zero
    return out;
}

std::string FromBase64(const std::string& text) {
    std::string out(text.size(), '\0');
    size_t n = 0;
    if (sodium_base642bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), text.data(), text.size(),
                          nullptr, &n, nullptr, sodium_base64_VARIANT_ORIGINAL) != 0)
        throw std::runtime_error("bad base64");
    out.resize(n);
    return out;
}

std::string MinisignSecretKey(const TMinisignKeyPair& key) {
    // Algorithm, KDF algorithm (zero: no password), checksum algorithm, salt
    // (32), ops limit (8), memory limit (8), then key id (8) and the key (64).
    const std::string raw = FromBase64(payloadLine(key.SecretKeyFile));
    if (raw.size() < 62 + 64 || raw.compare(2, 2, std::string(2, '\0')) != 0)
        throw std::runtime_error("secret key is not an unencrypted minisign key");
    return raw.substr(62, 64);
}

std::string MinisignSignatureFile(const std::string& secretKey, const std::string& algorithm,
                                  const std::string& keyId, const std::string& signedBytes,
                                  const std::string& untrustedComment, const std::string& trustedComment) {
    if (sodium_init() < 0 || secretKey.size() != crypto_sign_SECRETKEYBYTES)
        throw std::runtime_error("cannot sign");
    const auto* sk = reinterpret_cast<const unsigned char*>(secretKey.data());
    std::string sig(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(sig.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(signedBytes.data()), signedBytes.size(), sk);
    const std::string global = sig + trustedComment;
    std::string globalSig(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(globalSig.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(global.data()), global.size(), sk);
    return "untrusted comment: " + untrustedComment + "\n" + Base64(algorithm + keyId + sig) +
           "\ntrusted comment: " + trustedComment + "\n" + Base64(globalSig) + "\n";
}

} // namespace vx::test
