// TLS on Linux: Debian's GnuTLS, linked dynamically, over the caller's
// non-blocking socket. Trusts the system's roots and, when SSL_CERT_FILE
// names a file, the PEM roots in it too (how a test trusts its own test
// authority, or an admin a corporate one). The certificate is checked by
// GnuTLS inside the handshake (chain, dates, host name, purpose); nothing
// turns that off. Cannot: client certificates, session resumption.
#include "platform/tls.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

struct TlsSession {
    gnutls_session_t session;
    int socket;
    char host_name[256];
    // What the handshake checks the certificate against; GnuTLS keeps a
    // pointer to these for the session's life.
    gnutls_typed_vdata_st checks[2];
    const char* failure;
    // The handshake's messages as GnuTLS writes them, a record at a time,
    // held until it waits for the server's answer to them or the handshake
    // ends: each flight leaves in one write. TLS 1.3's compatibility
    // ChangeCipherSpec, which GnuTLS writes right after the ServerHello,
    // needs no answer: it waits for the Finished (flight_answered 0).
    char flight[8192];
    int flight_length;
    int flight_answered;
    int handshake_done;
};

namespace {

gnutls_certificate_credentials_t credentials = nullptr;
int credentials_tried = 0;
const char* open_failure = "";

int ready_credentials()
{
    if (credentials_tried) {
        return credentials != nullptr;
    }
    credentials_tried = 1;
    if (gnutls_global_init() < 0 || gnutls_certificate_allocate_credentials(&credentials) < 0) {
        credentials = nullptr;
        return 0;
    }
    gnutls_certificate_set_x509_system_trust(credentials);
    const char* extra = std::getenv("SSL_CERT_FILE");
    if (extra != nullptr && extra[0] != '\0' &&
        gnutls_certificate_set_x509_trust_file(credentials, extra, GNUTLS_X509_FMT_PEM) < 0) {
        std::fprintf(stderr, "tls: no certificates read from SSL_CERT_FILE %.300s\n", extra);
    }
    return 1;
}

// The verification's outcome in the words a player or publisher knows.
const char* verify_failure(unsigned int status)
{
    if (status & GNUTLS_CERT_EXPIRED) {
        return "certificate expired";
    }
    if (status & GNUTLS_CERT_NOT_ACTIVATED) {
        return "certificate not valid yet";
    }
    if (status & GNUTLS_CERT_UNEXPECTED_OWNER) {
        return "certificate for another host";
    }
    if (status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) {
        return "unknown certificate authority";
    }
    if (status & GNUTLS_CERT_PURPOSE_MISMATCH) {
        return "certificate not for a web server";
    }
    if (status & GNUTLS_CERT_REVOKED) {
        return "certificate revoked";
    }
    if (status & GNUTLS_CERT_INSECURE_ALGORITHM) {
        return "certificate signed with an insecure algorithm";
    }
    return "certificate not trusted";
}

// Whether the server has closed the connection (or reset it): nothing more
// can come.
int peer_closed(const TlsSession* tls)
{
    char byte;
    const ssize_t got = recv(tls->socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Sends what flight holds: 1 when all of it went, 0 when some waits for
// the socket, -1 when the connection failed (errno says how).
int send_flight(TlsSession* tls)
{
    while (tls->flight_length > 0) {
        const ssize_t sent = send(tls->socket, tls->flight,
                                  static_cast<std::size_t>(tls->flight_length), MSG_NOSIGNAL);
        if (sent < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
        }
        std::memmove(tls->flight, tls->flight + sent,
                     static_cast<std::size_t>(tls->flight_length - sent));
        tls->flight_length -= static_cast<int>(sent);
    }
    tls->flight_answered = 0;
    return 1;
}

// GnuTLS's transport: a held flight goes out before anything else is sent
// and before a receive that waits for the server's answer to it.
int flight_sent(TlsSession* tls)
{
    const int flushed = send_flight(tls);
    if (flushed <= 0) {
        gnutls_transport_set_errno(tls->session, flushed == 0 ? EAGAIN : errno);
    }
    return flushed > 0;
}

ssize_t push_records(gnutls_transport_ptr_t context, const void* data, std::size_t size)
{
    auto* tls = static_cast<TlsSession*>(context);
    if (!tls->handshake_done &&
        size <= sizeof tls->flight - static_cast<std::size_t>(tls->flight_length)) {
        std::memcpy(tls->flight + tls->flight_length, data, size);
        tls->flight_length += static_cast<int>(size);
        constexpr unsigned char change_cipher_spec = 20;
        if (size > 0 && static_cast<const unsigned char*>(data)[0] != change_cipher_spec) {
            tls->flight_answered = 1;
        }
        return static_cast<ssize_t>(size);
    }
    if (!flight_sent(tls)) {
        return -1;
    }
    const ssize_t sent = send(tls->socket, data, size, MSG_NOSIGNAL);
    if (sent < 0) {
        gnutls_transport_set_errno(tls->session, errno == EWOULDBLOCK ? EAGAIN : errno);
    }
    return sent;
}

ssize_t pull_records(gnutls_transport_ptr_t context, void* buffer, std::size_t size)
{
    auto* tls = static_cast<TlsSession*>(context);
    if (tls->flight_answered && !flight_sent(tls)) {
        return -1;
    }
    const ssize_t got = recv(tls->socket, buffer, size, 0);
    if (got < 0) {
        gnutls_transport_set_errno(tls->session, errno == EWOULDBLOCK ? EAGAIN : errno);
    }
    return got;
}

int wait_for_records(gnutls_transport_ptr_t context, unsigned int timeout_ms)
{
    auto* tls = static_cast<TlsSession*>(context);
    pollfd entry = {tls->socket, POLLIN, 0};
    const int wait = timeout_ms == GNUTLS_INDEFINITE_TIMEOUT ? -1 : static_cast<int>(timeout_ms);
    return poll(&entry, 1, wait);
}

} // namespace

TlsSession* tls_open(NetSocket socket, const char* host_name)
{
    open_failure = "";
    if (!ready_credentials()) {
        open_failure = "TLS library not usable";
        return nullptr;
    }
    auto* tls = new (std::nothrow) TlsSession{};
    if (tls == nullptr || std::strlen(host_name) >= sizeof tls->host_name) {
        delete tls;
        open_failure = "host name too long";
        return nullptr;
    }
    std::snprintf(tls->host_name, sizeof tls->host_name, "%s", host_name);
    if (gnutls_init(&tls->session, GNUTLS_CLIENT | GNUTLS_NONBLOCK) < 0) {
        delete tls;
        open_failure = "TLS library not usable";
        return nullptr;
    }
    const int good =
        gnutls_set_default_priority(tls->session) >= 0 &&
        gnutls_credentials_set(tls->session, GNUTLS_CRD_CERTIFICATE, credentials) >= 0 &&
        gnutls_server_name_set(tls->session, GNUTLS_NAME_DNS, tls->host_name,
                               std::strlen(tls->host_name)) >= 0;
    if (!good) {
        gnutls_deinit(tls->session);
        delete tls;
        open_failure = "TLS library not usable";
        return nullptr;
    }
    // Chain, dates, the host name and the purpose (a certificate for TLS
    // clients only is refused), checked inside the handshake.
    tls->checks[0].type = GNUTLS_DT_DNS_HOSTNAME;
    tls->checks[0].data = reinterpret_cast<unsigned char*>(tls->host_name);
    tls->checks[1].type = GNUTLS_DT_KEY_PURPOSE_OID;
    tls->checks[1].data =
        reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER));
    gnutls_session_set_verify_cert2(tls->session, tls->checks, 2, 0);
    tls->socket = static_cast<int>(socket);
    gnutls_transport_set_ptr(tls->session, tls);
    gnutls_transport_set_push_function(tls->session, push_records);
    gnutls_transport_set_pull_function(tls->session, pull_records);
    gnutls_transport_set_pull_timeout_function(tls->session, wait_for_records);
    gnutls_handshake_set_timeout(tls->session, 0); // the caller's limits apply
    return tls;
}

