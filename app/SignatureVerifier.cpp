#include "app/SignatureVerifier.h"

#include <sodium.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/MappedFile.h"
#include "platform/ReadOnlyFile.h"

namespace vx::app {

using namespace vx::platform;

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr std::string_view kKeyAlgorithm = "Ed";
constexpr std::string_view kHashedAlgorithm = "ED";
constexpr std::string_view kLegacyAlgorithm = "Ed";

constexpr size_t kAlgorithmSize = 2;
constexpr size_t kKeyIdSize = 8;
constexpr size_t kKeyLineBytes = kAlgorithmSize + kKeyIdSize + crypto_sign_PUBLICKEYBYTES;
constexpr size_t kSignatureLineBytes = kAlgorithmSize + kKeyIdSize + crypto_sign_BYTES;
constexpr size_t kHashSize = crypto_generichash_BYTES_MAX; // BLAKE2b-512

// Large blocks keep the number of reads small; the hash, not the disk, is
// what bounds the time on a cached file.
constexpr size_t kReadBlock = 1 << 20;

static_assert(crypto_sign_PUBLICKEYBYTES == 32 && crypto_sign_BYTES == 64 && kHashSize == 64);

bool sodiumReady() {
    // Picks the fastest implementation of each primitive for this processor;
    // safe to call more than once.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool isBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/' || c == '=';
}

// Exactly `size` bytes from one base64 text, or false.
bool decodeBase64(std::string_view text, uint8_t* out, size_t size) {
    if (text.empty())
        return false;
    // The decoder takes bytes above 127 for letters of the alphabet, so a
    // damaged line could decode as an intact one: the alphabet is checked
    // here first.
    for (char c : text)
        if (!isBase64Char(c))
            return false;
    size_t got = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &got, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return got == size && end == text.data() + text.size();
}

std::string_view trimBlanks(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Splits off the next line (without its LF and a CR in front of it).
std::string_view nextLine(std::string_view& rest) {
    size_t nl = rest.find('\n');
    std::string_view line = rest.substr(0, nl);
    rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

bool hashFile(TReadOnlyFile& file, uint8_t (&hash)[kHashSize]) {
    crypto_generichash_state state;
    if (crypto_generichash_init(&state, nullptr, 0, kHashSize) != 0)
        return false;
    file.AdviseSequential();
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kReadBlock]);
    for (;;) {
        const int64_t n = file.Read(buf.get(), kReadBlock);
        if (n < 0)
            return false;
        if (n > 0)
            crypto_generichash_update(&state, buf.get(), static_cast<unsigned long long>(n));
        if (static_cast<size_t>(n) < kReadBlock)
            break;
    }
    return crypto_generichash_final(&state, hash, kHashSize) == 0;
}

// The legacy signature covers the file itself, which Ed25519 needs as one
// message: the file is mapped rather than read, so a large archive costs
// address space, not memory.
TVerifyResult verifyWhole(const TReadOnlyFile& file, const TDetachedSignature& sig, const uint8_t* key) {
    const TMappedFile map(file, TMappedFile::TUse::Sequential);
    if (!map.IsValid())
        return TVerifyResult::Unreadable;
    return crypto_sign_verify_detached(sig.Signature.data(), map.Data(), map.Size(), key) == 0
               ? TVerifyResult::Valid
               : TVerifyResult::BadSignature;
}

} // namespace

std::optional<TSigningKey> ParseSigningKey(std::string_view text) {
    // A whole public key file: the key is the line that is not its comment.
    std::string_view rest = text;
    std::string_view line;
    while (!rest.empty()) {
        const std::string_view l = trimBlanks(nextLine(rest));
        if (l.empty() || l.substr(0, kUntrustedPrefix.size()) == kUntrustedPrefix)
            continue;
        if (!line.empty())
            return std::nullopt; // two candidates: not a key file
        line = l;
    }
    uint8_t raw[kKeyLineBytes];
    if (!decodeBase64(line, raw, sizeof raw))
        return std::nullopt;
    if (std::string_view(reinterpret_cast<const char*>(raw), kAlgorithmSize) != kKeyAlgorithm)
        return std::nullopt;
    TSigningKey key;
    std::memcpy(key.KeyId.data(), raw + kAlgorithmSize, kKeyIdSize);
    std::memcpy(key.PublicKey.data(), raw + kAlgorithmSize + kKeyIdSize, key.PublicKey.size());
    return key;
}

