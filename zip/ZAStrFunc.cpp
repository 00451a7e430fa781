#include "zip/ZAStrFunc.h"

#include <array>
#include <cstdint>

namespace vx::zip {

namespace za {

namespace {

// Unicode values of CP1252 bytes 0x80..0x9F (0 where the byte is unused).
constexpr std::array<uint16_t, 32> Cp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

char unicodeToAnsi(uint32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<char>(cp);
    for (size_t i = 0; i < Cp1252High.size(); ++i)
        if (Cp1252High[i] != 0 && Cp1252High[i] == cp)
            return static_cast<char>(0x80 + i);
    return '_';
}

// Decodes one UTF-8 sequence at s[i]; returns its length, 0 when broken.
size_t decodeUtf8(std::string_view s, size_t i, uint32_t& cp) {
    auto b = static_cast<uint8_t>(s[i]);
    size_t len;
    if (b < 0x80) {
        cp = b;
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        len = 2;
        cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        len = 3;
        cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        len = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (size_t k = 1; k < len; ++k) {
        auto c = static_cast<uint8_t>(s[i + k]);
        if ((c & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

} // namespace

char AnsiLowerChar(char c) {
    auto b = static_cast<uint8_t>(c);
    if (b >= 'A' && b <= 'Z')
        return static_cast<char>(b + 32);
    if (b >= 0xC0 && b <= 0xDE && b != 0xD7)
        return static_cast<char>(b + 32);
    switch (b) {
    case 0x8A:
    case 0x8C:
    case 0x8E:
        return static_cast<char>(b + 16);
    case 0x9F:
        return static_cast<char>(0xFF);
    default:
        return c;
    }
}

char AnsiUpperChar(char c) {
    auto b = static_cast<uint8_t>(c);
    if (b >= 'a' && b <= 'z')
        return static_cast<char>(b - 32);
    if (b >= 0xE0 && b <= 0xFE && b != 0xF7)
        return static_cast<char>(b - 32);
    switch (b) {
    case 0x9A:
    case 0x9C:
    case 0x9E:
        return static_cast<char>(b - 16);
    case 0xFF:
        return static_cast<char>(0x9F);
    default:
        return c;
    }
}

std::string AnsiLowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r)
        c = AnsiLowerChar(c);
    return r;
}

bool AnsiSameChar(char a, char b) {
    return a == b || AnsiLowerChar(a) == AnsiLowerChar(b);
}

std::string ReplaceChar(std::string_view s, char from, char to) {
    std::string r(s);
    for (char& c : r)
        if (c == from)
            c = to;
    return r;
}

std::string Utf8ToAnsiName(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = 0;
        size_t len = decodeUtf8(utf8, i, cp);
        if (len == 0) {
            out += '_';
            ++i;
            continue;
        }
        out += unicodeToAnsi(cp);
        i += len;
    }
    return out;
}

std::string FolderPart(std::string_view name) {
    const size_t p = name.find_last_of('\\');
    return p == std::string_view::npos ? std::string() : std::string(name.substr(0, p + 1));
}

std::string AfterLastSeparator(std::string_view name) {
    const size_t p = name.find_last_of("\\/");
    return std::string(p == std::string_view::npos ? name : name.substr(p + 1));
}

std::string ExtractFileDrive(std::string_view path) {
    if (path.size() >= 2 && path[1] == ':')
        return std::string(path.substr(0, 2));
    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        // "\\server\share": up to the separator after the share name.
        size_t seps = 0;
        size_t i = 2;
        for (; i < path.size(); ++i) {
            if (isSeparator(path[i]) && ++seps == 2)
                break;
        }
        return std::string(path.substr(0, i));
    }
    return {};
}

bool IsUnsafeEntryName(std::string_view name) {
    if (name.empty())
        return false;
    if (name.find(':') != std::string_view::npos)
        return true;
    if (isSeparator(name[0]))
        return true;
    for (size_t i = 1; i < name.size(); ++i)
        if (isSeparator(name[i - 1]) && isSeparator(name[i]))
            return true;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !isSeparator(name[end]))
            ++end;
        if (name.substr(start, end - start) == "..")
            return true;
        start = end + 1;
    }
    return false;
}

std::string PrintableName(std::string_view name) {
    std::string out(name);
    for (char& c : out) {
        auto b = static_cast<unsigned char>(c);
        // CP1252 leaves 0x81, 0x8D, 0x8F, 0x90 and 0x9D undefined: they
        // reach a terminal as C1 controls.
        if (b < 0x20 || b == 0x7F || b == 0x81 || b == 0x8D || b == 0x8F || b == 0x90 || b == 0x9D)
            c = '?';
    }
    return out;
}

} // namespace za

} // namespace vx::zip