const char* tls_open_failure()
{
    return open_failure;
}

int tls_handshake(TlsSession* tls)
{
    const int result = gnutls_handshake(tls->session);
    if (result == GNUTLS_E_SUCCESS) {
        // The last flight leaves now; what the socket does not take yet
        // goes before the first request's bytes.
        tls->handshake_done = 1;
        if (send_flight(tls) < 0) {
            tls->failure = "the connection closed during the handshake";
            return -1;
        }
        return 1;
    }
    if (result == GNUTLS_E_AGAIN || result == GNUTLS_E_INTERRUPTED ||
        !gnutls_error_is_fatal(result)) {
        return 0;
    }
    if (result == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
        tls->failure = verify_failure(gnutls_session_get_verify_cert_status(tls->session));
    } else if (result == GNUTLS_E_UNEXPECTED_PACKET_LENGTH && peer_closed(tls)) {
        // A record cut short by the server's close reads as a wrong length.
        tls->failure = "the connection closed during the handshake";
    } else if (result == GNUTLS_E_UNEXPECTED_PACKET_LENGTH ||
               result == GNUTLS_E_UNSUPPORTED_VERSION_PACKET ||
               result == GNUTLS_E_UNEXPECTED_PACKET) {
        tls->failure = "the server does not speak TLS";
    } else if (result == GNUTLS_E_PREMATURE_TERMINATION || result == GNUTLS_E_PUSH_ERROR ||
               result == GNUTLS_E_PULL_ERROR) {
        tls->failure = "the connection closed during the handshake";
    } else {
        tls->failure = gnutls_strerror(result);
    }
    return -1;
}

const char* tls_failure(const TlsSession* tls)
{
    return tls->failure != nullptr ? tls->failure : "";
}

int tls_recv_some(TlsSession* tls, char* buffer, int size)
{
    const ssize_t got = gnutls_record_recv(tls->session, buffer, static_cast<std::size_t>(size));
    if (got > 0) {
        return static_cast<int>(got);
    }
    if (got == GNUTLS_E_AGAIN || got == GNUTLS_E_INTERRUPTED || got == GNUTLS_E_REHANDSHAKE) {
        return 0;
    }
    // 0 is the server's closing message; a TCP close without it is a
    // possible cut, which only HTTP's lengths can clear.
    if (got == 0) {
        return TLS_CLOSED;
    }
    return got == GNUTLS_E_PREMATURE_TERMINATION ? TLS_CUT : TLS_FAILED;
}

int tls_send_some(TlsSession* tls, const char* data, int size)
{
    const ssize_t sent = gnutls_record_send(tls->session, data, static_cast<std::size_t>(size));
    if (sent >= 0) {
        return static_cast<int>(sent);
    }
    return sent == GNUTLS_E_AGAIN || sent == GNUTLS_E_INTERRUPTED ? 0 : TLS_FAILED;
}

int tls_pending(const TlsSession* tls)
{
    return gnutls_record_check_pending(tls->session) > 0 ? 1 : 0;
}

void tls_close(TlsSession* tls)
{
    if (tls == nullptr) {
        return;
    }
    gnutls_deinit(tls->session);
    delete tls;
}
