// The TLS engine on the system's own: Schannel through SSPI, fed from and
// feeding two byte strings, the peer's bytes in and the bytes for the peer
// out. Schannel is told to leave the server's certificate alone; it is
// checked here, against the trusted roots alone (the PEM file's, or the
// system's) and against the name dialled, so that both systems refuse the
// same servers with the same words.
#include "platform/Tls.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/ReadOnlyFile.h"
#include "platform/win32/Win.h"

#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

namespace vx::platform {

namespace tls {

namespace {

// wininet's name for the SSL policy's flag; that header is not wanted here.
constexpr DWORD kIgnoreNameInPolicy = 0x00001000;
// A CA file larger than this is not a list of certificates.
constexpr int64_t kMostCaFileBytes = 16 * 1024 * 1024;

std::string systemText(DWORD code) {
    const std::wstring w = win::SystemMessage(code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
    return w.empty() ? std::string("error ") + hex : win::FromWide(w, CP_UTF8) + " (" + hex + ")";
}

struct TStoreCloser {
    void operator()(void* store) const { CertCloseStore(store, 0); }
};
using TStore = std::unique_ptr<void, TStoreCloser>;

// The certificates of a PEM file, every block of which must be one: a file
// that is damaged in part is refused whole, not trusted in part.
TStore loadPem(const std::string& caFile) {
    TReadOnlyFile file(caFile);
    if (!file.IsOpen())
        throw ETlsError("TLS: " + caFile + ": " + file.Error());
    const int64_t size = file.RegularSize();
    if (size < 0 || size > kMostCaFileBytes)
        throw ETlsError("TLS: " + caFile + ": not a file of certificates");
    std::string text(static_cast<size_t>(size), '\0');
    if (size > 0 && file.Read(text.data(), text.size()) != size)
        throw ETlsError("TLS: " + caFile + ": cannot be read");

    TStore store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
    if (!store)
        throw ETlsError("TLS: " + systemText(GetLastError()));
    static const std::string begin = "-----BEGIN CERTIFICATE-----";
    static const std::string end = "-----END CERTIFICATE-----";
    int count = 0;
    for (size_t at = text.find(begin); at != std::string::npos; at = text.find(begin, at)) {
        const size_t stop = text.find(end, at);
        if (stop == std::string::npos)
            throw ETlsError("TLS: " + caFile + ": a certificate without its end line");
        const size_t from = at + begin.size();
        const DWORD length = static_cast<DWORD>(stop - from);
        DWORD bytes = 0;
        std::string der;
        if (CryptStringToBinaryA(text.data() + from, length, CRYPT_STRING_BASE64, nullptr, &bytes, nullptr,
                                 nullptr)) {
            der.resize(bytes);
            if (!CryptStringToBinaryA(text.data() + from, length, CRYPT_STRING_BASE64,
                                      reinterpret_cast<BYTE*>(der.data()), &bytes, nullptr, nullptr))
                bytes = 0;
        }
        if (bytes == 0)
            throw ETlsError("TLS: " + caFile + ": bad base64 decode");
        PCCERT_CONTEXT cert =
            CertCreateCertificateContext(X509_ASN_ENCODING, reinterpret_cast<const BYTE*>(der.data()), bytes);
        if (!cert)
            throw ETlsError("TLS: " + caFile +
                            ": a certificate that cannot be read: " + systemText(GetLastError()));
        const BOOL added =
            CertAddCertificateContextToStore(store.get(), cert, CERT_STORE_ADD_USE_EXISTING, nullptr);
        CertFreeCertificateContext(cert);
        if (!added)
            throw ETlsError("TLS: " + systemText(GetLastError()));
        ++count;
        at = stop + end.size();
    }
    if (count == 0)
        throw ETlsError("TLS: " + caFile + ": no certificate or crl found");
    return store;
}

// Schannel's handshake and record calls differ only in what they are given;
// these hold the buffers each call names.
struct TBuffers {
    SecBuffer b[4]{};
    SecBufferDesc desc{SECBUFFER_VERSION, 0, b};
    SecBuffer& Add(unsigned long type, void* data = nullptr, size_t length = 0) {
        SecBuffer& s = b[desc.cBuffers++];
        s.BufferType = type;
        s.pvBuffer = data;
        s.cbBuffer = static_cast<unsigned long>(length);
        return s;
    }
    const SecBuffer* Find(unsigned long type) const {
        for (unsigned long i = 0; i < desc.cBuffers; ++i)
            if (b[i].BufferType == type)
                return &b[i];
        return nullptr;
    }
};

bool isIpAddress(const std::wstring& host, std::string& bytes) {
    in_addr v4{};
    in6_addr v6{};
    if (InetPtonW(AF_INET, host.c_str(), &v4) == 1)
        bytes.assign(reinterpret_cast<const char*>(&v4), sizeof v4);
    else if (InetPtonW(AF_INET6, host.c_str(), &v6) == 1)
        bytes.assign(reinterpret_cast<const char*>(&v6), sizeof v6);
    else
        return false;
    return true;
}

std::wstring lower(std::wstring s) {
    for (wchar_t& c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

// A certificate's name against the host's: case aside, equal, or a
// wildcard that stands for the whole leftmost label of a name of at least
// three labels ("*.example.com" names "ftp.example.com", never
// "example.com", "a.b.example.com" nor, as "f*.example.com" would,
// part of a label).
bool nameMatches(const std::wstring& pattern, const std::wstring& host) {
    const std::wstring p = lower(pattern), h = lower(host);
    if (p.empty() || h.empty())
        return false;
    if (p.find(L'*') == std::wstring::npos)
        return p == h;
    if (p.size() < 4 || p.compare(0, 2, L"*.") != 0 || p.find(L'*', 1) != std::wstring::npos ||
        std::count(p.begin(), p.end(), L'.') < 2)
        return false;
    const size_t dot = h.find(L'.');
    return dot != std::wstring::npos && dot > 0 && h.compare(dot, std::wstring::npos, p, 1) == 0;
}

// The host the client dialled against the certificate: an address against
// its addresses only, a name against its DNS names, or, when it lists none,
// its common name. Empty when it matches, the reason when not.
std::string nameCheck(PCCERT_CONTEXT cert, const std::wstring& host) {
    std::string address;
    const bool byAddress = isIpAddress(host, address);
    bool anyDns = false;
    bool matched = false;
    if (PCERT_EXTENSION ext = CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                                cert->pCertInfo->rgExtension)) {
        CERT_ALT_NAME_INFO* names = nullptr;
        DWORD size = 0;
        if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                                 CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
            return "unable to decode the certificate's names";
        for (DWORD i = 0; i < names->cAltEntry && !matched; ++i) {
            const CERT_ALT_NAME_ENTRY& e = names->rgAltEntry[i];
            if (byAddress && e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS)
                matched = e.IPAddress.cbData == address.size() &&
                          std::memcmp(e.IPAddress.pbData, address.data(), address.size()) == 0;
            else if (e.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                anyDns = true;
                matched = !byAddress && nameMatches(e.pwszDNSName, host);
            }
        }
        LocalFree(names);
    }
    if (!byAddress && !matched && !anyDns) {
        wchar_t cn[256] = L"";
        if (CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), cn, 256) >
            1)
            matched = nameMatches(cn, host);
    }
    if (matched)
        return {};
    return byAddress ? "IP address mismatch" : "hostname mismatch";
}

// The chain's first fault in the words the other system's engine uses for
// it, so that a log reads the same wherever it was written.
std::string chainFault(const CERT_CHAIN_CONTEXT* chain) {
    const DWORD e = chain->TrustStatus.dwErrorStatus;
    const CERT_SIMPLE_CHAIN* simple = chain->cChain ? chain->rgpChain[0] : nullptr;
    const DWORD length = simple ? simple->cElement : 0;
    if (e & CERT_TRUST_IS_NOT_SIGNATURE_VALID)
        return "certificate signature failure";
    if (e & CERT_TRUST_IS_REVOKED)
        return "certificate revoked";
    if (e & CERT_TRUST_IS_NOT_TIME_VALID) {
        const CERT_INFO* leaf = length ? simple->rgpElement[0]->pCertContext->pCertInfo : nullptr;
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return leaf && CompareFileTime(&now, &leaf->NotBefore) < 0 ? "certificate is not yet valid"
                                                                   : "certificate has expired";
    }
    if (e & CERT_TRUST_IS_PARTIAL_CHAIN)
        return "unable to get local issuer certificate";
    if (e & CERT_TRUST_IS_UNTRUSTED_ROOT)
        return length <= 1 ? "self-signed certificate" : "self-signed certificate in certificate chain";
    if (e & CERT_TRUST_IS_NOT_VALID_FOR_USAGE)
        return "unsupported certificate purpose";
    return "certificate not trusted";
}

} // namespace

struct TTrust::TImpl {
    TStore roots;                      // the PEM file's; null for the system's
    HCERTCHAINENGINE engine = nullptr; // chains to those roots alone
    ~TImpl() {
        if (engine)
            CertFreeCertificateChainEngine(engine);
    }
};

TTrust::TTrust(const std::string& caFile) : impl_(std::make_unique<TImpl>()) {
    if (caFile.empty())
        return;
    impl_->roots = loadPem(caFile);
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = sizeof config;
    config.hExclusiveRoot = impl_->roots.get();
    if (!CertCreateCertificateChainEngine(&config, &impl_->engine))
        throw ETlsError("TLS: " + caFile + ": " + systemText(GetLastError()));
}

TTrust::~TTrust() = default;

namespace {

// Schannel keeps the sessions it may take up again with the credentials a
// handshake was made with: a control connection gets fresh ones, and its
// data connections share them, so that they (and only they) offer its
// session again.
struct TCredentials {
    CredHandle handle{};
    ~TCredentials() { FreeCredentialsHandle(&handle); }
};

std::shared_ptr<TCredentials> newCredentials() {
    SCHANNEL_CRED cred{};
    cred.dwVersion = SCHANNEL_CRED_VERSION;
    // Versions before 1.2 have known breaks; no server worth trusting
    // needs them any more.
    cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
    cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    CredHandle handle{};
    TimeStamp expiry;
    const SECURITY_STATUS s =
        AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND, nullptr,
                                  &cred, nullptr, nullptr, &handle, &expiry);
    if (s != SEC_E_OK)
        throw ETlsError("TLS: " + systemText(static_cast<DWORD>(s)));
    auto c = std::make_shared<TCredentials>();
    c->handle = handle;
    return c;
}

constexpr unsigned long kRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                                   ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION;

} // namespace

struct TSession::TImpl {
    const TTrust::TImpl* trust = nullptr;
    std::shared_ptr<TCredentials> cred;
    std::wstring host;
    CtxtHandle ctx{};
    bool haveCtx = false;
    bool established = false;
    bool closed = false; // the peer's closing alert came
    std::string in;      // the peer's bytes not yet taken by Schannel
    std::string out;     // bytes for the peer
    std::string plain;   // decrypted and not yet read
    SecPkgContext_StreamSizes sizes{};
    ~TImpl() {
        if (haveCtx)
            DeleteSecurityContext(&ctx);
    }
    // One call of the handshake with what is in `in`; its token (and, on
    // a failure, its alert) goes to `out`, and what it left of `in` stays.
    SECURITY_STATUS Step();
    std::string Verify() const;
};

SECURITY_STATUS TSession::TImpl::Step() {
    TBuffers input, output;
    input.Add(SECBUFFER_TOKEN, in.data(), in.size());
    input.Add(SECBUFFER_EMPTY);
    output.Add(SECBUFFER_TOKEN);
    output.Add(SECBUFFER_ALERT);
    unsigned long attributes = 0;
    const SECURITY_STATUS s = InitializeSecurityContextW(
        &cred->handle, haveCtx ? &ctx : nullptr, haveCtx ? nullptr : host.data(), kRequest, 0, 0,
        haveCtx ? &input.desc : nullptr, 0, haveCtx ? nullptr : &ctx, &output.desc, &attributes, nullptr);
    if (!haveCtx && (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED || s == SEC_I_INCOMPLETE_CREDENTIALS))
        haveCtx = true;
    for (unsigned long i = 0; i < output.desc.cBuffers; ++i) {
        SecBuffer& b = output.b[i];
        if (b.pvBuffer && b.cbBuffer && b.BufferType != SECBUFFER_EMPTY)
            out.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        if (b.pvBuffer)
            FreeContextBuffer(b.pvBuffer);
    }
    // Nothing was taken: the same bytes are for the next call.
    if (s == SEC_E_INCOMPLETE_MESSAGE || s == SEC_I_INCOMPLETE_CREDENTIALS)
        return s;
    // What Schannel did not take belongs to the next record.
    const SecBuffer* extra = input.Find(SECBUFFER_EXTRA);
    if (extra && extra->cbBuffer && extra->cbBuffer <= in.size())
        in.erase(0, in.size() - extra->cbBuffer);
    else if (s == SEC_E_OK || s == SEC_I_CONTINUE_NEEDED)
        in.clear();
    return s;
}

std::string TSession::TImpl::Verify() const {
    PCCERT_CONTEXT cert = nullptr;
    if (QueryContextAttributesW(const_cast<CtxtHandle*>(&ctx), SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert) !=
            SEC_E_OK ||
        !cert)
        return "certificate refused: the server showed no certificate";
    // The server's intermediates travel with its certificate.
    LPSTR usage[] = {const_cast<char*>(szOID_PKIX_KP_SERVER_AUTH)};
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    std::string why;
    if (!CertGetCertificateChain(trust->engine, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain)) {
        why = systemText(GetLastError());
    } else {
        const DWORD ignored = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
        if (chain->TrustStatus.dwErrorStatus & ~ignored)
            why = chainFault(chain);
        else
            why = nameCheck(cert, host);
        if (why.empty()) {
            // The system's own judgement of a server's chain as well (its
            // usage, its distrusted and too weak keys); the name is checked
            // above, the same way as on the other system.
            SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
            ssl.cbSize = sizeof ssl;
            ssl.dwAuthType = AUTHTYPE_SERVER;
            ssl.fdwChecks = kIgnoreNameInPolicy;
            ssl.pwszServerName = const_cast<wchar_t*>(host.c_str());
            CERT_CHAIN_POLICY_PARA policy{};
            policy.cbSize = sizeof policy;
            policy.pvExtraPolicyPara = &ssl;
            CERT_CHAIN_POLICY_STATUS status{};
            status.cbSize = sizeof status;
            if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
                why = systemText(GetLastError());
            else if (status.dwError)
                why = systemText(status.dwError);
        }
        CertFreeCertificateChain(chain);
    }
    CertFreeCertificateContext(cert);
    return why.empty() ? why : "certificate refused: " + why;
}

TSession::TSession(const TTrust& trust, const std::string& host, const TSession* resumeFrom)
    : impl_(std::make_unique<TImpl>()) {
    TImpl& s = *impl_;
    s.trust = &trust.Impl();
    s.host = win::ToWide(host, CP_UTF8);
    if (host.empty() || s.host.empty() || s.host.find(L'\0') != std::wstring::npos)
        throw ETlsError("TLS: no name to check the certificate against: " + host);
    s.cred = resumeFrom ? resumeFrom->impl_->cred : newCredentials();
}

TSession::~TSession() = default;

void TSession::failed(int result) {
    error_ = systemText(static_cast<DWORD>(result));
}

TSession::TStep TSession::Handshake() {
    TImpl& s = *impl_;
    if (s.established)
        return TStep::Done;
    bool askedForCertificate = false;
    for (;;) {
        if (s.haveCtx && s.in.empty())
            return TStep::WantRead;
        const SECURITY_STATUS r = s.Step();
        if (r == SEC_E_INCOMPLETE_MESSAGE)
            return TStep::WantRead;
        if (r == SEC_I_INCOMPLETE_CREDENTIALS && !askedForCertificate) {
            // A server that asks for the client's certificate gets none:
            // the same bytes again, and Schannel answers without one.
            askedForCertificate = true;
            continue;
        }
        if (r == SEC_I_CONTINUE_NEEDED) {
            if (s.in.empty())
                return TStep::WantRead;
            continue;
        }
        if (r != SEC_E_OK) {
            failed(r);
            return TStep::Failed;
        }
        error_ = s.Verify();
        if (!error_.empty()) {
            s.out.clear();
            return TStep::Failed;
        }
        if (QueryContextAttributesW(&s.ctx, SECPKG_ATTR_STREAM_SIZES, &s.sizes) != SEC_E_OK ||
            s.sizes.cbMaximumMessage == 0) {
            error_ = "the record sizes are unknown";
            return TStep::Failed;
        }
        s.established = true;
        return TStep::Done;
    }
}

void TSession::Feed(const char* data, int length) {
    if (length > 0)
        impl_->in.append(data, static_cast<size_t>(length));
}

bool TSession::Write(const char* data, int length) {
    TImpl& s = *impl_;
    if (!s.established) {
        error_ = "the protected stream is not open";
        return false;
    }
    std::string record;
    while (length > 0) {
        const unsigned long n =
            std::min<unsigned long>(static_cast<unsigned long>(length), s.sizes.cbMaximumMessage);
        record.assign(s.sizes.cbHeader + n + s.sizes.cbTrailer, '\0');
        std::memcpy(record.data() + s.sizes.cbHeader, data, n);
        TBuffers b;
        SecBuffer& header = b.Add(SECBUFFER_STREAM_HEADER, record.data(), s.sizes.cbHeader);
        SecBuffer& body = b.Add(SECBUFFER_DATA, record.data() + s.sizes.cbHeader, n);
        SecBuffer& trailer =
            b.Add(SECBUFFER_STREAM_TRAILER, record.data() + s.sizes.cbHeader + n, s.sizes.cbTrailer);
        b.Add(SECBUFFER_EMPTY);
        const SECURITY_STATUS r = EncryptMessage(&s.ctx, 0, &b.desc, 0);
        if (r != SEC_E_OK) {
            failed(r);
            return false;
        }
        // The trailer may come out shorter than the most it could be.
        s.out.append(record.data(), header.cbBuffer + body.cbBuffer);
        s.out.append(static_cast<const char*>(trailer.pvBuffer), trailer.cbBuffer);
        data += n;
        length -= static_cast<int>(n);
    }
    return true;
}

int TSession::Read(char* buffer, int length) {
    TImpl& s = *impl_;
    while (s.plain.empty()) {
        if (s.closed)
            return 0;
        if (s.in.empty())
            return -1;
        // Wine's engine takes the peer's closing alert as a record that
        // carries nothing, where Windows' says that the context expired;
        // an alert record (its type, 21, is in clear under TLS 1.2) that
        // yields no data after the handshake is that end either way.
        const bool alert = static_cast<unsigned char>(s.in[0]) == 21;
        TBuffers b;
        b.Add(SECBUFFER_DATA, s.in.data(), s.in.size());
        b.Add(SECBUFFER_EMPTY);
        b.Add(SECBUFFER_EMPTY);
        b.Add(SECBUFFER_EMPTY);
        const SECURITY_STATUS r = DecryptMessage(&s.ctx, &b.desc, 0, nullptr);
        if (r == SEC_E_INCOMPLETE_MESSAGE)
            return -1;
        if (r != SEC_E_OK && r != SEC_I_CONTEXT_EXPIRED && r != SEC_I_RENEGOTIATE) {
            failed(r);
            return -2;
        }
        if (const SecBuffer* data = b.Find(SECBUFFER_DATA))
            s.plain.append(static_cast<const char*>(data->pvBuffer), data->cbBuffer);
        const SecBuffer* extra = b.Find(SECBUFFER_EXTRA);
        std::string rest =
            extra ? std::string(static_cast<const char*>(extra->pvBuffer), extra->cbBuffer) : "";
        s.in.swap(rest);
        if (r == SEC_I_CONTEXT_EXPIRED || (r == SEC_E_OK && alert && s.plain.empty())) {
            s.closed = true;
        } else if (r == SEC_I_RENEGOTIATE) {
            // The server speaks of the handshake again (under TLS 1.3, its
            // tickets): Schannel takes that message up as a handshake token.
            const SECURITY_STATUS h = s.Step();
            if (h != SEC_E_OK && h != SEC_I_CONTINUE_NEEDED && h != SEC_E_INCOMPLETE_MESSAGE) {
                failed(h);
                return -2;
            }
        }
    }
    const size_t n = std::min(s.plain.size(), static_cast<size_t>(std::max(length, 0)));
    std::memcpy(buffer, s.plain.data(), n);
    s.plain.erase(0, n);
    return static_cast<int>(n);
}

void TSession::Shutdown() {
    TImpl& s = *impl_;
    if (!s.haveCtx || !s.established)
        return;
    DWORD type = SCHANNEL_SHUTDOWN;
    TBuffers b;
    b.Add(SECBUFFER_TOKEN, &type, sizeof type);
    const SECURITY_STATUS applied = ApplyControlToken(&s.ctx, &b.desc);
    if (applied != SEC_E_OK)
        return;
    TBuffers output;
    output.Add(SECBUFFER_TOKEN);
    unsigned long attributes = 0;
    InitializeSecurityContextW(&s.cred->handle, &s.ctx, nullptr, kRequest, 0, 0, nullptr, 0, nullptr,
                               &output.desc, &attributes, nullptr);
    if (output.b[0].pvBuffer) {
        s.out.append(static_cast<const char*>(output.b[0].pvBuffer), output.b[0].cbBuffer);
        FreeContextBuffer(output.b[0].pvBuffer);
    }
    s.established = false;
}

std::string TSession::TakeOutput() {
    std::string bytes;
    bytes.swap(impl_->out);
    return bytes;
}

bool TSession::HasOutput() const {
    return !impl_->out.empty();
}

bool TSession::Resumed() const {
    SecPkgContext_SessionInfo info{};
    if (!impl_->established ||
        QueryContextAttributesW(&impl_->ctx, SECPKG_ATTR_SESSION_INFO, &info) != SEC_E_OK)
        return false;
    return (info.dwFlags & SSL_SESSION_RECONNECT) != 0;
}

} // namespace tls

} // namespace vx::platform
