// The settings a player or an admin may write into the data folder, in
// "quorvel-launcher.ini" (the launcher never creates it):
//   max_rate_kib = 500                       download limit in KiB/s; 0: none
//   proxy = http://[user:password@]host:port  for plain-HTTP requests
// One "key = value" a line; blank lines and lines starting with "#" or ";"
// are ignored, as is a "[section]" line. Read and parsed here only: neither
// the launcher nor quorvelctl sync applies them yet.
#pragma once

#include "net/http.h"
#include "net/http_route.h"

#include <cstdint>

constexpr char SETTINGS_FILE_NAME[] = "quorvel-launcher.ini";

struct UpdateSettings {
    std::int64_t max_rate_kib; // 0: no limit
    std::int32_t has_proxy;    // 1: proxy below wins over the system's
    char proxy[HTTP_TEXT_SIZE];
};

// Reads path into *settings (zeroed first). A missing file is no settings;
// a line it cannot take (an unknown key, a value out of range) is left out
// with one standard-error line. 1 when the file was read or is missing.
int settings_load(const char* path, UpdateSettings* settings);

// The proxy requests go through: the settings' own when they name one (an
// empty value: none at all), otherwise the system's. Its bypass list comes
// with it from the system. 1 with *proxy active, 0 (inactive) for none; an
// unreadable proxy URL gives one standard-error line and none.
int settings_proxy(const UpdateSettings* settings, int secure, HttpProxy* proxy);
