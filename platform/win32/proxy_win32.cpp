// The system proxy on Windows: the user's Internet Settings, the ones the
// system's own HTTP stack and browsers use.
// DEPENDS ON: ADVAPI32 (the registry).
// LIMITATIONS: a manual proxy only; automatic configuration (a PAC script,
// WPAD) is not evaluated.
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char INTERNET_SETTINGS[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

int read_text(HKEY key, const char* name, char* out, DWORD size)
{
    DWORD type = 0;
    DWORD bytes = size - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(out), &bytes) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        out[0] = '\0';
        return 0;
    }
    out[bytes < size ? bytes : size - 1] = '\0';
    return 1;
}

} // namespace

int net_system_proxy(int secure, char* url, int url_size, char* bypass, int bypass_size)
{
    url[0] = '\0';
    bypass[0] = '\0';
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, INTERNET_SETTINGS, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD enabled = 0;
    DWORD type = 0;
    DWORD bytes = sizeof enabled;
    char server[1024];
    char override_list[2048];
    const int found =
        RegQueryValueExA(key, "ProxyEnable", nullptr, &type, reinterpret_cast<BYTE*>(&enabled),
                         &bytes) == ERROR_SUCCESS &&
        type == REG_DWORD && enabled != 0 && read_text(key, "ProxyServer", server, sizeof server);
    if (found) {
        read_text(key, "ProxyOverride", override_list, sizeof override_list);
    }
    RegCloseKey(key);
    if (!found) {
        return 0;
    }
    // "host:port" for every scheme, or "http=host:port;https=host:port".
    const char* chosen = server;
    const char* entry_name = secure ? "https=" : "http=";
    const char* entry = nullptr;
    for (const char* at = server; at != nullptr && entry == nullptr;) {
        // Entries start the text or follow a ";" (so "https=" is never
        // taken for "http=").
        if (std::strncmp(at, entry_name, std::strlen(entry_name)) == 0) {
            entry = at + std::strlen(entry_name);
        }
        at = std::strchr(at, ';');
        at = at != nullptr ? at + 1 : nullptr;
    }
    if (std::strchr(server, '=') != nullptr) {
        if (entry == nullptr) {
            return 0;
        }
        chosen = entry;
    }
    const int length = static_cast<int>(std::strcspn(chosen, ";"));
    const int written =
        std::snprintf(url, static_cast<std::size_t>(url_size), "http://%.*s", length, chosen);
    const int bypass_written =
        std::snprintf(bypass, static_cast<std::size_t>(bypass_size), "%s", override_list);
    if (length == 0 || written <= 0 || written >= url_size || bypass_written < 0 ||
        bypass_written >= bypass_size) {
        url[0] = '\0';
        bypass[0] = '\0';
        return 0;
    }
    return 1;
}
