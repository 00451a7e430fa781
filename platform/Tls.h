// TLS for the client end of a connection, as an engine that never touches a
// socket: the caller feeds it the bytes the network brought and sends the
// bytes it produces, so the same non-blocking socket code and its event-loop
// waits carry ciphertext as they carry plain bytes. Nothing of the library
// behind it shows in this interface, so another one (the system's own on
// another platform) can take its place in the one source file.
#pragma once

#include <memory>
#include <string>

#include "platform/SysUtils.h"

namespace vx::platform {

// The peer could not be authenticated, the handshake failed, or the
// protected stream was broken.
class ETlsError : public Exception {
public:
    using Exception::Exception;
};

namespace tls {

// What a client trusts: the system's certificate authorities, or only those
// of one PEM file.
class TTrust {
public:
    // caFile empty: the system's store. ETlsError when the file cannot be
    // read or holds no certificate.
    explicit TTrust(const std::string& caFile);
    ~TTrust();
    TTrust(const TTrust&) = delete;
    TTrust& operator=(const TTrust&) = delete;

    struct TImpl;
    TImpl& Impl() const { return *impl_; }

private:
    std::unique_ptr<TImpl> impl_;
};

// One client connection. The server's certificate must chain to the trust
// and name host (a DNS name, or an IPv4 / IPv6 address in text).
class TSession {
public:
    // resumeFrom: a session of the same server whose keys this one offers
    // to take up again (servers that insist the data connections of a
    // login reuse its control connection's session); may be null.
    TSession(const TTrust& trust, const std::string& host, const TSession* resumeFrom = nullptr);
    ~TSession();
    TSession(const TSession&) = delete;
    TSession& operator=(const TSession&) = delete;

    enum class TStep { Done, WantRead, Failed };
    // One step of the handshake; call again after each Feed while it says
    // WantRead. Its output (TakeOutput) goes to the peer whatever it says.
    TStep Handshake();
    // Hands bytes received from the peer to the engine.
    void Feed(const char* data, int length);
    // Encrypts all of data for the peer (into TakeOutput); false when the
    // session is broken.
    bool Write(const char* data, int length);
    // Decrypted bytes: how many (> 0); 0 when the peer has closed the
    // protected stream; -1 when more bytes must be fed first; -2 when the
    // stream is broken (Error says why).
    int Read(char* buffer, int length);
    // Ends the protected stream: the closing alert goes to TakeOutput.
    void Shutdown();
    // The bytes due to the peer, which the engine forgets.
    std::string TakeOutput();
    bool HasOutput() const;
    // Why the last step failed.
    const std::string& Error() const { return error_; }
    // The handshake took up the session it was offered.
    bool Resumed() const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
    std::string error_;
    void failed(int result);
};

} // namespace tls

} // namespace vx::platform
