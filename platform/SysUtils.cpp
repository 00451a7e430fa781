#include "platform/SysUtils.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace vx::platform {

namespace {

std::string pad(std::string body, int width, bool left) {
    if (width > 0 && static_cast<int>(body.size()) < width) {
        std::string fill(static_cast<size_t>(width) - body.size(), ' ');
        body = left ? body + fill : fill + body;
    }
    return body;
}

std::string withPrecision(std::string digits, int prec) {
    // "%.5d": at least prec digits, zero padded after the sign.
    bool neg = !digits.empty() && digits[0] == '-';
    std::string d = neg ? digits.substr(1) : digits;
    if (prec > 0 && static_cast<int>(d.size()) < prec)
        d = std::string(static_cast<size_t>(prec) - d.size(), '0') + d;
    return neg ? "-" + d : d;
}

} // namespace

std::string FormatV(std::string_view fmt, const std::vector<FormatArg>& args) {
    std::string out;
    size_t argi = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        size_t j = i + 1;
        bool left = false;
        if (j < fmt.size() && fmt[j] == '-') {
            left = true;
            ++j;
        }
        int width = 0;
        while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9')
            width = width * 10 + (fmt[j++] - '0');
        int prec = -1;
        if (j < fmt.size() && fmt[j] == '.') {
            ++j;
            prec = 0;
            while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9')
                prec = prec * 10 + (fmt[j++] - '0');
        }
        if (j >= fmt.size())
            throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
        char conv = fmt[j];
        i = j;
        if (argi >= args.size())
            throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
        const FormatArg& a = args[argi++];
        std::string body;
        switch (conv) {
        case 'd':
        case 'D':
            if (a.kind == FormatArg::Kind::Int)
                body = withPrecision(std::to_string(a.i), prec);
            else if (a.kind == FormatArg::Kind::UInt)
                body = withPrecision(std::to_string(a.u), prec);
            else
                throw EConvertError("Format '" + std::string(fmt) +
                                    "' invalid or incompatible with argument");
            break;
        case 'u':
        case 'U':
            if (a.kind == FormatArg::Kind::Int)
                body = withPrecision(std::to_string(static_cast<uint32_t>(a.i)), prec);
            else if (a.kind == FormatArg::Kind::UInt)
                body = withPrecision(std::to_string(a.u), prec);
            else
                throw EConvertError("Format '" + std::string(fmt) +
                                    "' invalid or incompatible with argument");
            break;
        case 'x':
        case 'X': {
            uint64_t v;
            if (a.kind == FormatArg::Kind::Int)
                v = static_cast<uint64_t>(a.i) & (a.i < 0 ? 0xFFFFFFFFull : ~0ull);
            else if (a.kind == FormatArg::Kind::UInt)
                v = a.u;
            else
                throw EConvertError("Format '" + std::string(fmt) +
                                    "' invalid or incompatible with argument");
            char buf[32];
            std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
            body = withPrecision(buf, prec);
            break;
        }
        case 'f':
        case 'F':
        case 'n':
        case 'N': {
            double v = a.kind == FormatArg::Kind::Float ? a.f
                       : a.kind == FormatArg::Kind::Int ? static_cast<double>(a.i)
                       : a.kind == FormatArg::Kind::UInt
                           ? static_cast<double>(a.u)
                           : throw EConvertError("Format '" + std::string(fmt) +
                                                 "' invalid or incompatible with argument");
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.*f", prec < 0 ? 2 : prec, v);
            body = buf;
            break;
        }
        case 's':
        case 'S':
            if (a.kind != FormatArg::Kind::Str)
                throw EConvertError("Format '" + std::string(fmt) +
                                    "' invalid or incompatible with argument");
            body = prec >= 0 && static_cast<size_t>(prec) < a.s.size()
                       ? a.s.substr(0, static_cast<size_t>(prec))
                       : a.s;
            break;
        default:
            throw EConvertError("Format '" + std::string(fmt) + "' invalid or incompatible with argument");
        }
        out += pad(std::move(body), width, left);
    }
    return out;
}

std::string IntToStr(int64_t v) {
    return std::to_string(v);
}

