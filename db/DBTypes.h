// What every part of the engine shares: its error and the isolation levels
// a connection may ask for. Kept apart so that the engine's modules need not
// include one another to name them.
#pragma once

#include "platform/SysUtils.h"

namespace vx::db {

using namespace vx::platform;

// Every failure of the engine, carrying the driver's message text.
class EDBEngineError : public Exception {
    using Exception::Exception;
};

enum TTransIsolation { tiDirtyRead, tiReadCommitted, tiRepeatableRead };

} // namespace vx::db
