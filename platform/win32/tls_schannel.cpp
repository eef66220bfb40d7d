// TLS on Windows: SChannel through SSPI (secur32) and the certificate
// chain engine (crypt32), both part of every Windows; no TLS library is
// linked in. Twin of tls_gnutls.cpp.
// DEPENDS ON: SECUR32, CRYPT32, WSOCK32 (the caller's non-blocking socket).
// The certificate is checked here, after the handshake, with the system's
// SSL chain policy (CertVerifyCertificateChainPolicy): the chain to a root
// in the user's or the machine's root store (corporate roots included), the
// dates and the host name; SChannel's own automatic check is off so that
// every Windows (and Wine, whose SChannel sits on GnuTLS) judges the same
// way. TLS 1.2 at least; TLS 1.3 where the system offers it.
// LIMITATIONS: no client certificates, no session resumption; records of
// at most 16 KiB (as every server sends).
#define SECURITY_WIN32
#include "platform/tls.h"

// windows.h first: the security headers build on its types.
#include <winsock.h>

#include <windows.h>

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>

namespace {

// A TLS record is at most 16 KiB of data and a few hundred bytes around it.
constexpr int RECORD_ROOM = 16384 + 2048;

} // namespace

struct TlsSession {
    int in_use;
    SOCKET socket;
    CtxtHandle context;
    int has_context;
    int handshake_done;
    char host_name[256];
    const char* failure;
    SecPkgContext_StreamSizes sizes;
    // Bytes from the socket not yet decrypted; decrypted bytes not yet
    // given out; encrypted bytes not yet taken by the socket.
    char incoming[2 * RECORD_ROOM];
    int incoming_length;
    int incoming_incomplete; // incoming holds part of a record only
    char plain[RECORD_ROOM];
    int plain_at;
    int plain_length;
    char outgoing[2 * RECORD_ROOM];
    int outgoing_length;
};

namespace {

TlsSession sessions[4];
CredHandle credentials;
int credentials_state = 0; // 0 untried, 1 ready, -1 failed
const char* open_failure = "";

int ready_credentials()
{
    if (credentials_state != 0) {
        return credentials_state > 0;
    }
    credentials_state = -1;
    SCHANNEL_CRED settings = {};
    settings.dwVersion = SCHANNEL_CRED_VERSION;
    settings.dwFlags =
        SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;
    // TLS 1.3 where the system has it; a system that refuses to be asked
    // for it is asked for TLS 1.2 alone.
    const DWORD protocols[] = {SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT,
                               SP_PROT_TLS1_2_CLIENT};
    for (const DWORD protocol : protocols) {
        settings.grbitEnabledProtocols = protocol;
        TimeStamp expiry;
        char package[] = UNISP_NAME_A;
        if (AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &settings,
                                      nullptr, nullptr, &credentials, &expiry) == SEC_E_OK) {
            credentials_state = 1;
            return 1;
        }
    }
    return 0;
}

// Sends what outgoing holds. 1 when all of it went, 0 when some waits for
// the socket, -1 when the connection failed.
int flush_outgoing(TlsSession* tls)
{
    while (tls->outgoing_length > 0) {
        const int sent = send(tls->socket, tls->outgoing, tls->outgoing_length, 0);
        if (sent == SOCKET_ERROR) {
            return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
        }
        std::memmove(tls->outgoing, tls->outgoing + sent,
                     static_cast<std::size_t>(tls->outgoing_length - sent));
        tls->outgoing_length -= sent;
    }
    return 1;
}

// Reads what the socket holds onto incoming. 1 when bytes came, 0 when none
// were there, TLS_CUT at the peer's TCP close, TLS_FAILED when the
// connection failed.
int fill_incoming(TlsSession* tls)
{
    const int room = static_cast<int>(sizeof tls->incoming) - tls->incoming_length;
    if (room <= 0) {
        return TLS_FAILED; // a record larger than any TLS record
    }
    const int got = recv(tls->socket, tls->incoming + tls->incoming_length, room, 0);
    if (got == SOCKET_ERROR) {
        return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : TLS_FAILED;
    }
    if (got == 0) {
        return TLS_CUT; // no closing message came first: it would have ended the session
    }
    tls->incoming_length += got;
    tls->incoming_incomplete = 0;
    return 1;
}

