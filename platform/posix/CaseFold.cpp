#include <QString>

#include "platform/FolderNames.h"

namespace vx::platform {

std::string CaseFoldUtf8(const std::string& utf8) {
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())).toCaseFolded().toStdString();
}

} // namespace vx::platform
