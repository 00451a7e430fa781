#include "zip/ZAExcept.h"

#include <array>
#include <utility>

#include "zip/ZAConst.h"

namespace vx::zip {

namespace {

// Slots 34 to 40 are kept empty for texts of later versions.
constexpr std::array<const char*, 41> ErrorMessages = {
    "Unknown error",
    "Index out of bounds",
    "Invalid compression mode. Mode must be in [0-9] range",
    "Unexpected nil pointer",
    "Invalid size or check sum of file or unsupported compression format",
    "File name is blank. Specify appropriate file name",
    "File \"%s\" not found",
    "Archive is not open",
    "SFXStub property is not specified",
    "Cannot create file \"%s\"",
    "Cannot create directory \"%s\"",
    "Internal error. Update is not started",
    "Cannot open file \"%s\"",
    "Cannot proceed when update is not ended. Preceding EndUpdate call is required.",
    "Cannot delete file \"%s\"",
    "In-memory archive can be created only",
    "File is open in read-only mode",
    "Invalid compressed size, rfs.size = %d, count = %d",
    "Invalid archive file.",
    "Cannot create output file. Probably file is locked by another process. FileName = '%s'.",
    "Archive is open. You should close it beore performing this operation.",
    "Unable to create directory",
    "Cannot find Zip64 directory end record",
    "Cannot compress file '%s'. Zip64 mode is not enabled",
    "Cannot open archive file. Opening aborted or invalid file",
    "Write to stream error",
    "Cannot place SFX stub on volume. Volume size limit is too small",
    "Archive is damaged. Open failed",
    "MakeSFX is not allowed for splitted or spanned archives. Set SFXStub before archive creation instead of "
    "MakeSFX",
    "Archive already has SFX stub",
    "Multi-volume archive is not allowed for custom stream",
    "Multi-spanned archive is not allowed for modification. Use BeginUpdate/EndUpdate methods to add files "
    "several times",
    "Deflate64 compression method is not supported",
    "MakeSFX error",
    "",
    "",
    "",
    "",
    "",
    "",
    "",
};

// (error code, message index) for every code from 0 to 60.
constexpr std::array<std::pair<int32_t, int32_t>, 61> ErrorCodeMap = {{
    {0, 0},   {1, 1},   {2, 1},   {3, 1},   {4, 1},   {5, 2},   {6, 3},   {7, 1},   {8, 4},
    {9, 5},   {10, 5},  {11, 6},  {12, 6},  {13, 7},  {14, 7},  {15, 6},  {16, 1},  {17, 8},
    {18, 6},  {19, 9},  {20, 10}, {21, 1},  {22, 11}, {23, 9},  {24, 1},  {25, 11}, {26, 13},
    {27, 14}, {28, 15}, {29, 5},  {30, 6},  {31, 6},  {32, 16}, {33, 12}, {34, 17}, {35, 18},
    {36, 19}, {37, 20}, {38, 6},  {39, 21}, {40, 22}, {41, 23}, {42, 6},  {43, 23}, {44, 24},
    {45, 24}, {46, 25}, {47, 26}, {48, 27}, {49, 28}, {50, 29}, {51, 30}, {52, 31}, {53, 6},
    {54, 6},  {55, 32}, {56, 33}, {57, -1}, {58, -1}, {59, -1}, {60, -1},
}};

} // namespace

int32_t EZAException::MessageIndex(int32_t code) {
    for (const auto& [c, index] : ErrorCodeMap)
        if (c == code)
            return index;
    return 0;
}

const char* EZAException::MessageText(int32_t index) {
    if (index < 0 || index >= static_cast<int32_t>(ErrorMessages.size()))
        return "";
    return ErrorMessages[static_cast<size_t>(index)];
}

EZAException::EZAException(int32_t code, const TComponent* archiver, const std::vector<FormatArg>* args)
    : Exception("") {
    nativeError_ = code;
    errorCode_ = MessageIndex(code);
    std::string text = MessageText(errorCode_);
    if (args)
        text = FormatV(text, *args);
    if (archiver && !archiver->Name().empty())
        text = Format("%s: %s", archiver->Name(), text);
    std::string codeText = Format("%5d", code);
    for (char& c : codeText)
        if (c == ' ')
            c = '0';
    SetMessage(text + za::SNativeError + codeText);
}

EZAException EZAException::CreateFromCode(int32_t code, const TComponent* archiver) {
    return EZAException(code, archiver, nullptr);
}

EZAException EZAException::CreateFromCodeFmt(int32_t code, const TComponent* archiver,
                                             const std::vector<FormatArg>& args) {
    return EZAException(code, archiver, &args);
}

} // namespace vx::zip
