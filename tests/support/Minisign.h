// Keys and signatures made by the minisign tool, for tests of archive
// verification: a key pair without a password in a folder, and detached
// signatures of files in either of the tool's two formats.
#pragma once

#include <string>
#include <vector>

namespace vx::test {

// Whether the minisign tool can be run to check a signature (not from the
// Windows build, where keys and signatures are made with libsodium).
#ifdef _WIN32
constexpr bool kMinisignToolHere = false;
#else
constexpr bool kMinisignToolHere = true;
#endif

struct TMinisignKeyPair {
    std::string PublicKeyFile;
    std::string SecretKeyFile;
    std::string PublicKeyLine; // the base64 line, as built into the updater
};

// Runs minisign with the arguments; returns its exit status (-1 when it
// could not run, always on Windows).
int RunMinisign(const std::vector<std::string>& args, std::string* output = nullptr);

// A new key pair "<name>.pub" and "<name>.key" in `dir`; throws when the
// tool fails.
TMinisignKeyPair MakeMinisignKeyPair(const std::string& dir, const std::string& name = "maker");

// Signs `file` into `sigFile` (the tool's default "<file>.minisig" when
// empty); legacy signs the file itself instead of its hash. The trusted
// comment is the tool's own ("timestamp:<now>\tfile:<name>...") unless one
// is given. Throws when the tool fails.
void MinisignSign(const TMinisignKeyPair& key, const std::string& file, bool legacy = false,
                  const std::string& sigFile = "", const std::string& trustedComment = "");
// The trusted comment the tool writes, for a chosen time and name.
inline std::string ReleaseComment(long long timestamp, const std::string& file) {
    return "timestamp:" + std::to_string(timestamp) + "\tfile:" + file + "\thashed";
}

// The 64-byte Ed25519 secret key held in a key file made without a
// password, so that a test can sign what the tool will not (an empty
// trusted comment, a wrong algorithm).
std::string MinisignSecretKey(const TMinisignKeyPair& key);

// A signature file's lines put together from raw parts: the algorithm and
// key id bytes, the 64-byte signature, the trusted comment and the global
// signature over signature || comment, each made with `secretKey`.
std::string MinisignSignatureFile(const std::string& secretKey, const std::string& algorithm,
                                  const std::string& keyId, const std::string& signedBytes,
                                  const std::string& untrustedComment, const std::string& trustedComment);

std::string Base64(const std::string& bytes);
std::string FromBase64(const std::string& text);

} // namespace vx::test
