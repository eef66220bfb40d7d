#include "net/http_route.h"

#include "crypto/text_codings.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Length of the scheme ("http" or "https", any case) when text starts with
// it and "://"; 0 otherwise.
int web_scheme_length(const char* text)
{
    static const char* const schemes[] = {"https", "http"};
    for (const char* scheme : schemes) {
        const std::size_t n = std::strlen(scheme);
        bool same = true;
        for (std::size_t i = 0; i < n && same; ++i) {
            same = std::tolower(static_cast<unsigned char>(text[i])) == scheme[i];
        }
        if (same && std::strncmp(text + n, "://", 3) == 0) {
            return static_cast<int>(n);
        }
    }
    return 0;
}

int put(char* out, int size, const char* format, const char* a, int a_length, const char* b)
{
    const int n = std::snprintf(out, static_cast<std::size_t>(size), format, a_length, a, b);
    return n > 0 && n < size ? 1 : 0;
}

bool is_list_separator(char c)
{
    return c == ',' || c == ';' || c == ' ' || c == '\t';
}

bool ends_with_folded(const char* text, std::size_t text_length, const char* tail,
                      std::size_t tail_length)
{
    if (tail_length > text_length) {
        return false;
    }
    for (std::size_t i = 0; i < tail_length; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[text_length - tail_length + i])) !=
            std::tolower(static_cast<unsigned char>(tail[i]))) {
            return false;
        }
    }
    return true;
}

// One bypass entry against a host: "*" all, "<local>" names without a dot,
// "*.x" or ".x" the domain x and its hosts, "x" the host x and its
// sub-domains. A port in the entry is not compared.
bool bypass_matches(const char* entry, std::size_t length, const char* host)
{
    const std::size_t host_length = std::strlen(host);
    const char* colon = static_cast<const char*>(std::memchr(entry, ':', length));
    if (colon != nullptr && std::memchr(entry, ']', length) == nullptr) {
        length = static_cast<std::size_t>(colon - entry);
    }
    if (length == 1 && entry[0] == '*') {
        return true;
    }
    if (length == 7 && std::strncmp(entry, "<local>", 7) == 0) {
        return std::strchr(host, '.') == nullptr;
    }
    if (length > 0 && entry[0] == '*') {
        ++entry;
        --length;
    }
    if (length > 0 && entry[0] == '.') {
        ++entry;
        --length;
    }
    if (length == 0 || !ends_with_folded(host, host_length, entry, length)) {
        return false;
    }
    return host_length == length || host[host_length - length - 1] == '.';
}

} // namespace

int http_parse_port(const char* text, std::size_t length, int* port)
{
    if (length == 0 || length > 5) {
        return 0;
    }
    int value = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return 0;
        }
        value = value * 10 + (text[i] - '0');
    }
    if (value < 1 || value > 65535) {
        return 0;
    }
    *port = value;
    return 1;
}

int http_url_port_is_valid(const char* url)
{
    const int scheme = web_scheme_length(url);
    if (scheme == 0) {
        return 0;
    }
    const char* authority = url + scheme + 3;
    const std::size_t authority_length = std::strcspn(authority, "/");
    const char* colon = static_cast<const char*>(std::memchr(authority, ':', authority_length));
    if (colon == nullptr) {
        return 1;
    }
    int port = 0;
    return http_parse_port(
        colon + 1, authority_length - static_cast<std::size_t>(colon + 1 - authority), &port);
}

int http_resolve_location(const char* request_url, const char* location, char* out, int size)
{
    while (*location == ' ' || *location == '\t') {
        ++location;
    }
    std::size_t location_length = std::strcspn(location, "#");
    while (location_length > 0 &&
           (location[location_length - 1] == ' ' || location[location_length - 1] == '\t')) {
        --location_length;
    }
    const int request_scheme = web_scheme_length(request_url);
    if (location_length == 0 || request_scheme == 0 || size <= 0) {
        return 0;
    }
    const int length = static_cast<int>(location_length);
    if (web_scheme_length(location) != 0) {
        return put(out, size, "%.*s%s", location, length, "");
    }
    if (location[std::strcspn(location, ":/?")] == ':') {
        return 0; // another scheme (ftp:, file:, mailto:): a relative path has no colon first
    }
    // The request's scheme and authority, and its path without query.
    const char* authority = request_url + request_scheme + 3;
    const char* path = authority + std::strcspn(authority, "/?");
    if (location[0] == '/' && location[1] == '/') {
        const int n = std::snprintf(out, static_cast<std::size_t>(size), "%.*s:%.*s",
                                    request_scheme, request_url, length, location);
        return n > 0 && n < size ? 1 : 0;
    }
    const int origin_length = static_cast<int>(path - request_url);
    char rest[HTTP_TEXT_SIZE];
    if (location[0] == '/') {
        if (!put(rest, sizeof rest, "%.*s%s", location, length, "")) {
            return 0;
        }
    } else {
        // Against the folder of the request's path.
        const std::size_t path_length = std::strcspn(path, "?");
        std::size_t folder = path_length;
        while (folder > 0 && path[folder - 1] != '/') {
            --folder;
        }
        const int n = std::snprintf(rest, sizeof rest, "%.*s%.*s", static_cast<int>(folder),
                                    folder > 0 ? path : "/", length, location);
        if (n <= 0 || n >= static_cast<int>(sizeof rest)) {
            return 0;
        }
        if (folder == 0) {
            std::memmove(rest + 1, rest, std::strlen(rest) + 1);
            rest[0] = '/';
        }
    }
    return put(out, size, "%.*s%s", request_url, origin_length, rest);
}

