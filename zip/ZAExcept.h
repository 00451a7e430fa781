// The one exception class of the archive component. A failure is named by a
// numeric code; the code maps to a message text, which gets the reporting
// component's name in front and the code behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SysUtils.h"

namespace vx::zip {

using namespace vx::platform;

// The failures the component raises, by the codes that name them to users
// and handlers (the texts are looked up from the code).
enum class TZAError : int32_t {
    PutIndex = 1,           // storing an item outside the list
    GetIndex = 2,           // copying an item outside the list
    ItemIndex = 3,          // reaching an item outside the list
    DeleteIndex = 4,        // removing an item outside the list
    CompressionMode = 5,    // a compression mode above 9
    BadEntryData = 8,       // size, CRC-32, local header or format of an entry
    BlankFileName = 9,      // opening without a file name
    BlankFileNameMode = 10, // opening with a mode without a file name
    FileNotFound = 12,      // opening a missing file with an open mode
    NotOpen = 13,           // an operation that needs an open archive
    EntryIndex = 16,        // an entry index outside the directory
    CannotCreateFile = 19,  // a target that cannot (or may not) be written
    CannotCreateFolder = 20,
    UpdatePending = 26, // extracting while an update batch is open
    InMemoryOpen = 28,  // an open mode for an in-memory archive
    InMemoryNoFileName = 29,
    InvalidArchive = 35,   // no local header anywhere
    NoZip64EndRecord = 40, // a Zip64 locator without its record
    OpenAborted = 44,      // volumes that cannot be found
    VolumeRefused = 45,    // a volume that cannot be made current
    ArchiveDamaged = 48,   // no end record while damaged archives are refused
    Deflate64 = 55,        // method 9
};

class EZAException : public Exception {
public:
    static EZAException CreateFromCode(TZAError code, const TComponent* archiver) {
        return CreateFromCode(static_cast<int32_t>(code), archiver);
    }
    static EZAException CreateFromCodeFmt(TZAError code, const TComponent* archiver,
                                          const std::vector<FormatArg>& args) {
        return CreateFromCodeFmt(static_cast<int32_t>(code), archiver, args);
    }
    // The text is used as it stands; a placeholder in it stays unfilled.
    // archiver may be null (no name prefix).
    static EZAException CreateFromCode(int32_t code, const TComponent* archiver);
    // The text is a format filled with args before the prefix is added.
    static EZAException CreateFromCodeFmt(int32_t code, const TComponent* archiver,
                                          const std::vector<FormatArg>& args);

    // Index of the message text (0 for an unknown code).
    int32_t ErrorCode() const { return errorCode_; }
    // The code the exception was raised with.
    int32_t NativeError() const { return nativeError_; }

    // The message index for a code, -1 for the codes without a text, 0 for
    // a code outside the table.
    static int32_t MessageIndex(int32_t code);
    // The message text at an index; empty for -1 and the unused slots.
    static const char* MessageText(int32_t index);

private:
    EZAException(int32_t code, const TComponent* archiver, const std::vector<FormatArg>* args);
    int32_t errorCode_ = 0;
    int32_t nativeError_ = 0;
};

} // namespace vx::zip