// Queues an output token from InitializeSecurityContext and frees it.
int queue_token(TlsSession* tls, SecBuffer* token)
{
    int fits = 1;
    if (token->pvBuffer != nullptr && token->cbBuffer > 0) {
        const int length = static_cast<int>(token->cbBuffer);
        fits = length <= static_cast<int>(sizeof tls->outgoing) - tls->outgoing_length;
        if (fits) {
            std::memcpy(tls->outgoing + tls->outgoing_length, token->pvBuffer,
                        static_cast<std::size_t>(length));
            tls->outgoing_length += length;
        }
    }
    if (token->pvBuffer != nullptr) {
        FreeContextBuffer(token->pvBuffer);
        token->pvBuffer = nullptr;
    }
    return fits;
}

// Keeps the bytes a call left unread at the front of incoming.
void keep_extra(TlsSession* tls, const SecBuffer* extra, int consumed_all)
{
    if (extra != nullptr && extra->BufferType == SECBUFFER_EXTRA && extra->cbBuffer > 0) {
        const int length = static_cast<int>(extra->cbBuffer);
        std::memmove(tls->incoming, tls->incoming + tls->incoming_length - length,
                     static_cast<std::size_t>(length));
        tls->incoming_length = length;
    } else if (consumed_all) {
        tls->incoming_length = 0;
    }
}

// Whether incoming starts as a TLS record does (a content type from 20 to
// 23, major version 3); during the handshake it always starts at a record.
// Wine's SChannel takes a plain HTTP reply for the head of a record of
// 20,527 bytes ("P/" read as its length) and waits for the rest, so a server
// speaking plain HTTP is told apart here.
int looks_like_tls(const TlsSession* tls)
{
    const auto type = static_cast<unsigned char>(tls->incoming[0]);
    return tls->incoming_length < 2 || (type >= 20 && type <= 23 && tls->incoming[1] == 3);
}

const char* chain_failure(DWORD error)
{
    switch (error) {
    case static_cast<DWORD>(CERT_E_EXPIRED): return "certificate expired";
    case static_cast<DWORD>(CERT_E_CN_NO_MATCH): return "certificate for another host";
    case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
    case static_cast<DWORD>(CERT_E_CHAINING): return "unknown certificate authority";
    case static_cast<DWORD>(CRYPT_E_REVOKED): return "certificate revoked";
    case static_cast<DWORD>(CERT_E_WRONG_USAGE): return "certificate not for a web server";
    default: return "certificate not trusted";
    }
}

// The server's certificate against the system's roots, dates and host name.
int certificate_trusted(TlsSession* tls)
{
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
            SEC_E_OK ||
        certificate == nullptr) {
        tls->failure = "the server sent no certificate";
        return 0;
    }
    char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {server_auth};
    CERT_CHAIN_PARA chain_settings = {};
    chain_settings.cbSize = sizeof chain_settings;
    chain_settings.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
    chain_settings.RequestedUsage.Usage.cUsageIdentifier = 1;
    chain_settings.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    int trusted = 0;
    wchar_t host[256];
    if (MultiByteToWideChar(CP_UTF8, 0, tls->host_name, -1, host, 256) > 0 &&
        CertGetCertificateChain(nullptr, certificate, nullptr, certificate->hCertStore,
                                &chain_settings, 0, nullptr, &chain) &&
        chain != nullptr) {
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.pwszServerName = host;
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof status;
        if (CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
            // A chain that ends short of any root (an authority the system
            // does not know, not sent by the server) passes Wine's SSL
            // policy: the chain's own status refuses it too.
            const DWORD short_chain = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_UNTRUSTED_ROOT;
            const DWORD error =
                status.dwError == 0 && (chain->TrustStatus.dwErrorStatus & short_chain)
                    ? static_cast<DWORD>(CERT_E_CHAINING)
                    : status.dwError;
            trusted = error == 0;
            tls->failure = trusted ? nullptr : chain_failure(error);
        } else {
            tls->failure = "certificate not trusted";
        }
        CertFreeCertificateChain(chain);
    } else {
        tls->failure = "certificate not trusted";
    }
    CertFreeCertificateContext(certificate);
    return trusted;
}

const char* handshake_failure(SECURITY_STATUS status)
{
    switch (status) {
    case SEC_E_ILLEGAL_MESSAGE:
    case SEC_E_INVALID_TOKEN:
    case SEC_E_MESSAGE_ALTERED: return "the server does not speak TLS";
    case SEC_E_ALGORITHM_MISMATCH:
    case SEC_E_UNSUPPORTED_FUNCTION: return "no TLS version or cipher in common with the server";
    case SEC_E_CERT_EXPIRED: return "certificate expired";
    case SEC_E_WRONG_PRINCIPAL: return "certificate for another host";
    case SEC_E_UNTRUSTED_ROOT: return "unknown certificate authority";
    default: return "TLS handshake failed";
    }
}

