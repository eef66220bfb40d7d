// TLS for https:// over a connected non-blocking socket, with the system's
// own library: SChannel through SSPI on Windows (platform/win32/
// tls_schannel.cpp), GnuTLS on Linux (platform/posix/tls_gnutls.cpp).
//
// Certificates are always checked: a chain to a root the system trusts,
// the host name (also sent as SNI), the validity dates and the purpose: a
// certificate whose extended key usage does not allow a web server (one
// for clientAuth only) is refused. There is no way to turn the check off.
// Linux trusts the system's roots and, when SSL_CERT_FILE names a file, the
// roots in it as well; Windows trusts the user's and the machine's root
// stores.
#pragma once

#include "platform/platform.h"

struct TlsSession;

// A client session over socket for host_name; null when none could be
// made (tls_open_failure says why). Nothing is sent until the handshake.
TlsSession* tls_open(NetSocket socket, const char* host_name);
const char* tls_open_failure();

// Advances the handshake without blocking: 1 when it is done, 0 while it
// waits for the network (call again), -1 when it failed (tls_failure says
// why, in plain words: "certificate expired", "certificate for another
// host", "unknown certificate authority", ...).
int tls_handshake(TlsSession* session);
const char* tls_failure(const TlsSession* session);

// After the handshake, as net_recv_some and net_send_some: the bytes
// received or taken; 0 when none could be (would block); -1 when the peer
// ended the session with TLS's closing message (close_notify; the TCP
// close is not waited for); -2 when the connection or TLS failed; -3 when
// the connection closed without the closing message, so that whatever
// came last may be cut (a body that ends with the connection is then not
// whole).
constexpr int TLS_CLOSED = -1;
constexpr int TLS_FAILED = -2;
constexpr int TLS_CUT = -3;
int tls_recv_some(TlsSession* session, char* buffer, int size);
int tls_send_some(TlsSession* session, const char* data, int size);

// 1 when received bytes wait inside the session: the socket may then show
// nothing to read although a receive would give bytes.
int tls_pending(const TlsSession* session);

// Ends the session (the socket stays open for the caller to close). Null:
// nothing.
void tls_close(TlsSession* session);
