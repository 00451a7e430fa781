// The scripted peer's TLS step and the recording of what a client sends
// after its last expected command, apart so that only they need the TLS
// library.
#include <sys/socket.h>
#include <sys/time.h>

#include <openssl/ssl.h>

#include "tests/support/FtpPeer.h"

namespace vx::test {

namespace {

// Reads until the client closes, or the step's time is up.
template <class Recv> std::string recordUntilClosed(int fd, Recv recv) {
    timeval limit{15, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string got;
    char buf[4096];
    for (;;) {
        const int n = recv(buf, static_cast<int>(sizeof buf));
        if (n <= 0)
            return got;
        got.append(buf, static_cast<size_t>(n));
    }
}

} // namespace

TFtpPeer& TFtpPeer::ServeTls(std::string pemFile) {
    steps_.push_back([this, pemFile] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, pemFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx, pemFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            SSL_CTX_free(ctx);
            return fail("tls: cannot load " + pemFile), false;
        }
        timeval limit{15, 0};
        ::setsockopt(control_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        SSL* ssl = SSL_new(ctx);
        SSL_set_fd(ssl, control_);
        const bool accepted = SSL_accept(ssl) == 1;
        const std::string got = recordUntilClosed(control_, [&](char* buf, int n) {
            return accepted ? SSL_read(ssl, buf, n) : static_cast<int>(::recv(control_, buf, n, 0));
        });
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        std::lock_guard<std::mutex> lock(mutex_);
        tlsAccepted_ = accepted;
        recorded_ = got;
        return true;
    });
    return *this;
}

TFtpPeer& TFtpPeer::Record() {
    steps_.push_back([this] {
        std::string got = pending_;
        pending_.clear();
        got += recordUntilClosed(control_, [&](char* buf, int n) {
            return static_cast<int>(::recv(control_, buf, static_cast<size_t>(n), 0));
        });
        std::lock_guard<std::mutex> lock(mutex_);
        recorded_ = got;
        return true;
    });
    return *this;
}

bool TFtpPeer::TlsAccepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tlsAccepted_;
}

std::string TFtpPeer::Recorded() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recorded_;
}

} // namespace vx::test
