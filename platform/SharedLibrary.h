// A client library loaded at run time: the program starts and runs without
// it, and only the connection that needs it fails, with a message that names
// the missing file. dlopen on Linux, LoadLibraryW on Windows.
#pragma once

#include <string>

namespace vx::platform {

class TSharedLibrary {
public:
    TSharedLibrary() = default;
    ~TSharedLibrary();
    TSharedLibrary(const TSharedLibrary&) = delete;
    TSharedLibrary& operator=(const TSharedLibrary&) = delete;

    // Loads the library of that file name (searched the system's usual way).
    // On failure returns false and Error() tells why.
    bool Load(const std::string& fileName);
    bool Loaded() const { return handle_ != nullptr; }
    // The address of an exported symbol, or null (Error() tells why).
    void* Symbol(const char* name);
    const std::string& Error() const { return error_; }

private:
    void* handle_ = nullptr;
    std::string error_;
};

} // namespace vx::platform
