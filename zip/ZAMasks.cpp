#include "zip/ZAMasks.h"

#include "zip/ZAStrFunc.h"

namespace vx::zip {

namespace za {

bool WildcardMatch(std::string_view name, std::string_view mask) {
    if (mask == "*.*")
        return true;
    size_t n = 0, m = 0;
    for (;;) {
        if (mask.substr(m) == "*")
            return true;
        if (n >= name.size())
            return m >= mask.size();
        if (m >= mask.size())
            return false;
        char mc = mask[m];
        if (mc == '*') {
            std::string_view restMask = mask.substr(m + 1);
            for (size_t k = n; k < name.size(); ++k)
                if (WildcardMatch(name.substr(k), restMask))
                    return true;
            return false;
        }
        if (mc != '?' && !AnsiSameChar(mc, name[n]))
            return false;
        ++n;
        ++m;
    }
}

namespace {

// The extension of the last path component: from its last '.', or empty.
std::string_view extensionOf(std::string_view name) {
    size_t sep = name.find_last_of("\\/:");
    size_t start = sep == std::string_view::npos ? 0 : sep + 1;
    size_t dot = name.find_last_of('.');
    if (dot == std::string_view::npos || dot < start)
        return {};
    return name.substr(dot);
}

} // namespace

bool MaskMatches(std::string_view name, std::string_view mask) {
    if (mask.empty())
        return false;
    std::string m;
    if (size_t pos = mask.find("*.*"); pos != std::string_view::npos) {
        m.append(mask.substr(0, pos));
        m.push_back('*');
        m.append(mask.substr(pos + 3));
    } else {
        m.assign(mask);
    }
    bool maskEndsWithDot = mask.back() == '.';
    if (maskEndsWithDot && !m.empty())
        m.pop_back();
    std::string_view n = name;
    if (!n.empty() && n.back() == '.')
        n.remove_suffix(1);
    bool matched = WildcardMatch(n, m);
    if (matched && maskEndsWithDot) {
        std::string_view ext = extensionOf(name);
        matched = ext.empty() || ext == ".";
    }
    return matched;
}

} // namespace za

} // namespace vx::zip
