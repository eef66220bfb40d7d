// The system proxy on Linux: the environment, as every command-line HTTP
// tool there reads it. DEPENDS ON: nothing but the C library.
// LIMITATIONS: no desktop proxy settings (GNOME, KDE) are read.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* first_set(const char* lower, const char* upper)
{
    const char* value = std::getenv(lower);
    if (value == nullptr || value[0] == '\0') {
        value = std::getenv(upper);
    }
    return value != nullptr ? value : "";
}

} // namespace

int net_system_proxy(int secure, char* url, int url_size, char* bypass, int bypass_size)
{
    const char* proxy =
        secure ? first_set("https_proxy", "HTTPS_PROXY") : first_set("http_proxy", "HTTP_PROXY");
    const char* skip = first_set("no_proxy", "NO_PROXY");
    if (proxy[0] == '\0' || std::strlen(proxy) >= static_cast<std::size_t>(url_size) ||
        std::strlen(skip) >= static_cast<std::size_t>(bypass_size)) {
        url[0] = '\0';
        bypass[0] = '\0';
        return 0;
    }
    std::snprintf(url, static_cast<std::size_t>(url_size), "%s", proxy);
    std::snprintf(bypass, static_cast<std::size_t>(bypass_size), "%s", skip);
    return 1;
}