std::optional<TDetachedSignature> ParseDetachedSignature(std::string_view text) {
    if (text.size() > TSignatureVerifier::kMaxSignatureFileSize)
        return std::nullopt;
    std::string_view rest = text;
    const std::string_view untrusted = nextLine(rest);
    const std::string_view sigLine = nextLine(rest);
    const std::string_view trusted = nextLine(rest);
    const std::string_view globalLine = nextLine(rest);
    // Nothing may follow but line ends.
    if (trimBlanks(rest).size() != 0)
        return std::nullopt;
    if (untrusted.substr(0, kUntrustedPrefix.size()) != kUntrustedPrefix ||
        trusted.substr(0, kTrustedPrefix.size()) != kTrustedPrefix)
        return std::nullopt;

    uint8_t raw[kSignatureLineBytes];
    if (!decodeBase64(sigLine, raw, sizeof raw))
        return std::nullopt;
    TDetachedSignature sig;
    const std::string_view algorithm(reinterpret_cast<const char*>(raw), kAlgorithmSize);
    if (algorithm == kHashedAlgorithm)
        sig.Kind = TSignatureKind::Hashed;
    else if (algorithm == kLegacyAlgorithm)
        sig.Kind = TSignatureKind::Legacy;
    else
        return std::nullopt;
    std::memcpy(sig.KeyId.data(), raw + kAlgorithmSize, kKeyIdSize);
    std::memcpy(sig.Signature.data(), raw + kAlgorithmSize + kKeyIdSize, sig.Signature.size());
    sig.TrustedComment = std::string(trusted.substr(kTrustedPrefix.size()));
    if (!decodeBase64(globalLine, sig.GlobalSignature.data(), sig.GlobalSignature.size()))
        return std::nullopt;
    return sig;
}

const char* VerifyResultText(TVerifyResult r) {
    switch (r) {
    case TVerifyResult::Valid:
        return "valid";
    case TVerifyResult::Unreadable:
        return "file or signature cannot be read";
    case TVerifyResult::Malformed:
        return "not a signature";
    case TVerifyResult::OtherKey:
        return "signed with another key";
    case TVerifyResult::BadSignature:
        return "signature does not match the file";
    case TVerifyResult::BadComment:
        return "trusted comment does not match its signature";
    }
    return "?";
}

std::optional<TReleaseStamp> ParseReleaseStamp(std::string_view comment) {
    // A file name may hold blanks ("Vendarix Lite.zip"): blanks separate
    // fields only in a comment written without tabs.
    const char separator = comment.find('\t') != std::string_view::npos ? '\t' : ' ';
    constexpr std::string_view kTimestamp = "timestamp:";
    constexpr std::string_view kFile = "file:";
    // Seconds since 1970 fit in 18 digits for the next thirty billion years.
    constexpr size_t kMaxDigits = 18;
    std::optional<int64_t> timestamp;
    std::optional<std::string> file;
    std::string_view rest = comment;
    while (!rest.empty()) {
        const size_t end = rest.find(separator);
        const std::string_view field = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (field.substr(0, kTimestamp.size()) == kTimestamp) {
            const std::string_view digits = field.substr(kTimestamp.size());
            if (timestamp || digits.empty() || digits.size() > kMaxDigits)
                return std::nullopt;
            int64_t value = 0;
            for (char c : digits) {
                if (c < '0' || c > '9')
                    return std::nullopt;
                value = value * 10 + (c - '0');
            }
            timestamp = value;
        } else if (field.substr(0, kFile.size()) == kFile) {
            if (file)
                return std::nullopt;
            file = std::string(field.substr(kFile.size()));
        }
    }
    if (!timestamp || !file || file->empty())
        return std::nullopt;
    return TReleaseStamp{*timestamp, *file};
}

TSignatureVerifier::TSignatureVerifier(const TSigningKey& key) : key_(key) {}

TVerifyResult TSignatureVerifier::Verify(const std::string& file, const std::string& signatureFile) const {
    TReadOnlyFile sigFile(signatureFile);
    const int64_t sigSize = sigFile.RegularSize();
    if (sigSize < 0)
        return TVerifyResult::Unreadable;
    if (static_cast<uint64_t>(sigSize) > kMaxSignatureFileSize)
        return TVerifyResult::Malformed;
    std::string text(static_cast<size_t>(sigSize) + 1, '\0');
    // One byte more than the size, so that a file that grew is noticed.
    const int64_t n = sigFile.Read(text.data(), text.size());
    if (n < 0)
        return TVerifyResult::Unreadable;
    text.resize(static_cast<size_t>(n));
    const std::optional<TDetachedSignature> sig = ParseDetachedSignature(text);
    if (!sig)
        return TVerifyResult::Malformed;
    return Verify(file, *sig);
}

TVerifyResult TSignatureVerifier::Verify(const std::string& file, const TDetachedSignature& sig) const {
    if (!sodiumReady())
        return TVerifyResult::Unreadable;
    if (sig.KeyId != key_.KeyId)
        return TVerifyResult::OtherKey;
    const uint8_t* key = key_.PublicKey.data();

    // The cheap check first: the global signature binds the trusted comment
    // to the file's signature, and a failure spares reading the file.
    std::vector<uint8_t> global(sig.Signature.begin(), sig.Signature.end());
    global.insert(global.end(), sig.TrustedComment.begin(), sig.TrustedComment.end());
    if (crypto_sign_verify_detached(sig.GlobalSignature.data(), global.data(), global.size(), key) != 0)
        return TVerifyResult::BadComment;

    TReadOnlyFile archive(file);
    if (archive.RegularSize() < 0)
        return TVerifyResult::Unreadable;
    if (sig.Kind == TSignatureKind::Legacy)
        return verifyWhole(archive, sig, key);
    uint8_t hash[kHashSize];
    if (!hashFile(archive, hash))
        return TVerifyResult::Unreadable;
    return crypto_sign_verify_detached(sig.Signature.data(), hash, sizeof hash, key) == 0
               ? TVerifyResult::Valid
               : TVerifyResult::BadSignature;
}

} // namespace vx::app
