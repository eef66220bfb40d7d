#include "catalog/catalog.h"

#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>

CatalogEntry* entry_new()
{
    auto* entry = static_cast<CatalogEntry*>(std::calloc(1, sizeof(CatalogEntry)));
    // calloc gives the fresh state: kind 0, empty texts, size, crc, update 0,
    // next null.
    return entry;
}

int read_line(std::FILE* stream, char* buffer, int n)
{
    if (n < 2) {
        // fgets needs room for one byte and the terminator to make progress.
        return 0;
    }
    if (std::fgets(buffer, n, stream) == nullptr) {
        return 0;
    }
    const int len = static_cast<int>(std::strlen(buffer));
    for (int pos = len - 1; pos >= len - 3; --pos) {
        if (pos < 1) {
            break;
        }
        if (buffer[pos] == '\r' || buffer[pos] == '\n') {
            buffer[pos] = '\0';
        }
    }
    return 1;
}

namespace {

// A size line as atoi reads it (white space, sign, digits), kept inside the
// 32-bit range the catalog can describe instead of overflowing.
std::int64_t parse_size(const char* text)
{
    while (std::isspace(static_cast<unsigned char>(*text))) {
        ++text;
    }
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    std::int64_t value = 0;
    while (*text >= '0' && *text <= '9') {
        value = value * 10 + (*text - '0');
        if (value > 2147483648LL) {
            value = 2147483648LL;
        }
        ++text;
    }
    if (negative) {
        return -value;
    }
    return value > 2147483647LL ? 2147483647LL : value;
}

std::uint32_t parse_crc(const char* text)
{
    unsigned int crc = 0;
    if (std::sscanf(text, "%8X", &crc) != 1) {
        return 0;
    }
    return crc;
}

// "%s/%s" of prefix and name, or name alone when the prefix is empty.
// 0 when the result would not fit; out is then empty.
int compose(char* out, const char* prefix, const char* name)
{
    int written = 0;
    if (prefix[0] != '\0') {
        written = std::snprintf(out, CATALOG_TEXT_SIZE, "%s/%s", prefix, name);
    } else {
        written = std::snprintf(out, CATALOG_TEXT_SIZE, "%s", name);
    }
    if (written < 0 || written >= CATALOG_TEXT_SIZE) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

// Windows opens a device, not a file, for these names in any folder, in any
// case, with any extension and with trailing spaces: "con", "NUL.txt",
// "maps/com1.pak", "AUX .x". A catalog is portable, so both builds refuse
// them. part holds length bytes of one path component.
int is_device_name(const char* part, std::ptrdiff_t length)
{
    std::ptrdiff_t base = 0;
    while (base < length && part[base] != '.') {
        ++base;
    }
    while (base > 0 && part[base - 1] == ' ') {
        --base;
    }
    char upper[8] = {};
    if (base < 3 || base > 7) {
        return 0;
    }
    for (std::ptrdiff_t i = 0; i < base; ++i) {
        upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(part[i])));
    }
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* name : fixed) {
        if (std::strcmp(upper, name) == 0) {
            return 1;
        }
    }
    return base == 4 &&
           (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0) &&
           upper[3] >= '1' && upper[3] <= '9';
}

} // namespace

int catalog_name_is_safe(const char* name)
{
    if (is_separator(name[0])) {
        return 0; // "/x", "\x" and "\\host\x"
    }
    if (std::strchr(name, ':') != nullptr) {
        return 0; // "C:x", "C:\x" and alternate data streams
    }
    const char* part = name;
    while (true) {
        const char* end = part;
        while (*end != '\0' && !is_separator(*end)) {
            ++end;
        }
        if (end - part == 2 && part[0] == '.' && part[1] == '.') {
            return 0;
        }
        if (is_device_name(part, end - part)) {
            return 0;
        }
        if (*end == '\0') {
            return 1;
        }
        part = end + 1;
    }
}

