// Code-page conversions at the edges of the logic. Inside, text is CP1252.
#pragma once

#include <string>
#include <string_view>

namespace vx::platform {

// UTF-8 to CP1252; a character CP1252 lacks becomes '?'.
std::string Utf8ToAnsi(std::string_view utf8);
std::string AnsiToUtf8(std::string_view ansi);
// CP1252 to and from UTF-16 (the wide text of the Windows and ODBC
// interfaces); a character CP1252 lacks, or a broken surrogate, becomes '?'.
std::u16string AnsiToUtf16(std::string_view ansi);
std::string Utf16ToAnsi(std::u16string_view utf16);
// The system's own texts are kept as UTF-8 in the source; this gives their
// CP1252 bytes. Use it for every Portuguese literal.
inline std::string Txt(std::string_view utf8) {
    return Utf8ToAnsi(utf8);
}
// Valid UTF-8 with at least one multi-byte sequence is taken as UTF-8 and
// converted; anything else is taken as CP1252 already.
std::string GuessToAnsi(std::string_view bytes);
bool IsValidUtf8(std::string_view bytes);
// OEM code page (CP850 unless UPDATER_OEMCP names another) to CP1252; a byte
// without an equivalent becomes its closest letter or '_'.
std::string OemToAnsi(std::string_view oem);
std::string AnsiToOem(std::string_view ansi);

} // namespace vx::platform
