// Detached signatures of the maker's archives, in the format of the minisign
// tool: the maker signs each release with the secret key, and the updater
// checks every archive against the public key built into it before anything
// of the archive is opened.
//
// Public key: one base64 line of 42 bytes, the algorithm "Ed", an 8-byte key
// id and the 32-byte Ed25519 key.
// Signature file, four lines:
//   untrusted comment: <text>
//   base64 of 74 bytes: algorithm ("ED": Ed25519 over the BLAKE2b-512 hash of
//     the file; "Ed": legacy, over the file itself), key id, signature
//   trusted comment: <text>
//   base64 of the 64-byte global signature over signature || trusted text
//
// Signature files come from the network: every length is checked, and a file
// that does not parse is a failed verification, never a crash.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vx::app {

struct TSigningKey {
    std::array<uint8_t, 8> KeyId{};
    std::array<uint8_t, 32> PublicKey{};
};

enum class TSignatureKind { Hashed, Legacy };

struct TDetachedSignature {
    TSignatureKind Kind = TSignatureKind::Hashed;
    std::array<uint8_t, 8> KeyId{};
    std::array<uint8_t, 64> Signature{};
    std::string TrustedComment;
    std::array<uint8_t, 64> GlobalSignature{};
};

// The key from the base64 line of a public key file. The whole file is taken
// as well (its comment line is skipped), and blanks around the line are
// ignored. Anything else gives no key.
std::optional<TSigningKey> ParseSigningKey(std::string_view text);
// The signature from the text of a signature file; lines may end in LF or
// CR LF. Anything that is not exactly the format gives no signature.
std::optional<TDetachedSignature> ParseDetachedSignature(std::string_view text);

enum class TVerifyResult {
    Valid,
    Unreadable,   // the file or its signature file cannot be read
    Malformed,    // the signature file is not a signature
    OtherKey,     // made with another key
    BadSignature, // the file's bytes do not match
    BadComment,   // the trusted comment was changed
};

const char* VerifyResultText(TVerifyResult r);

// What the maker's tool writes into the trusted comment, and so what the
// global signature binds to the archive: when it was signed and under which
// file name. "timestamp:<seconds>", "file:<name>" and, for hashed
// signatures, "hashed", separated by tabs (the tool's way) or, in a comment
// without a tab, by blanks; other fields are ignored.
struct TReleaseStamp {
    int64_t Timestamp = 0;
    std::string File;
};

// Nothing when either field is missing, given twice, or the timestamp is not
// a plain decimal number of seconds.
std::optional<TReleaseStamp> ParseReleaseStamp(std::string_view trustedComment);

class TSignatureVerifier {
public:
    explicit TSignatureVerifier(const TSigningKey& key);

    // Both are Linux paths. Neither file is changed.
    TVerifyResult Verify(const std::string& file, const std::string& signatureFile) const;
    // The file against a parsed signature.
    TVerifyResult Verify(const std::string& file, const TDetachedSignature& sig) const;

    // Signature files are a few hundred bytes; a larger one is refused
    // without being read.
    static constexpr size_t kMaxSignatureFileSize = 16384;

private:
    TSigningKey key_;
};

} // namespace vx::app
