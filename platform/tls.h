// TLS for https:// over a connected non-blocking socket, with the system's
// own library: SChannel through SSPI on Windows (platform/win32/
// tls_schannel.cpp), GnuTLS on Linux (platform/posix/tls_gnutls.cpp).
//
// Certificates are always checked: a chain to a root the system trusts,
// the host name (also sent as SNI) and the validity dates. There is no way
// to turn the check off. Linux trusts the system's roots and, when
// SSL_CERT_FILE names a file, the roots in it as well; Windows trusts the
// user's and the machine's root stores.
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
// closed the connection (with or without TLS's closing message: HTTP's
// own lengths tell a cut body); -2 when the connection or TLS failed.
int tls_recv_some(TlsSession* session, char* buffer, int size);
int tls_send_some(TlsSession* session, const char* data, int size);

// 1 when received bytes wait inside the session: the socket may then show
// nothing to read although a receive would give bytes.
int tls_pending(const TlsSession* session);

// Ends the session (the socket stays open for the caller to close). Null:
// nothing.
void tls_close(TlsSession* session);
