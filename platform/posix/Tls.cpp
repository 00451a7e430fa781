// The TLS engine on OpenSSL: one SSL object between two memory buffers, one
// for what came from the peer and one for what goes to it.
#include "platform/Tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

namespace vx::platform {

namespace tls {

namespace {

// The reasons the library queued, oldest (the cause) first; the codes and
// the library's inner names say nothing to whoever reads the log.
std::string queuedErrors() {
    std::string text;
    while (const unsigned long e = ERR_get_error()) {
        const char* reason = ERR_reason_error_string(e);
        const std::string line = reason ? reason : "error " + std::to_string(ERR_GET_REASON(e));
        if (text.find(line) != std::string::npos)
            continue;
        if (!text.empty())
            text += "; ";
        text += line;
    }
    return text;
}

} // namespace

struct TTrust::TImpl {
    SSL_CTX* ctx = nullptr;
    ~TImpl() { SSL_CTX_free(ctx); }
};

TTrust::TTrust(const std::string& caFile) : impl_(std::make_unique<TImpl>()) {
    ERR_clear_error();
    impl_->ctx = SSL_CTX_new(TLS_client_method());
    if (!impl_->ctx)
        throw ETlsError("TLS: " + queuedErrors());
    // Versions before 1.2 have known breaks; no server worth trusting
    // needs them any more.
    SSL_CTX_set_min_proto_version(impl_->ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(impl_->ctx, SSL_VERIFY_PEER, nullptr);
    // Sessions are kept by the connections that offer them again, not in a
    // cache of the context.
    SSL_CTX_set_session_cache_mode(impl_->ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    const int loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(impl_->ctx)
                                      : SSL_CTX_load_verify_locations(impl_->ctx, caFile.c_str(), nullptr);
    if (loaded != 1)
        throw ETlsError("TLS: " + (caFile.empty() ? std::string("the system's certificates") : caFile) +
                        ": " + queuedErrors());
}

TTrust::~TTrust() = default;

struct TSession::TImpl {
    SSL* ssl = nullptr;
    BIO* in = nullptr;          // the peer's bytes, read by the engine
    BIO* out = nullptr;         // the engine's bytes, for the peer
    ~TImpl() { SSL_free(ssl); } // frees both buffers too
};

TSession::TSession(const TTrust& trust, const std::string& host, const TSession* resumeFrom)
    : impl_(std::make_unique<TImpl>()) {
    ERR_clear_error();
    TImpl& s = *impl_;
    s.ssl = SSL_new(trust.Impl().ctx);
    s.in = BIO_new(BIO_s_mem());
    s.out = BIO_new(BIO_s_mem());
    if (!s.ssl || !s.in || !s.out) {
        BIO_free(s.in);
        BIO_free(s.out);
        throw ETlsError("TLS: " + queuedErrors());
    }
    // An empty input buffer means "not yet", not the end of the stream.
    BIO_set_mem_eof_return(s.in, -1);
    SSL_set_bio(s.ssl, s.in, s.out);
    SSL_set_connect_state(s.ssl);
    // The name the client dialled must be the certificate's: an address is
    // matched against the certificate's addresses, a name against its names.
    X509_VERIFY_PARAM* param = SSL_get0_param(s.ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
        ERR_clear_error();
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        if (host.empty() || X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size()) != 1 ||
            SSL_set_tlsext_host_name(s.ssl, host.c_str()) != 1)
            throw ETlsError("TLS: no name to check the certificate against: " + host);
    }
    if (resumeFrom) {
        if (SSL_SESSION* old = SSL_get1_session(resumeFrom->impl_->ssl)) {
            // A copy: a handshake that takes a session up (under TLS 1.3)
            // marks it spent, and every data connection of the login is to
            // offer the control connection's session again.
            if (SSL_SESSION_is_resumable(old)) {
                if (SSL_SESSION* copy = SSL_SESSION_dup(old)) {
                    SSL_set_session(s.ssl, copy);
                    SSL_SESSION_free(copy);
                }
            }
            SSL_SESSION_free(old);
        }
    }
}

TSession::~TSession() = default;

void TSession::failed(int result) {
    const int code = SSL_get_error(impl_->ssl, result);
    const long verify = SSL_get_verify_result(impl_->ssl);
    std::string queued = queuedErrors();
    if (verify != X509_V_OK)
        error_ = std::string("certificate refused: ") + X509_verify_cert_error_string(verify);
    else if (!queued.empty())
        error_ = queued;
    else if (code == SSL_ERROR_ZERO_RETURN)
        error_ = "the peer closed the protected stream";
    else
        error_ = "TLS error " + std::to_string(code);
}

TSession::TStep TSession::Handshake() {
    ERR_clear_error();
    const int r = SSL_do_handshake(impl_->ssl);
    if (r == 1)
        return TStep::Done;
    if (SSL_get_error(impl_->ssl, r) == SSL_ERROR_WANT_READ)
        return TStep::WantRead;
    failed(r);
    return TStep::Failed;
}

void TSession::Feed(const char* data, int length) {
    if (length > 0)
        BIO_write(impl_->in, data, length);
}

bool TSession::Write(const char* data, int length) {
    ERR_clear_error();
    while (length > 0) {
        size_t written = 0;
        const int r = SSL_write_ex(impl_->ssl, data, static_cast<size_t>(length), &written);
        if (r != 1) {
            failed(r);
            return false;
        }
        data += written;
        length -= static_cast<int>(written);
    }
    return true;
}

int TSession::Read(char* buffer, int length) {
    ERR_clear_error();
    size_t got = 0;
    const int r = SSL_read_ex(impl_->ssl, buffer, static_cast<size_t>(length), &got);
    if (r == 1)
        return static_cast<int>(got);
    switch (SSL_get_error(impl_->ssl, r)) {
    case SSL_ERROR_WANT_READ:
        return -1;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    default:
        failed(r);
        return -2;
    }
}

void TSession::Shutdown() {
    ERR_clear_error();
    SSL_shutdown(impl_->ssl);
    ERR_clear_error();
}

std::string TSession::TakeOutput() {
    std::string bytes(static_cast<size_t>(BIO_ctrl_pending(impl_->out)), '\0');
    if (!bytes.empty()) {
        const int n = BIO_read(impl_->out, bytes.data(), static_cast<int>(bytes.size()));
        bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    }
    return bytes;
}

bool TSession::HasOutput() const {
    return BIO_ctrl_pending(impl_->out) > 0;
}

bool TSession::Resumed() const {
    return SSL_session_reused(impl_->ssl) == 1;
}

} // namespace tls

} // namespace vx::platform
