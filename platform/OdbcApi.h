// The ODBC headers of the system's driver manager. Windows' own sql.h uses
// the Win32 types without including their header, so that goes first there.
#pragma once

#ifdef _WIN32
#include "platform/win32/Win.h"
#endif

#include <sql.h>
#include <sqlext.h>
