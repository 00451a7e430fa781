// What every file of the Windows half includes: the Win32 and Winsock
// headers without the macros that would rename the system's own functions
// (DeleteFile, ReplaceFile, GetPrivateProfileString, OemToAnsi) or clash with the
// socket constants the interfaces define, and the text conversions at the
// API's edge.
#pragma once

#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#undef DeleteFile
#undef ReplaceFile
#undef GetPrivateProfileString
#undef OemToAnsi
#undef AnsiToOem
#undef INVALID_SOCKET
#undef SOCKET_ERROR
#undef INADDR_NONE
#undef FD_READ
#undef FD_WRITE
#undef FD_OOB
#undef FD_ACCEPT
#undef FD_CONNECT
#undef FD_CLOSE
#undef SW_SHOWNORMAL
#undef SW_SHOW

#include <string>
#include <string_view>

namespace vx::platform {

namespace win {

// Bytes in a code page to UTF-16 and back. Bytes the code page lacks become
// '?' (or the given character) on the way back.
std::wstring ToWide(std::string_view bytes, unsigned codePage);
std::string FromWide(std::wstring_view wide, unsigned codePage, char bad = '?');

// A Windows path of the logic (CP1252) as the wide API takes it, with '/'
// turned into '\'.
std::wstring WidePath(const std::string& winPath);
// A path as ResolvePath gives it (UTF-8) as the wide API takes it.
std::wstring WideNative(const std::string& utf8Path);

// The system's text for an error code, its line ends and trailing blanks
// and full stop taken off; empty when the system has none.
std::wstring SystemMessage(unsigned long code);

// The window class every message-only window of the half uses; messages go
// to the TNotifyWindow whose pointer is kept in the window's user data.
HWND MakeMessageWindow(void* owner);

} // namespace win

} // namespace vx::platform
