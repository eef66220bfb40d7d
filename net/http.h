// A polled HTTP/1.0 GET client: one URL at a time over one TCP connection
// (http://, or https:// through the system's TLS: platform/tls.h), the
// response body streamed into a file. The caller starts a transfer, calls
// http_poll once per pass of its loop until it returns 0, then reads
// status_code and body_bytes. Only the start blocks: name resolution, and
// the connection for at most connect_timeout_ms; a TLS handshake and a
// proxy's CONNECT are polled like the rest. A redirect from https:// never
// goes down to http://.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <cstdio>

constexpr int HTTP_BUFFER_SIZE = 16384;
constexpr int HTTP_TEXT_SIZE = 4096;
constexpr int HTTP_USER_AGENT_SIZE = 128;
constexpr int HTTP_VALIDATOR_SIZE = 256;
// The most redirects one transfer follows; a sixth is a failed transfer.
constexpr int HTTP_REDIRECT_LIMIT = 5;

struct HttpProxy;
struct RateLimit;
struct TlsSession;

enum HttpState : std::int32_t {
    HTTP_IDLE = 0,
    HTTP_CONNECTING = 1,
    HTTP_STATUS_LINE = 2,
    HTTP_HEADERS = 3,
    HTTP_BODY = 4,
    HTTP_TUNNEL = 5,    // https through a proxy: waiting for CONNECT's answer
    HTTP_HANDSHAKE = 6, // https: the TLS handshake
};

// Why the last transfer failed, for callers that tell the player or the
// publisher; HTTP_FAILED_NONE while it goes well and after a status was read
// from a whole reply.
enum HttpFailure : std::int32_t {
    HTTP_FAILED_NONE = 0,
    HTTP_FAILED_FILE = 2,       // the output path cannot be written: no request made
    HTTP_FAILED_CONNECT = 3,    // name not resolved, refused, or no answer in time
    HTTP_FAILED_SILENT = 4,     // no byte for longer than the idle limit
    HTTP_FAILED_HEAD = 5,       // the head never ended, or a line or the whole was too long
    HTTP_FAILED_SHORT_BODY = 6, // short of Content-Length; https: ended without close_notify
    HTTP_FAILED_TOO_LARGE = 7,  // the body passed the body limit
    HTTP_FAILED_IO = 8,         // a socket error
    HTTP_FAILED_WRITE = 9,      // the body could not be stored (a full disk, a file gone)
    HTTP_FAILED_SLOW = 10,      // fewer bytes than the low-rate limit in one of its windows
    HTTP_FAILED_TIME = 11,      // the transfer passed its time limit
    HTTP_FAILED_RANGE = 12,     // a 206 for another range or total than asked: nothing stored
    HTTP_FAILED_REDIRECT = 13,  // a sixth redirect, or one to a target it cannot follow
    HTTP_FAILED_TLS = 14,       // the TLS handshake failed or the certificate was refused
};

// Limits a fresh client starts with; callers may change the fields between
// transfers.
constexpr int HTTP_CONNECT_TIMEOUT_MS = 10000;
constexpr int HTTP_IDLE_TIMEOUT_MS = 60000;
constexpr std::int64_t HTTP_BODY_LIMIT = INT64_MAX / 2;
// A link so slow that fewer bytes than these arrive in a window of this
// length is as good as gone: a byte every 25 s would otherwise hold a
// transfer for ever, while any real link, however slow, brings more.
constexpr std::int32_t HTTP_LOW_RATE_WINDOW_MS = 60000;
constexpr std::int64_t HTTP_LOW_RATE_BYTES = 1024;

// The most bytes a reply's head (status line and header lines with their
// line ends, and the empty line) may take: past it the transfer fails.
constexpr std::int32_t HTTP_HEAD_LIMIT = 64 * 1024;

