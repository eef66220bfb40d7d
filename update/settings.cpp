#include "update/settings.h"

#include "catalog/catalog.h"
#include "platform/platform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The text with blanks around it removed, in place.
char* trimmed(char* text)
{
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    std::size_t n = std::strlen(text);
    while (n > 0 && std::isspace(static_cast<unsigned char>(text[n - 1]))) {
        text[--n] = '\0';
    }
    return text;
}

// A whole decimal number of KiB/s: up to 1 TiB/s, which no line reaches.
int parse_rate(const char* text, std::int64_t* rate)
{
    std::int64_t value = 0;
    const char* c = text;
    for (; *c >= '0' && *c <= '9' && value <= (1LL << 30); ++c) {
        value = value * 10 + (*c - '0');
    }
    if (c == text || *c != '\0' || value > (1LL << 30)) {
        return 0;
    }
    *rate = value;
    return 1;
}

} // namespace

int settings_load(const char* path, UpdateSettings* settings)
{
    std::memset(settings, 0, sizeof *settings);
    std::FILE* file = fs_is_file(path) ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return fs_exists(path) ? 0 : 1;
    }
    char line[CATALOG_TEXT_SIZE];
    int number = 0;
    while (read_line(file, line, sizeof line)) {
        ++number;
        char* text = trimmed(line);
        if (text[0] == '\0' || text[0] == '#' || text[0] == ';' || text[0] == '[') {
            continue;
        }
        char* equals = std::strchr(text, '=');
        const char* problem = nullptr;
        if (equals == nullptr) {
            problem = "no \"key = value\"";
        } else {
            *equals = '\0';
            const char* key = trimmed(text);
            const char* value = trimmed(equals + 1);
            if (std::strcmp(key, "max_rate_kib") == 0) {
                if (!parse_rate(value, &settings->max_rate_kib)) {
                    problem = "max_rate_kib is a whole number of KiB/s (0: no limit)";
                }
            } else if (std::strcmp(key, "proxy") == 0) {
                if (std::strlen(value) >= sizeof settings->proxy) {
                    problem = "proxy too long";
                } else {
                    std::snprintf(settings->proxy, sizeof settings->proxy, "%s", value);
                    settings->has_proxy = 1;
                }
            } else {
                problem = "unknown key";
            }
        }
        if (problem != nullptr) {
            std::fprintf(stderr, "settings: %.200s line %d left out: %s\n", path, number, problem);
        }
    }
    std::fclose(file);
    return 1;
}

int settings_proxy(const UpdateSettings* settings, int secure, HttpProxy* proxy)
{
    std::memset(proxy, 0, sizeof *proxy);
    char url[HTTP_TEXT_SIZE];
    char bypass[PROXY_BYPASS_SIZE];
    const int from_system = net_system_proxy(secure, url, sizeof url, bypass, sizeof bypass);
    const char* chosen = settings->has_proxy ? settings->proxy : (from_system ? url : "");
    if (chosen[0] == '\0') {
        return 0;
    }
    if (!http_proxy_parse(chosen, from_system ? bypass : "", proxy)) {
        std::fprintf(stderr, "proxy not used: \"%.200s\" is no http://host:port\n", chosen);
        return 0;
    }
    return 1;
}
