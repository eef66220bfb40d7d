// Where a request goes: redirect targets resolved against the URL that
// answered, proxies (from the settings file or the system) with the hosts
// they do not serve, and the download rate limit. Pure text and arithmetic,
// for the client (net/http) and the update rules (update/); neither applies
// them yet (README: where the next pieces go).
#pragma once

#include "net/http.h"

#include <cstddef>
#include <cstdint>

// The absolute URL a Location header names, resolved against the URL of the
// request it answered: an absolute http:// or https:// URL as it stands
// (the scheme in any case), "//host/path" with the request's scheme, "/path"
// on the request's host, and any other text against the request path's
// folder ("a/b" from "/x/y" is "/x/a/b"); a fragment is dropped. 1 with the
// URL in out (size bytes); 0 for another scheme, an empty location, or a
// result that does not fit.
int http_resolve_location(const char* request_url, const char* location, char* out, int size);

// The port of a URL or proxy address: the length bytes of text after the
// host's colon, up to the path. Decimal digits only, at most five, 1 to
// 65535; a leading zero reads as decimal (080 is 80), as a URL's port is
// plain digits. A sign, a blank, any other character, no digits at all
// (a colon with nothing after it) or a number past 65535 is refused: such
// a port would reach another server than the one written. 1 with *port
// set; 0 otherwise, *port unchanged.
int http_parse_port(const char* text, std::size_t length, int* port);

// 1 when an http:// or https:// URL names no port or a good one
// (http_parse_port); 0 otherwise.
int http_url_port_is_valid(const char* url);

constexpr int PROXY_BYPASS_SIZE = 1024;

// An HTTP proxy for plain-HTTP requests.
struct HttpProxy {
    std::int32_t active;
    char host[HTTP_TEXT_SIZE];
    std::int32_t port;
    // "Basic <base64 of user:password>" when the URL carried credentials.
    char authorization[HTTP_TEXT_SIZE];
    // Hosts the proxy is not used for: names or suffixes separated by
    // commas, semicolons or blanks ("localhost,.example.com", "*.lan",
    // "<local>" for every name without a dot; "*" for all).
    char bypass[PROXY_BYPASS_SIZE];
};

// Reads "http://[user:password@]host[:port][/]" (the scheme may be left
// out; the port defaults to 80) into proxy with bypass as given (may be
// empty). 1 when it reads; 0, proxy inactive, otherwise (https:// proxies,
// a path, an empty host, a port outside 1-65535, a text that does not fit).
int http_proxy_parse(const char* url, const char* bypass, HttpProxy* proxy);

// 1 when the proxy serves requests to host (active and host not bypassed).
int http_proxy_serves(const HttpProxy* proxy, const char* host);

// The download rate limit: on average no more than bytes_per_second over a
// few seconds, spent in bursts of at most one second's worth. 0 for none.
struct RateLimit {
    std::int64_t bytes_per_second;
    std::int64_t allowance; // bytes that may be taken now
    std::int64_t last_ms;   // when the allowance was last topped up
};

void rate_limit_set(RateLimit* limit, std::int64_t bytes_per_second, std::int64_t now_ms);

// The bytes that may be taken now: cap when the limit is off; otherwise at
// most cap, and 0 while an overspent allowance is waited off
// (rate_limit_wait_ms).
std::int64_t rate_limit_allowance(RateLimit* limit, std::int64_t now_ms, std::int64_t cap);

// Counts bytes taken against the allowance.
void rate_limit_spend(RateLimit* limit, std::int64_t bytes);

// How long until at least one more byte may be taken (0: now).
int rate_limit_wait_ms(const RateLimit* limit);