int32_t StrToInt(const std::string& s) {
    auto fail = [&]() -> int32_t { throw EConvertError(Format("'%s' is not a valid integer value", s)); };
    size_t i = 0, n = s.size();
    while (i < n && s[i] == ' ')
        ++i;
    bool neg = false;
    if (i < n && (s[i] == '-' || s[i] == '+'))
        neg = s[i++] == '-';
    int base = 10;
    if (i < n && s[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < n && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= n)
        return fail();
    int64_t v = 0;
    for (; i < n; ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return fail();
        v = v * base + d;
        if (v > (base == 16 ? 0xFFFFFFFFll : 2147483648ll))
            return fail();
    }
    if (base == 10) {
        if (neg)
            v = -v;
        if (v > INT32_MAX || v < INT32_MIN)
            return fail();
        return static_cast<int32_t>(v);
    }
    // Hexadecimal wraps to 32 bits; negated in unsigned arithmetic so that
    // "-$80000000" is INT32_MIN rather than an overflow.
    const uint32_t u = static_cast<uint32_t>(v);
    return static_cast<int32_t>(neg ? 0u - u : u);
}

int32_t StrToIntDef(const std::string& s, int32_t def) {
    try {
        return StrToInt(s);
    } catch (const EConvertError&) {
        return def;
    }
}

std::string UpperCase(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
    return s;
}

std::string LowerCase(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return s;
}

bool SameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z')
            x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z')
            y = static_cast<char>(y - 32);
        if (x != y)
            return false;
    }
    return true;
}

std::string Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ')
        ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ')
        --e;
    return std::string(s.substr(b, e - b));
}

// TStringList

const std::string& TStringList::operator[](int i) const {
    if (i < 0 || i >= Count())
        throw Exception(Format("List index out of bounds (%d)", i));
    return items_[static_cast<size_t>(i)];
}

void TStringList::Set(int i, std::string s) {
    if (i < 0 || i >= Count())
        throw Exception(Format("List index out of bounds (%d)", i));
    if (OnChanging)
        OnChanging();
    items_[static_cast<size_t>(i)] = std::move(s);
    changed();
}

void TStringList::Add(std::string s) {
    if (OnChanging)
        OnChanging();
    items_.push_back(std::move(s));
    changed();
}

void TStringList::Insert(int i, std::string s) {
    if (i < 0 || i > Count())
        throw Exception(Format("List index out of bounds (%d)", i));
    if (OnChanging)
        OnChanging();
    items_.insert(items_.begin() + i, std::move(s));
    changed();
}

void TStringList::Delete(int i) {
    if (i < 0 || i >= Count())
        throw Exception(Format("List index out of bounds (%d)", i));
    if (OnChanging)
        OnChanging();
    items_.erase(items_.begin() + i);
    changed();
}

void TStringList::Clear() {
    if (OnChanging)
        OnChanging();
    items_.clear();
    changed();
}

int TStringList::IndexOf(std::string_view s) const {
    for (size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i], s))
            return static_cast<int>(i);
    return -1;
}

std::string TStringList::Text() const {
    std::string t;
    for (const auto& l : items_) {
        t += l;
        t += "\r\n";
    }
    return t;
}

void TStringList::SetText(std::string_view text) {
    if (OnChanging)
        OnChanging();
    items_.clear();
    size_t i = 0;
    while (i < text.size()) {
        size_t j = i;
        while (j < text.size() && text[j] != '\r' && text[j] != '\n')
            ++j;
        items_.emplace_back(text.substr(i, j - i));
        if (j < text.size() && text[j] == '\r')
            ++j;
        if (j < text.size() && text[j] == '\n')
            ++j;
        i = j;
    }
    changed();
}

std::string TStringList::NameAt(int i) const {
    const std::string& l = (*this)[i];
    size_t p = l.find('=');
    return p == std::string::npos ? std::string() : l.substr(0, p);
}

std::string TStringList::ValueAt(int i) const {
    const std::string& l = (*this)[i];
    size_t p = l.find('=');
    return p == std::string::npos ? std::string() : l.substr(p + 1);
}

std::string TStringList::Value(std::string_view name) const {
    for (int i = 0; i < Count(); ++i) {
        const std::string& l = items_[static_cast<size_t>(i)];
        size_t p = l.find('=');
        if (p != std::string::npos && SameText(std::string_view(l).substr(0, p), name))
            return l.substr(p + 1);
    }
    return {};
}

void TStringList::Assign(const TStringList& other) {
    if (&other == this)
        return;
    if (OnChanging)
        OnChanging();
    items_ = other.items_;
    changed();
}

void TStringList::changed() {
    if (OnChange)
        OnChange();
}

} // namespace vx::platform