CatalogEntry* catalog_load(const char* path, const char* local_prefix, const char* url_prefix)
{
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    CatalogEntry* head = nullptr;
    char line[CATALOG_TEXT_SIZE] = {};
    while (read_line(file, line, CATALOG_TEXT_SIZE)) {
        EntryKind kind = ENTRY_NONE;
        if (std::strncmp(line, "FILE", 4) == 0) {
            kind = ENTRY_FILE;
        } else if (std::strncmp(line, "EXE", 3) == 0) {
            kind = ENTRY_EXE;
        } else if (std::strncmp(line, "NOTES", 3) == 0) {
            kind = ENTRY_NOTES;
        } else {
            continue;
        }
        CatalogEntry* entry = entry_new();
        if (entry == nullptr) {
            // A partial list could pass for a complete game; give up the
            // whole load so the caller treats the catalog as missing.
            std::fprintf(stderr, "catalog: out of memory loading %s\n", path);
            catalog_free(&head);
            std::fclose(file);
            return nullptr;
        }
        entry->kind = kind;
        // At the end of the file the remaining reads find nothing: the names
        // stay empty and the numbers are parsed from whatever the line
        // buffer still holds, as a record cut short is still kept.
        read_line(file, entry->url_name, CATALOG_TEXT_SIZE);
        const int url_fits = compose(entry->url, url_prefix, entry->url_name);
        read_line(file, line, CATALOG_TEXT_SIZE);
        entry->size = parse_size(line);
        read_line(file, line, CATALOG_TEXT_SIZE);
        entry->crc = parse_crc(line);
        read_line(file, entry->file_name, CATALOG_TEXT_SIZE);
        const int path_fits = compose(entry->local_path, local_prefix, entry->file_name);

        // A cut path would name another file, and an unsafe name would reach
        // outside the data directory: such records are dropped, not trimmed.
        const char* problem = nullptr;
        if (!catalog_name_is_safe(entry->file_name)) {
            problem = "unsafe file name";
        } else if (!url_fits) {
            problem = "URL too long";
        } else if (!path_fits) {
            problem = "local path too long";
        }
        if (problem != nullptr) {
            std::fprintf(stderr, "catalog: skipping record \"%.200s\": %s\n", entry->file_name,
                         problem);
            std::free(entry);
            continue;
        }
        entry->next = head;
        head = entry;
    }
    std::fclose(file);
    return head;
}

void catalog_free(CatalogEntry** head)
{
    if (head == nullptr) {
        return;
    }
    CatalogEntry* entry = *head;
    while (entry != nullptr) {
        CatalogEntry* next = entry->next;
        std::free(entry);
        entry = next;
    }
    *head = nullptr;
}

void catalog_print(const CatalogEntry* head)
{
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        switch (e->kind) {
        case ENTRY_EXE: std::puts("Exe"); break;
        case ENTRY_FILE: std::puts("File"); break;
        case ENTRY_NOTES: std::puts("Notas"); break;
        default: break;
        }
        std::printf("URL: %s\n", e->url);
        std::printf("FILE: %s\n", e->local_path);
        std::printf("SIZE: %d\n", static_cast<int>(e->size));
        std::printf("CRC: %8X\n", static_cast<unsigned int>(e->crc));
        std::printf("Update: %d\n", static_cast<int>(e->update));
    }
}

int catalog_write_stream(const CatalogEntry* head, std::FILE* stream)
{
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        const char* keyword = "UNKNOW";
        switch (e->kind) {
        case ENTRY_EXE: keyword = "EXE"; break;
        case ENTRY_FILE: keyword = "FILE"; break;
        case ENTRY_NOTES: keyword = "NOTES"; break;
        default: break;
        }
        std::fprintf(stream, "%s\n%s\n%d\n%8X\n%s\n\n\n", keyword, e->url,
                     static_cast<int>(e->size), static_cast<unsigned int>(e->crc), e->local_path);
    }
    return std::ferror(stream) == 0 ? 1 : 0;
}

int catalog_write(const CatalogEntry* head, const char* path)
{
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        return 0;
    }
    const int written = catalog_write_stream(head, file);
    const int close_failed = std::fclose(file);
    return written && close_failed == 0 ? 1 : 0;
}
