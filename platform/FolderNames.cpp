#include "platform/FolderNames.h"

#include <algorithm>

namespace vx::platform {

std::string TFolderNames::Fold(const std::string& nameUtf8) {
    // Plain ASCII, as most names are, folds to its lower case here: handing
    // it to the system's text facilities costs more than the rest of a lookup.
    std::string out = nameUtf8;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return CaseFoldUtf8(nameUtf8);
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

void TFolderNames::Add(const std::string& nameUtf8) {
    auto& names = folded_[Fold(nameUtf8)];
    if (std::find(names.begin(), names.end(), nameUtf8) == names.end())
        names.push_back(nameUtf8);
}

void TFolderNames::Remove(const std::string& nameUtf8) {
    const auto it = folded_.find(Fold(nameUtf8));
    if (it == folded_.end())
        return;
    std::erase(it->second, nameUtf8);
    if (it->second.empty())
        folded_.erase(it);
}

bool TFolderNames::Has(const std::string& nameUtf8) const {
    const auto it = folded_.find(Fold(nameUtf8));
    return it != folded_.end() &&
           std::find(it->second.begin(), it->second.end(), nameUtf8) != it->second.end();
}

std::optional<std::string> TFolderNames::Find(const std::string& nameUtf8) const {
    const auto it = folded_.find(Fold(nameUtf8));
    if (it == folded_.end())
        return std::nullopt;
    for (const auto& n : it->second)
        if (n == nameUtf8)
            return n;
    return it->second.front();
}

std::vector<std::string> TFolderNames::Names() const {
    std::vector<std::string> out;
    out.reserve(folded_.size());
    for (const auto& [key, names] : folded_)
        out.insert(out.end(), names.begin(), names.end());
    return out;
}

} // namespace vx::platform
