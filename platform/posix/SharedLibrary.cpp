#include "platform/SharedLibrary.h"

#include <dlfcn.h>

namespace vx::platform {

TSharedLibrary::~TSharedLibrary() {
    if (handle_)
        dlclose(handle_);
}

bool TSharedLibrary::Load(const std::string& fileName) {
    if (handle_) {
        dlclose(handle_);
        handle_ = nullptr;
    }
    handle_ = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error_ = why ? why : fileName + ": cannot be loaded";
        return false;
    }
    error_.clear();
    return true;
}

void* TSharedLibrary::Symbol(const char* name) {
    if (!handle_) {
        error_ = std::string(name) + ": no library is loaded";
        return nullptr;
    }
    dlerror();
    void* p = dlsym(handle_, name);
    if (!p) {
        const char* why = dlerror();
        error_ = why ? why : std::string(name) + ": not found";
    }
    return p;
}

} // namespace vx::platform
