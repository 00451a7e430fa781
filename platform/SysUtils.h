// The run-time library the logic is written against: the exception base and
// the run-time errors shown by their texts, the one formatting helper, the
// component base classes, string lists and little-endian readers.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vx::platform {

// Base of every error of the system. Message holds CP1252 text.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const { return message_; }
    void SetMessage(std::string m) { message_ = std::move(m); }

private:
    std::string message_;
};

// "'%s' is not a valid integer value"
class EConvertError : public Exception {
    using Exception::Exception;
};
// "Range check error"
class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
    using Exception::Exception;
};
class EInvalidOperation : public Exception {
    using Exception::Exception;
};
class EStreamError : public Exception {
    using Exception::Exception;
};
// "Cannot create file %s"
class EFCreateError : public EStreamError {
    using EStreamError::EStreamError;
};
// "Cannot open file %s"
class EFOpenError : public EStreamError {
    using EStreamError::EStreamError;
};
// "Stream read error"
class EReadError : public EStreamError {
public:
    EReadError() : EStreamError("Stream read error") {}
    using EStreamError::EStreamError;
};
// "Stream write error"
class EWriteError : public EStreamError {
public:
    EWriteError() : EStreamError("Stream write error") {}
    using EStreamError::EStreamError;
};
// Silent abort: unwinds without a message box.
class EAbort : public Exception {
public:
    EAbort() : Exception("Operation aborted") {}
    using Exception::Exception;
};

// One argument of Format: a number or a text.
struct FormatArg {
    enum class Kind { Int, UInt, Float, Str } kind;
    int64_t i = 0;
    uint64_t u = 0;
    double f = 0;
    std::string s;
    FormatArg(int v) : kind(Kind::Int), i(v) {}
    FormatArg(long v) : kind(Kind::Int), i(v) {}
    FormatArg(long long v) : kind(Kind::Int), i(v) {}
    FormatArg(unsigned v) : kind(Kind::UInt), u(v) {}
    FormatArg(unsigned long v) : kind(Kind::UInt), u(v) {}
    FormatArg(unsigned long long v) : kind(Kind::UInt), u(v) {}
    FormatArg(double v) : kind(Kind::Float), f(v) {}
    FormatArg(const char* v) : kind(Kind::Str), s(v ? v : "") {}
    FormatArg(std::string v) : kind(Kind::Str), s(std::move(v)) {}
    FormatArg(std::string_view v) : kind(Kind::Str), s(v) {}
};

// Formats as the run-time library does: %s %d %u %x %X %f %%, with optional
// '-', width and precision ("%.5d" pads with zeros). Surplus arguments are
// ignored; a missing argument or a type mismatch raises EConvertError.
std::string FormatV(std::string_view fmt, const std::vector<FormatArg>& args);
template <class... A> std::string Format(std::string_view fmt, A&&... args) {
    return FormatV(fmt, std::vector<FormatArg>{FormatArg(std::forward<A>(args))...});
}

std::string IntToStr(int64_t v);
// Decimal (optionally signed, blanks around allowed, '$' hex) 32-bit integer;
// raises EConvertError "'%s' is not a valid integer value".
int32_t StrToInt(const std::string& s);
int32_t StrToIntDef(const std::string& s, int32_t def);
// Upper/lower case of the ASCII letters only, as the run-time library does.
std::string UpperCase(std::string s);
std::string LowerCase(std::string s);
bool SameText(std::string_view a, std::string_view b);
std::string Trim(std::string_view s);

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};

// A component has a name and an owner. The owner keeps what it owns in
// std::unique_ptr members; the back pointer here is never an ownership.
class TComponent : public TObject {
public:
    explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {}
    TComponent* Owner() const { return owner_; }
    const std::string& Name() const { return name_; }
    void SetName(std::string n) { name_ = std::move(n); }
    // Set while the window's stored layout is being applied.
    bool Loading() const { return loading_; }
    void SetLoading(bool v) { loading_ = v; }

private:
    TComponent* owner_;
    std::string name_;
    bool loading_ = false;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;

// An ordered list of text lines.
class TStringList {
public:
    TStringList() = default;
    TStringList(std::initializer_list<std::string> l) : items_(l) {}
    int Count() const { return static_cast<int>(items_.size()); }
    const std::string& operator[](int i) const;
    void Set(int i, std::string s);
    void Add(std::string s);
    void Insert(int i, std::string s);
    void Delete(int i);
    void Clear();
    // First index whose text equals s without regard to ASCII case, or -1.
    int IndexOf(std::string_view s) const;
    // Lines joined, each followed by CR LF.
    std::string Text() const;
    // Replaces the lines by the text split at CR LF, LF or CR.
    void SetText(std::string_view text);
    // "Name=Value" access: the value of the first line whose name matches
    // without regard to case.
    std::string Value(std::string_view name) const;
    std::string NameAt(int i) const;
    std::string ValueAt(int i) const;
    void Assign(const TStringList& other);
    const std::vector<std::string>& Lines() const { return items_; }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    // Called before every change (may raise to refuse it) and after it.
    std::function<void()> OnChanging;
    std::function<void()> OnChange;

private:
    void changed();
    std::vector<std::string> items_;
};

// Little-endian readers and writers over byte buffers.
inline uint16_t ReadU16LE(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t ReadU32LE(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t ReadU64LE(const uint8_t* p) {
    return static_cast<uint64_t>(ReadU32LE(p)) | (static_cast<uint64_t>(ReadU32LE(p + 4)) << 32);
}
inline void WriteU16LE(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void WriteU32LE(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void WriteU64LE(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace vx::platform
