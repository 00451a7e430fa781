#include "platform/Text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace vx::platform {

namespace {

// Converts with iconv; an input sequence the target lacks (or an invalid
// one) becomes `bad` and the input moves on by `skip(...)` bytes.
std::string convert(const char* to, const char* from, std::string_view in, char bad, bool utf8Input) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::string(in);
    std::string out;
    out.resize(in.size() * 4 + 16);
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    while (srcLeft > 0) {
        size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        if (r != static_cast<size_t>(-1))
            break;
        if (errno == E2BIG) {
            size_t used = out.size() - dstLeft;
            out.resize(out.size() * 2);
            dst = out.data() + used;
            dstLeft = out.size() - used;
            continue;
        }
        // EILSEQ or EINVAL: one character the target lacks.
        // A UTF-8 character is skipped whole, but only as far as its
        // continuation bytes go: a stray Latin-1 byte in UTF-8 text must not
        // take the characters after it along.
        size_t skip = 1;
        if (utf8Input) {
            unsigned char c = static_cast<unsigned char>(*src);
            const size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
            while (skip < len && skip < srcLeft && (static_cast<unsigned char>(src[skip]) & 0xC0) == 0x80)
                ++skip;
        }
        src += skip;
        srcLeft -= skip;
        if (dstLeft == 0) {
            size_t used = out.size();
            out.resize(out.size() * 2);
            dst = out.data() + used;
            dstLeft = out.size() - used;
        }
        *dst++ = bad;
        --dstLeft;
    }
    out.resize(out.size() - dstLeft);
    iconv_close(cd);
    return out;
}

bool allAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

std::string oemCodePage() {
    const char* cp = std::getenv("UPDATER_OEMCP");
    if (cp && *cp) {
        std::string s(cp);
        bool digits = s.find_first_not_of("0123456789") == std::string::npos;
        return digits ? "CP" + s : s;
    }
    return "CP850";
}

} // namespace

std::string Utf8ToAnsi(std::string_view utf8) {
    if (allAscii(utf8))
        return std::string(utf8);
    return convert("CP1252", "UTF-8", utf8, '?', true);
}

std::string AnsiToUtf8(std::string_view ansi) {
    if (allAscii(ansi))
        return std::string(ansi);
    // CP1252 leaves five bytes undefined (0x81 0x8D 0x8F 0x90 0x9D); they
    // come out as '?' rather than being dropped.
    return convert("UTF-8", "CP1252", ansi, '?', false);
}

std::string OemToAnsi(std::string_view oem) {
    if (allAscii(oem))
        return std::string(oem);
    static std::string from = oemCodePage();
    return convert("CP1252//TRANSLIT", from.c_str(), oem, '_', false);
}

std::string AnsiToOem(std::string_view ansi) {
    if (allAscii(ansi))
        return std::string(ansi);
    static std::string to = oemCodePage() + "//TRANSLIT";
    return convert(to.c_str(), "CP1252", ansi, '_', false);
}

} // namespace vx::platform
