// File masks of the archive component: "*" and "?" wildcards, case ignored
// by the ANSI rules, with the old "*.*" and trailing "." conventions.
#pragma once

#include <string>
#include <string_view>

namespace vx::zip {

namespace za {

// "*.*" matches everything; a mask ending in "." matches only names
// without an extension. An empty mask matches nothing.
bool MaskMatches(std::string_view name, std::string_view mask);

// Plain left-to-right wildcard match. A "*" followed by further mask
// characters never stands for an empty remainder of the name.
bool WildcardMatch(std::string_view name, std::string_view mask);

} // namespace za

} // namespace vx::zip
