// The names of the temporary files that extraction writes beside their
// targets before renaming them into place: "~vx<pid>_<n>.tmp". A run that
// was killed leaves them behind; the next run recognises them by this exact
// pattern, so that it never removes a file of the shop's that merely looks
// alike.
#pragma once

#include <string>
#include <string_view>

namespace vx::zip {

namespace za {

// The n-th temporary name of process pid.
std::string ExtractionTemporaryName(long pid, unsigned long n);

// True exactly for a bare file name "~vx" digits "_" digits ".tmp" (letter
// case as written, at least one digit in each run). Folder parts are not
// accepted: pass the name alone.
bool IsExtractionTemporaryName(std::string_view fileName);

} // namespace za

} // namespace vx::zip
