// The one exception class of the archive component. A failure is named by a
// numeric code; the code maps to a message text, which gets the reporting
// component's name in front and the code behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SysUtils.h"

class EZAException : public Exception {
public:
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
