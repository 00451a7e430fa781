// TLS on Windows is not built yet (neither a cross-built OpenSSL nor the
// system's own engine is wired in). A run that requires TLS must then fail
// at the connection, before anything is sent: trusting anything here would
// put the password on the line in clear.
#include "platform/Tls.h"

namespace vx::platform {

namespace tls {

namespace {
[[noreturn]] void unavailable() {
    throw ETlsError("TLS is not available in this build of the updater");
}
} // namespace

struct TTrust::TImpl {};
struct TSession::TImpl {};

TTrust::TTrust(const std::string&) {
    unavailable();
}
TTrust::~TTrust() = default;

TSession::TSession(const TTrust&, const std::string&, const TSession*) {
    unavailable();
}
TSession::~TSession() = default;

TSession::TStep TSession::Handshake() {
    return TStep::Failed;
}
void TSession::Feed(const char*, int) {}
bool TSession::Write(const char*, int) {
    return false;
}
int TSession::Read(char*, int) {
    return -1;
}
void TSession::Shutdown() {}
std::string TSession::TakeOutput() {
    return {};
}
bool TSession::HasOutput() const {
    return false;
}
bool TSession::Resumed() const {
    return false;
}
void TSession::failed(int) {}

} // namespace tls

} // namespace vx::platform
