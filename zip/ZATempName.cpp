#include "zip/ZATempName.h"

namespace vx::zip {

namespace za {

namespace {

constexpr std::string_view Prefix = "~vx";
constexpr std::string_view Suffix = ".tmp";

// Takes a run of ASCII digits from the front of s; false when there is none.
bool takeDigits(std::string_view& s) {
    size_t n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9')
        ++n;
    s.remove_prefix(n);
    return n > 0;
}

} // namespace

std::string ExtractionTemporaryName(long pid, unsigned long n) {
    return std::string(Prefix) + std::to_string(pid) + "_" + std::to_string(n) + std::string(Suffix);
}

bool IsExtractionTemporaryName(std::string_view name) {
    if (!name.starts_with(Prefix) || !name.ends_with(Suffix))
        return false;
    name.remove_prefix(Prefix.size());
    name.remove_suffix(Suffix.size());
    if (!takeDigits(name) || name.empty() || name.front() != '_')
        return false;
    name.remove_prefix(1);
    return takeDigits(name) && name.empty();
}

} // namespace za

} // namespace vx::zip
