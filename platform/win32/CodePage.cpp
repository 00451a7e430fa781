// The system's own tables of numbered code pages. HP Roman-8 is not among
// them, and no table of this program's stands in for it: a table in that
// code page cannot be read here, and says so (CanRead), rather than being
// read with the wrong letters.
#include "platform/CodePage.h"

#include "platform/win32/Win.h"

namespace vx::platform {

struct TCodePage::TState {
    bool valid = false;
};

TCodePage::TCodePage(unsigned codePage) : codePage_(codePage), state_(std::make_unique<TState>()) {
    state_->valid = codePage != kCodePageRoman8 && codePage != CP_UTF7 && IsValidCodePage(codePage);
}

TCodePage::~TCodePage() = default;

bool TCodePage::CanRead() const {
    return state_->valid;
}

std::string TCodePage::Name() const {
    return codePage_ == kCodePageRoman8 ? "HP-ROMAN8" : "CP" + std::to_string(codePage_);
}

std::string TCodePage::ToUtf8(std::string_view bytes) const {
    if (!CanRead() || bytes.empty())
        return {};
    const auto convert = [this](std::string_view piece, std::wstring& w) {
        const int n = MultiByteToWideChar(codePage_, MB_ERR_INVALID_CHARS, piece.data(),
                                          static_cast<int>(piece.size()), nullptr, 0);
        if (n <= 0)
            return false;
        w.resize(static_cast<size_t>(n));
        if (MultiByteToWideChar(codePage_, MB_ERR_INVALID_CHARS, piece.data(), static_cast<int>(piece.size()),
                                w.data(), n) != n)
            return false;
        // Windows' tables give a byte a code page leaves undefined (0x81 in
        // CP1252) the control character of that number; no letter of these
        // code pages is one, so each is marked as undefined, as elsewhere.
        for (auto& c : w)
            if (c >= 0x80 && c <= 0x9F)
                c = L'?';
        return true;
    };
    std::wstring wide;
    if (convert(bytes, wide))
        return win::FromWide(wide, CP_UTF8);
    // Some byte is not defined in the code page: character by character,
    // each undefined one as '?'.
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        size_t len = 1;
        if (i + 1 < bytes.size() && IsDBCSLeadByteEx(codePage_, static_cast<BYTE>(bytes[i])))
            len = 2;
        std::wstring one;
        if (convert(bytes.substr(i, len), one))
            out += win::FromWide(one, CP_UTF8);
        else
            out += '?';
        i += len;
    }
    return out;
}

TCodePage::TWrite TCodePage::FromUtf8(std::string_view utf8, std::string& out) const {
    out.clear();
    if (!CanRead())
        return TWrite::Unsupported;
    if (utf8.empty())
        return TWrite::Done;
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(),
                                      static_cast<int>(utf8.size()), nullptr, 0);
    if (n <= 0)
        return TWrite::NoSpelling;
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                        wide.data(), n);
    // No "best fit": a letter the code page lacks is refused, never written
    // as some other letter that looks like it.
    const bool utf = codePage_ == CP_UTF8;
    BOOL usedDefault = FALSE;
    const DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
    const int m = WideCharToMultiByte(codePage_, flags, wide.data(), n, nullptr, 0, nullptr,
                                      utf ? nullptr : &usedDefault);
    if (m <= 0 || usedDefault)
        return TWrite::NoSpelling;
    out.resize(static_cast<size_t>(m));
    WideCharToMultiByte(codePage_, flags, wide.data(), n, out.data(), m, nullptr,
                        utf ? nullptr : &usedDefault);
    if (usedDefault) {
        out.clear();
        return TWrite::NoSpelling;
    }
    return TWrite::Done;
}

} // namespace vx::platform
