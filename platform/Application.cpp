// The parts of the application object that are the same on every platform.
#include "platform/Application.h"

#include "platform/Dialogs.h"
#include "platform/Text.h"

namespace vx::platform {

std::string TApplication::TitleFromPath(const std::string& exePath) {
    std::string name = exePath;
    size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name = name.substr(slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0)
        name = name.substr(0, dot);
    name = Utf8ToAnsi(name);
    if (name.size() > 1)
        name = name.substr(0, 1) + LowerCase(name.substr(1));
    return name;
}

std::string TApplication::ExceptionText(const std::string& message) {
    std::string m = message;
    if (!m.empty() && static_cast<unsigned char>(m.back()) > static_cast<unsigned char>('.'))
        m += '.';
    return m;
}

void TApplication::ShowException(const std::exception& e) {
    ShowErrorBox(ExceptionText(e.what()));
}

void TApplication::Dispatch(const std::function<void()>& f) {
    try {
        f();
    } catch (const EAbort&) {
        // A silent abort shows nothing.
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

} // namespace vx::platform
