// Text in a code page named by its Windows number (437, 850, 852, 1250,
// 1252, ...), converted to and from UTF-8: table files carry their code
// page, and the logic inside keeps its text in CP1252.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace vx::platform {

// HP Roman-8, which tables sorted for it carry without a number: no Windows
// code page has it, so it goes by IBM's number.
constexpr unsigned kCodePageRoman8 = 1051;

class TCodePage {
public:
    enum class TWrite { Done, NoSpelling, Unsupported };

    explicit TCodePage(unsigned codePage);
    ~TCodePage();
    TCodePage(const TCodePage&) = delete;
    TCodePage& operator=(const TCodePage&) = delete;

    // False when the system knows no conversion from this code page.
    bool CanRead() const;
    // Its name in messages: "CP850", "HP-ROMAN8".
    std::string Name() const;
    // The bytes as UTF-8; a byte the code page does not define becomes '?'.
    std::string ToUtf8(std::string_view bytes) const;
    // UTF-8 in the code page; NoSpelling when a character has none in it,
    // Unsupported when the system cannot write the code page at all.
    TWrite FromUtf8(std::string_view utf8, std::string& out) const;

private:
    unsigned codePage_;
    struct TState;
    std::unique_ptr<TState> state_;
};

} // namespace vx::platform