// One InitializeSecurityContext call over what incoming holds (nothing on
// the first). 1 when the handshake is over, 0 to go on, -1 on failure.
int handshake_round(TlsSession* tls)
{
    SecBuffer in_buffers[2] = {};
    in_buffers[0].BufferType = SECBUFFER_TOKEN;
    in_buffers[0].pvBuffer = tls->incoming;
    in_buffers[0].cbBuffer = static_cast<unsigned long>(tls->incoming_length);
    in_buffers[1].BufferType = SECBUFFER_EMPTY;
    SecBufferDesc in_description = {SECBUFFER_VERSION, 2, in_buffers};
    SecBuffer out_buffer = {0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc out_description = {SECBUFFER_VERSION, 1, &out_buffer};
    const unsigned long wanted = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                 ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                 ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                                 ISC_REQ_MANUAL_CRED_VALIDATION;
    unsigned long granted = 0;
    const SECURITY_STATUS status = InitializeSecurityContextA(
        &credentials, tls->has_context ? &tls->context : nullptr, tls->host_name, wanted, 0, 0,
        tls->has_context ? &in_description : nullptr, 0, &tls->context, &out_description, &granted,
        nullptr);
    tls->has_context = 1;
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        tls->incoming_incomplete = 1;
        return 0;
    }
    if (!queue_token(tls, &out_buffer)) {
        tls->failure = "TLS handshake failed";
        return -1;
    }
    if (status == SEC_I_CONTINUE_NEEDED) {
        keep_extra(tls, &in_buffers[1], 1);
        return 0;
    }
    if (status != SEC_E_OK) {
        tls->failure = handshake_failure(status);
        return -1;
    }
    // Bytes after the handshake's last message are the first records.
    keep_extra(tls, &in_buffers[1], 1);
    if (QueryContextAttributesA(&tls->context, SECPKG_ATTR_STREAM_SIZES, &tls->sizes) != SEC_E_OK ||
        tls->sizes.cbHeader + tls->sizes.cbMaximumMessage + tls->sizes.cbTrailer >
            static_cast<unsigned long>(RECORD_ROOM)) {
        tls->failure = "TLS handshake failed";
        return -1;
    }
    return certificate_trusted(tls) ? 1 : -1;
}

} // namespace

TlsSession* tls_open(NetSocket socket, const char* host_name)
{
    open_failure = "";
    if (!ready_credentials()) {
        open_failure = "TLS not available on this system";
        return nullptr;
    }
    TlsSession* tls = nullptr;
    for (TlsSession& slot : sessions) {
        tls = tls == nullptr && !slot.in_use ? &slot : tls;
    }
    if (tls == nullptr || std::strlen(host_name) >= sizeof tls->host_name) {
        open_failure = tls == nullptr ? "too many TLS sessions" : "host name too long";
        return nullptr;
    }
    std::memset(static_cast<void*>(tls), 0, sizeof *tls);
    tls->in_use = 1;
    tls->socket = static_cast<SOCKET>(socket);
    std::snprintf(tls->host_name, sizeof tls->host_name, "%s", host_name);
    return tls;
}

const char* tls_open_failure()
{
    return open_failure;
}

int tls_handshake(TlsSession* tls)
{
    if (tls->handshake_done) {
        return 1;
    }
    if (tls->failure != nullptr) {
        return -1;
    }
    for (int rounds = 0; rounds < 8; ++rounds) {
        const int flushed = flush_outgoing(tls);
        if (flushed < 0) {
            tls->failure = "the connection closed during the handshake";
            return -1;
        }
        if (flushed == 0) {
            return 0;
        }
        if (tls->has_context && (tls->incoming_length == 0 || tls->incoming_incomplete)) {
            const int filled = fill_incoming(tls);
            if (filled < 0) {
                tls->failure = "the connection closed during the handshake";
                return -1;
            }
            if (filled == 0) {
                return 0;
            }
            if (!looks_like_tls(tls)) {
                tls->failure = "the server does not speak TLS";
                return -1;
            }
        }
        const int round = handshake_round(tls);
        if (round < 0) {
            return -1;
        }
        if (round > 0) {
            // The last message of ours may still wait for the socket; the
            // next send or receive takes it out first.
            tls->handshake_done = 1;
            return flush_outgoing(tls) < 0 ? -1 : 1;
        }
    }
    return 0;
}

const char* tls_failure(const TlsSession* tls)
{
    return tls->failure != nullptr ? tls->failure : "";
}

