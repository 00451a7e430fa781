// UTF-8 and the system's UTF-16, for this folder's files.
#pragma once

#include <string>

namespace vx::platform {

std::wstring WidenUtf8(const std::string& utf8);
std::string NarrowToUtf8(const std::wstring& wide);

} // namespace vx::platform
