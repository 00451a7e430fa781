// Signature files and public keys as they come from the network or a
// deployment: any bytes must parse or be refused, never crash; a parsed
// signature goes on through the whole verification.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/SignatureVerifier.h"

using namespace vx::app;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)ParseSigningKey(text);
    const std::optional<TDetachedSignature> sig = ParseDetachedSignature(text);
    if (!sig)
        return 0;
    if (sig->TrustedComment.size() >= size)
        std::abort();
    static const std::string file = [] {
        std::string path = "/tmp/vx-fuzz-signature-" + std::to_string(getpid()) + ".zip";
        if (FILE* f = std::fopen(path.c_str(), "wb")) {
            std::fputs("PK\x05\x06", f);
            std::fclose(f);
        }
        return path;
    }();
    // A key with the signature's own id, so that the checks past the id run.
    TSigningKey key;
    key.KeyId = sig->KeyId;
    for (size_t i = 0; i < key.PublicKey.size(); ++i)
        key.PublicKey[i] = static_cast<uint8_t>(i * 37 + size);
    if (TSignatureVerifier(key).Verify(file, *sig) == TVerifyResult::Valid)
        std::abort(); // nobody holds the secret half of that key
    return 0;
}