int http_proxy_parse(const char* url, const char* bypass, HttpProxy* proxy)
{
    std::memset(proxy, 0, sizeof *proxy);
    const char* rest = url;
    const int scheme = web_scheme_length(url);
    if (scheme == 5) {
        return 0; // a TLS proxy is not spoken
    }
    if (scheme != 0) {
        rest += scheme + 3;
    }
    const std::size_t authority_length = std::strcspn(rest, "/");
    if (rest[authority_length] == '/' && rest[authority_length + 1] != '\0') {
        return 0;
    }
    char authority[HTTP_TEXT_SIZE];
    if (authority_length == 0 || authority_length >= sizeof authority ||
        std::strlen(bypass) >= sizeof proxy->bypass) {
        return 0;
    }
    std::memcpy(authority, rest, authority_length);
    authority[authority_length] = '\0';
    char* host = authority;
    char* at = std::strrchr(authority, '@');
    if (at != nullptr) {
        *at = '\0';
        host = at + 1;
        const int n = static_cast<int>(std::strlen(authority));
        std::memcpy(proxy->authorization, "Basic ", 6);
        if (base64_encode(reinterpret_cast<const std::uint8_t*>(authority), n,
                          proxy->authorization + 6, sizeof proxy->authorization - 6) < 0) {
            return 0;
        }
    }
    char* colon = std::strrchr(host, ':');
    int port = 80;
    if (colon != nullptr) {
        *colon = '\0';
        if (!http_parse_port(colon + 1, std::strlen(colon + 1), &port)) {
            return 0;
        }
    }
    if (host[0] == '\0') {
        return 0;
    }
    std::snprintf(proxy->host, sizeof proxy->host, "%s", host);
    proxy->port = port;
    std::snprintf(proxy->bypass, sizeof proxy->bypass, "%s", bypass);
    proxy->active = 1;
    return 1;
}

int http_proxy_serves(const HttpProxy* proxy, const char* host)
{
    if (proxy == nullptr || !proxy->active) {
        return 0;
    }
    for (const char* entry = proxy->bypass; *entry != '\0';) {
        while (is_list_separator(*entry)) {
            ++entry;
        }
        std::size_t length = 0;
        while (entry[length] != '\0' && !is_list_separator(entry[length])) {
            ++length;
        }
        if (length > 0 && bypass_matches(entry, length, host)) {
            return 0;
        }
        entry += length;
    }
    return 1;
}

void rate_limit_set(RateLimit* limit, std::int64_t bytes_per_second, std::int64_t now_ms)
{
    limit->bytes_per_second = bytes_per_second > 0 ? bytes_per_second : 0;
    limit->allowance = 0;
    limit->last_ms = now_ms;
}

std::int64_t rate_limit_allowance(RateLimit* limit, std::int64_t now_ms, std::int64_t cap)
{
    if (limit->bytes_per_second <= 0) {
        return cap;
    }
    if (now_ms > limit->last_ms) {
        // Topped up by what the time since gave, up to one second's worth:
        // a quiet spell never buys a burst past that.
        const std::int64_t earned = (now_ms - limit->last_ms) * limit->bytes_per_second / 1000;
        if (earned > 0) {
            limit->allowance += earned;
            limit->last_ms = now_ms;
        }
        if (limit->allowance > limit->bytes_per_second) {
            limit->allowance = limit->bytes_per_second;
        }
    } else if (now_ms < limit->last_ms) {
        limit->last_ms = now_ms;
    }
    if (limit->allowance <= 0) {
        return 0; // overspent by a receive larger than allowed: wait it off
    }
    return limit->allowance < cap ? limit->allowance : cap;
}

void rate_limit_spend(RateLimit* limit, std::int64_t bytes)
{
    if (limit->bytes_per_second > 0) {
        limit->allowance -= bytes;
    }
}

int rate_limit_wait_ms(const RateLimit* limit)
{
    if (limit->bytes_per_second <= 0 || limit->allowance > 0) {
        return 0;
    }
    const std::int64_t missing = 1 - limit->allowance;
    const std::int64_t ms =
        (missing * 1000 + limit->bytes_per_second - 1) / limit->bytes_per_second;
    return ms > 1000 ? 1000 : static_cast<int>(ms);
}
