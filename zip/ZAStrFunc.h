// Text helpers of the archive component: ANSI (CP1252) letter case, entry
// name decoding, drive parts and the safety test of entry names.
#pragma once

#include <string>
#include <string_view>

namespace vx::zip {

namespace za {

// Letter case by the CP1252 rules (accented letters included).
char AnsiLowerChar(char c);
char AnsiUpperChar(char c);
std::string AnsiLowerCase(std::string_view s);
bool AnsiSameChar(char a, char b);

// Every `from` replaced by `to`.
std::string ReplaceChar(std::string_view s, char from, char to);

// UTF-8 to CP1252; a character CP1252 lacks, or a broken sequence, becomes
// '_', which is safe in a file name.
std::string Utf8ToAnsiName(std::string_view utf8);

// The part of an entry name up to and including its last '\'; empty when
// there is none.
std::string FolderPart(std::string_view name);
// What follows the last '\' or '/' (the whole name when there is none).
std::string AfterLastSeparator(std::string_view name);

// The drive part of a path: "X:" or "\\server\share" (either separator);
// empty when there is none.
std::string ExtractFileDrive(std::string_view path);

// True when an entry name (with '\' separators) would reach outside the
// folder it is extracted into: a drive or ':' anywhere, a leading
// separator, two separators in a row (taken as a whole path), or a ".."
// component.
bool IsUnsafeEntryName(std::string_view name);

// A name as it may be shown: control characters (C0, DEL and C1, which
// could drive a terminal) become '?'.
std::string PrintableName(std::string_view name);

} // namespace za

} // namespace vx::zip