int tls_recv_some(TlsSession* tls, char* buffer, int size)
{
    if (flush_outgoing(tls) < 0) {
        return TLS_FAILED;
    }
    while (tls->plain_length == 0) {
        if (tls->incoming_length == 0 || tls->incoming_incomplete) {
            const int filled = fill_incoming(tls);
            if (filled <= 0) {
                return filled;
            }
        }
        SecBuffer buffers[4] = {};
        buffers[0].BufferType = SECBUFFER_DATA;
        buffers[0].pvBuffer = tls->incoming;
        buffers[0].cbBuffer = static_cast<unsigned long>(tls->incoming_length);
        for (int i = 1; i < 4; ++i) {
            buffers[i].BufferType = SECBUFFER_EMPTY;
        }
        SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
        // incoming starts at a record: its type (visible up to TLS 1.2)
        // tells an alert from data.
        const int alert_record = static_cast<unsigned char>(tls->incoming[0]) == 21;
        const SECURITY_STATUS status = DecryptMessage(&tls->context, &description, 0, nullptr);
        if (status == SEC_E_INCOMPLETE_MESSAGE) {
            tls->incoming_incomplete = 1;
            continue;
        }
        if (status == SEC_I_CONTEXT_EXPIRED) {
            return TLS_CLOSED; // the server's closing message
        }
        if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE) {
            return TLS_FAILED;
        }
        const SecBuffer* data = nullptr;
        const SecBuffer* extra = nullptr;
        for (const SecBuffer& b : buffers) {
            data = b.BufferType == SECBUFFER_DATA && data == nullptr ? &b : data;
            extra = b.BufferType == SECBUFFER_EXTRA && extra == nullptr ? &b : extra;
        }
        if (data != nullptr && data->cbBuffer > 0) {
            std::memcpy(tls->plain, data->pvBuffer, data->cbBuffer);
            tls->plain_at = 0;
            tls->plain_length = static_cast<int>(data->cbBuffer);
        }
        keep_extra(tls, extra, 1);
        if (status == SEC_E_OK && alert_record && tls->plain_length == 0) {
            // Wine's SChannel gives the closing message as an alert record
            // decrypted to nothing, not as SEC_I_CONTEXT_EXPIRED (an alert
            // that leaves the session up is a warning a server sends only
            // to end it). Waiting for more would wait for the server's TCP
            // close, which a server may hold back for a minute.
            return TLS_CLOSED;
        }
        if (status == SEC_I_RENEGOTIATE) {
            // A message of the handshake's own after it (a TLS 1.3 ticket,
            // or a key update): given back to the handshake, which answers
            // it where it must.
            tls->handshake_done = 0;
            if (handshake_round(tls) < 0 || flush_outgoing(tls) < 0) {
                return TLS_FAILED;
            }
            tls->handshake_done = 1;
        }
    }
    const int count = size < tls->plain_length ? size : tls->plain_length;
    std::memcpy(buffer, tls->plain + tls->plain_at, static_cast<std::size_t>(count));
    tls->plain_at += count;
    tls->plain_length -= count;
    return count;
}

int tls_send_some(TlsSession* tls, const char* data, int size)
{
    const int flushed = flush_outgoing(tls);
    if (flushed <= 0) {
        return flushed < 0 ? TLS_FAILED : 0;
    }
    const int count = size < static_cast<int>(tls->sizes.cbMaximumMessage)
                          ? size
                          : static_cast<int>(tls->sizes.cbMaximumMessage);
    char* header = tls->outgoing;
    char* body = header + tls->sizes.cbHeader;
    std::memcpy(body, data, static_cast<std::size_t>(count));
    SecBuffer buffers[4] = {};
    buffers[0] = {tls->sizes.cbHeader, SECBUFFER_STREAM_HEADER, header};
    buffers[1] = {static_cast<unsigned long>(count), SECBUFFER_DATA, body};
    buffers[2] = {tls->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, body + count};
    buffers[3] = {0, SECBUFFER_EMPTY, nullptr};
    SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&tls->context, 0, &description, 0) != SEC_E_OK) {
        return TLS_FAILED;
    }
    tls->outgoing_length =
        static_cast<int>(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    // The record is the caller's bytes taken: it leaves with this call or
    // the next send or receive.
    return flush_outgoing(tls) < 0 ? TLS_FAILED : count;
}

int tls_pending(const TlsSession* tls)
{
    return tls->plain_length > 0 || tls->outgoing_length > 0 ||
           (tls->incoming_length > 0 && !tls->incoming_incomplete);
}

void tls_close(TlsSession* tls)
{
    if (tls == nullptr) {
        return;
    }
    if (tls->has_context) {
        DeleteSecurityContext(&tls->context);
    }
    tls->in_use = 0;
}