struct HttpClient {
    NetSocket socket_handle;
    char request_text[HTTP_BUFFER_SIZE];
    std::int32_t request_pending;
    char response_data[HTTP_BUFFER_SIZE];
    std::int32_t response_len;
    HttpState transfer_state;
    std::int32_t active;
    std::int32_t connected;
    std::int32_t status_code;
    // The status line's code, kept when the transfer then fails (status_code
    // is -1 then); 0 until a status line was read.
    std::int32_t reply_status;
    char user_agent[HTTP_USER_AGENT_SIZE];
    char url[HTTP_TEXT_SIZE];
    char host_name[HTTP_TEXT_SIZE];
    std::int32_t port;
    char request_path[HTTP_TEXT_SIZE];
    // Where the body goes (empty for http_get), and the file once the body
    // has started: an existing file there keeps every byte until then.
    char out_path[HTTP_TEXT_SIZE];
    std::FILE* out_file;
    std::int64_t body_bytes;
    // Body bytes received, also by http_get, which stores none.
    std::int64_t body_received;
    // Content-Length when the reply announced one, else -1.
    std::int64_t content_length;
    HttpFailure failure;
    // A body growing past body_limit bytes ends the transfer with -1.
    std::int64_t body_limit;
    // The longest wait for a connection, and for the next byte once connected.
    std::int32_t connect_timeout_ms;
    std::int32_t idle_timeout_ms;
    // The longest a transfer may take from its start; 0 for no limit.
    std::int32_t time_limit_ms;
    // Fewer than low_rate_bytes received in a window of low_rate_window_ms
    // ends the transfer; a window of 0 turns the limit off.
    std::int32_t low_rate_window_ms;
    std::int64_t low_rate_bytes;
    // Monotonic times (clock_monotonic_ms) of the transfer's start, its last
    // byte and the start of its current low-rate window, and the bytes
    // received in that window.
    std::int64_t started_ms;
    std::int64_t last_activity_ms;
    std::int64_t window_start_ms;
    std::int64_t window_bytes;
    // Bytes of the reply's head taken so far.
    std::int32_t head_bytes;
    // The range the transfer asked for (http_get_range_to_file): from
    // range_from on, of a file expected_total long (-1: any), with if_range
    // as its If-Range validator; range_from 0 for the whole file.
    std::int64_t range_from;
    // One past the last byte asked for (http_get_span_to_file); 0 for the
    // rest of the file.
    std::int64_t range_to;
    std::int64_t expected_total;
    char if_range[HTTP_VALIDATOR_SIZE];
    // From the reply's head: its validator (a strong ETag, else
    // Last-Modified; empty when none), its Content-Range start, last byte
    // and total (-1 when none) and its Location.
    char validator[HTTP_VALIDATOR_SIZE];
    std::int64_t range_start;
    std::int64_t range_end;
    std::int64_t range_total;
    // The reply came with a Transfer-Encoding other than identity (chunks).
    std::int32_t coded_body;
    char location[HTTP_TEXT_SIZE];
    // Redirects this transfer followed (301, 302, 303, 307, 308 with a
    // Location, each to an http:// target; the last URL is in url).
    std::int32_t redirects;
    // The most redirects a transfer follows (HTTP_REDIRECT_LIMIT); 0 to
    // follow none and take a redirect's reply as any other.
    std::int32_t redirect_limit;
    // Set by the caller, null for none: the proxy requests go through where
    // it serves their host, and the rate limit every receive keeps to.
    const HttpProxy* proxy;
    RateLimit* rate_limit;
    // Whether the current connection goes to the proxy.
    std::int32_t via_proxy;
    // https: the proxy for https:// URLs (set by the caller, null for none;
    // reached with CONNECT), the TLS session of the current connection, and
    // why the last handshake failed ("certificate expired", ...).
    const HttpProxy* secure_proxy;
    std::int32_t secure;
    TlsSession* tls;
    char tls_failure[128];
    // Called once the reply's body has its file (a 206 appended to, a 200
    // written from the first byte), before the first body byte is stored:
    // a caller records there what it must know about the file before it
    // grows. Null for none; a transfer's start clears it, so it is set
    // after the start, for that transfer only.
    void (*body_starts)(const HttpClient* client, void* context);
    void* body_starts_context;
    // The TLS connection closed without TLS's closing message: a body that
    // ends with the connection (no Content-Length) may be cut, and fails.
    std::int32_t tls_cut;
};

void http_init(HttpClient* client);
void http_set_user_agent(HttpClient* client, const char* text);
int http_get_to_file(HttpClient* client, const char* url, const char* output_path);

// The same for the rest of a file: asks for the bytes from range_from on
// ("Range: bytes=N-", with "If-Range: <validator>" when one is given). A 206
// whose Content-Range starts at range_from (and totals expected_total when
// that is not -1) is appended to output_path; a 200 replaces it from the
// first byte; any other reply leaves it as it was (its body is not stored;
// a 206 that does not fit fails with HTTP_FAILED_RANGE). range_from 0 is
// http_get_to_file.
int http_get_range_to_file(HttpClient* client, const char* url, const char* output_path,
                           std::int64_t range_from, const char* validator,
                           std::int64_t expected_total);

// The bytes [range_from, range_to) of a file of expected_total bytes
// ("Range: bytes=F-L", L = range_to - 1; If-Range as above), appended to
// output_path when the 206 is exactly that span of that total. A 200 (a
// server that ignores ranges) replaces output_path with the whole file,
// its body limit then expected_total + 1; any other reply stores nothing.
int http_get_span_to_file(HttpClient* client, const char* url, const char* output_path,
                          std::int64_t range_from, std::int64_t range_to, const char* validator,
                          std::int64_t expected_total);
int http_get(HttpClient* client, const char* url);
int http_poll(HttpClient* client);
int http_is_active(const HttpClient* client);

// 1 when url's scheme is https, in any letter case (as the client reads it).
int http_url_is_https(const char* url);

// Waits up to timeout_ms for the server while the transfer has sent its
// request and holds nothing unread, so that a quiet server costs no
// spinning; returns at once otherwise. quorvelctl waits here between polls;
// the launcher waits a millisecond at a time, so its window stays live.
void http_wait(const HttpClient* client, int timeout_ms);
