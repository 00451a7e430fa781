#include "platform/Text.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/win32/Win.h"

namespace vx::platform {

namespace win {

std::wstring ToWide(std::string_view bytes, unsigned codePage) {
    if (bytes.empty())
        return {};
    const int n = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), w.data(), n);
    return w;
}

std::string FromWide(std::wstring_view wide, unsigned codePage, char bad) {
    if (wide.empty())
        return {};
    // UTF-8 takes no default character; the code pages do, and map what
    // they lack to their closest letter first (the system's best fit).
    const char defaultChar[2] = {bad, 0};
    const bool utf8 = codePage == CP_UTF8;
    // A character outside the 16-bit range is one character the code page
    // lacks, not two: its surrogate pair (or a broken half) becomes one mark.
    std::wstring single;
    if (!utf8 &&
        std::any_of(wide.begin(), wide.end(), [](wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; })) {
        for (size_t i = 0; i < wide.size(); ++i) {
            const wchar_t c = wide[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
                wide[i + 1] <= 0xDFFF)
                ++i;
            single += c >= 0xD800 && c <= 0xDFFF ? static_cast<wchar_t>(static_cast<unsigned char>(bad)) : c;
        }
        wide = single;
    }
    const int n = WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0,
                                      utf8 ? nullptr : defaultChar, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), s.data(), n,
                            utf8 ? nullptr : defaultChar, nullptr);
    return s;
}

std::wstring SystemMessage(unsigned long code) {
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring w(text ? text : L"", text ? n : 0);
    if (text)
        LocalFree(text);
    while (!w.empty() && (w.back() == L'\r' || w.back() == L'\n' || w.back() == L' ' || w.back() == L'.'))
        w.pop_back();
    return w;
}

} // namespace win

namespace {

// The logic's text is CP1252 whatever the machine's ANSI code page is: the
// texts it compares and the tables it writes were made so.
constexpr unsigned kAnsi = 1252;

bool allAscii(std::string_view s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

// ZIP names come from the maker's machines, whose OEM code page is 850;
// UPDATER_OEMCP names another (a number, or "CP437" as iconv spells it).
unsigned oemCodePage() {
    const char* e = std::getenv("UPDATER_OEMCP");
    if (e && *e) {
        std::string s(e);
        if (s.size() > 2 && (s[0] == 'C' || s[0] == 'c') && (s[1] == 'P' || s[1] == 'p'))
            s = s.substr(2);
        const long n = std::strtol(s.c_str(), nullptr, 10);
        if (n > 0 && IsValidCodePage(static_cast<UINT>(n)))
            return static_cast<unsigned>(n);
    }
    return 850;
}

} // namespace

std::string Utf8ToAnsi(std::string_view utf8) {
    if (allAscii(utf8))
        return std::string(utf8);
    return win::FromWide(win::ToWide(utf8, CP_UTF8), kAnsi, '?');
}

std::string AnsiToUtf8(std::string_view ansi) {
    if (allAscii(ansi))
        return std::string(ansi);
    return win::FromWide(win::ToWide(ansi, kAnsi), CP_UTF8);
}

std::string OemToAnsi(std::string_view oem) {
    if (allAscii(oem))
        return std::string(oem);
    static const unsigned cp = oemCodePage();
    return win::FromWide(win::ToWide(oem, cp), kAnsi, '_');
}

std::string AnsiToOem(std::string_view ansi) {
    if (allAscii(ansi))
        return std::string(ansi);
    static const unsigned cp = oemCodePage();
    return win::FromWide(win::ToWide(ansi, kAnsi), cp, '_');
}

} // namespace vx::platform
