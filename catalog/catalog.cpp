#include "catalog/catalog.h"

#include "catalog/block_map.h"

#include "crypto/crypto.h"
#include "net/http_route.h"
#include "platform/platform.h"

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// One heap allocation per entry, so any holder gives an entry back with
// free() and catalog_free releases a list built by hand from malloc'd
// entries as well as one catalog_parse made.
CatalogEntry* entry_new()
{
    // All zero is the fresh state: kind 0, empty texts, size, crc, update 0,
    // next null.
    return static_cast<CatalogEntry*>(std::calloc(1, sizeof(CatalogEntry)));
}

void entry_free(CatalogEntry* entry)
{
    std::free(entry);
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

int text_read_line(TextCursor* cursor, char* buffer, int n)
{
    if (n < 2 || cursor->at >= cursor->end) {
        return 0;
    }
    // As fgets: up to n-1 bytes, through the first LF.
    std::int64_t stop = cursor->at;
    const std::int64_t limit =
        cursor->end - cursor->at < n - 1 ? cursor->end : cursor->at + (n - 1);
    while (stop < limit) {
        if (cursor->bytes[stop++] == '\n') {
            break;
        }
    }
    const auto count = static_cast<std::size_t>(stop - cursor->at);
    std::memcpy(buffer, cursor->bytes + cursor->at, count);
    buffer[count] = '\0';
    cursor->at = stop;
    // As read_line: the text ends at a zero byte, and up to three line ends
    // are removed, never at position 0.
    const int len = static_cast<int>(std::strlen(buffer));
    for (int pos = len - 1; pos >= len - 3 && pos >= 1; --pos) {
        if (buffer[pos] == '\r' || buffer[pos] == '\n') {
            buffer[pos] = '\0';
        }
    }
    return 1;
}

int catalog_text_read(const char* path, char** bytes, std::int64_t* length)
{
    *bytes = nullptr;
    *length = 0;
    // A FIFO or a device in the catalog's place would block or never end.
    std::FILE* file = fs_is_file(path) ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return 0;
    }
    std::int64_t capacity = 1 << 16;
    std::int64_t size = 0;
    char* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(capacity) + 1));
    while (text != nullptr) {
        size += static_cast<std::int64_t>(
            std::fread(text + size, 1, static_cast<std::size_t>(capacity - size), file));
        if (size < capacity || capacity > CATALOG_BODY_LIMIT) {
            break;
        }
        capacity *= 2;
        char* bigger =
            static_cast<char*>(std::realloc(text, static_cast<std::size_t>(capacity) + 1));
        if (bigger == nullptr) {
            std::free(text);
        }
        text = bigger;
    }
    const int failed = std::ferror(file) != 0;
    std::fclose(file);
    if (text == nullptr || failed || size > CATALOG_BODY_LIMIT) {
        if (size > CATALOG_BODY_LIMIT) {
            std::fprintf(stderr, "catalog: %.200s is larger than any catalog; not read\n", path);
        }
        std::free(text);
        return 0;
    }
    text[size] = '\0';
    *bytes = text;
    *length = size;
    return 1;
}

namespace {

// A size line as atoi reads it (white space, sign, digits, then anything)
// into 64 bits; *digits counts the digits read. A value past what 63 bits
// hold gives -1 and *too_large: such a record is dropped, never wrapped
// into another size.
std::int64_t parse_size(const char* text, int* too_large, int* digits)
{
    *too_large = 0;
    *digits = 0;
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
        const int digit = *text - '0';
        if (value > (INT64_MAX - digit) / 10) {
            *too_large = 1;
            return -1;
        }
        value = value * 10 + digit;
        ++text;
        ++*digits;
    }
    return negative ? -value : value;
}

// A CRC line as sscanf's %8X reads it; *read 0 when it holds no number.
std::uint32_t parse_crc(const char* text, int* read)
{
    unsigned int crc = 0;
    *read = std::sscanf(text, "%8X", &crc) == 1;
    return *read ? crc : 0;
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

// Names as Windows compares them: letter case and the separator ignored.
// The Windows build opens names through the ANSI functions, so 8-bit
// letters are folded as the common ANSI code page (1252) cases them: NTFS
// takes "\xE9" and "\xC9" (e and E acute) for one name.
char name_fold(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    if (is_separator(c)) {
        return '/';
    }
    if (byte < 0x80) {
        return static_cast<char>(std::toupper(byte));
    }
    if ((byte >= 0xE0 && byte <= 0xFE && byte != 0xF7)) {
        return static_cast<char>(byte - 0x20);
    }
    switch (byte) {
    case 0x9A: return static_cast<char>(0x8A); // s caron
    case 0x9C: return static_cast<char>(0x8C); // oe
    case 0x9E: return static_cast<char>(0x8E); // z caron
    case 0xFF: return static_cast<char>(0x9F); // y diaeresis
    default: return c;
    }
}

bool names_equal(const char* a, const char* b)
{
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (name_fold(*a) != name_fold(*b)) {
            return false;
        }
    }
    return *a == *b;
}

std::uint32_t name_hash(const char* name)
{
    std::uint32_t hash = 2166136261u; // FNV-1a over the folded name
    for (; *name != '\0'; ++name) {
        hash = (hash ^ static_cast<unsigned char>(name_fold(*name))) * 16777619u;
    }
    return hash;
}

EntryKind record_kind(const char* line)
{
    // "LARGE FILE" and its kin: a record of 2 GiB or more, which launchers
    // that read sizes in 32 bits skip (the keyword starts with none of
    // theirs) instead of fetching it again and again.
    if (std::strncmp(line, LARGE_RECORD_PREFIX, sizeof LARGE_RECORD_PREFIX - 1) == 0) {
        line += sizeof LARGE_RECORD_PREFIX - 1;
    }
    if (std::strncmp(line, "FILE", 4) == 0) {
        return ENTRY_FILE;
    }
    if (std::strncmp(line, "EXE", 3) == 0) {
        return ENTRY_EXE;
    }
    if (std::strncmp(line, "NOTES", 3) == 0) {
        return ENTRY_NOTES;
    }
    return ENTRY_NONE;
}

// "BLOCKS <map size> <map SHA-256> <map URL name>" into entry; 1 when line
// is one, whole (any other line is left for the reader).
int read_blocks_line(const char* line, CatalogEntry* entry)
{
    if (std::strncmp(line, "BLOCKS ", 7) != 0) {
        return 0;
    }
    const char* at = line + 7;
    std::int64_t size = 0;
    int digits = 0;
    for (; *at >= '0' && *at <= '9' && digits < 10; ++at, ++digits) {
        size = size * 10 + (*at - '0');
    }
    if (digits == 0 || *at != ' ' || size <= 0 || size > BLOCK_MAP_SIZE_MAX) {
        return 0;
    }
    ++at;
    const char* name = at + 2 * SHA256_SIZE;
    if (static_cast<int>(std::strlen(at)) < 2 * SHA256_SIZE + 2 || *name != ' ' ||
        hex_decode(at, 2 * SHA256_SIZE, entry->blocks_sha256, SHA256_SIZE) != 1) {
        return 0;
    }
    std::snprintf(entry->blocks_name, sizeof entry->blocks_name, "%s", name + 1);
    entry->blocks_size = size;
    entry->has_blocks = 1;
    return 1;
}

// Reads the four lines after a record's keyword line into entry (url
// joined to url_prefix; *url_fits 0 when that did not fit), and the SHA256
// line when the next line is one, then the BLOCKS line when the next is
// one; a line that is neither stays in line and *line_pending is set. Every read is made even when
// one finds the end, so the numbers of a record cut short come from whatever line still holds. 1
// when all four lines were there.
int read_record_fields(TextCursor* text, CatalogEntry* entry, const char* url_prefix, char* line,
                       int* line_pending, int* url_fits, int* size_too_large)
{
    int whole = text_read_line(text, entry->url_name, CATALOG_TEXT_SIZE);
    *url_fits = compose(entry->url, url_prefix, entry->url_name);
    int digits = 0;
    whole &= text_read_line(text, line, CATALOG_TEXT_SIZE);
    entry->size = parse_size(line, size_too_large, &digits);
    whole &= text_read_line(text, line, CATALOG_TEXT_SIZE);
    entry->crc = parse_crc(line, &digits);
    whole &= text_read_line(text, entry->file_name, CATALOG_TEXT_SIZE);
    *line_pending = 0;
    if (text_read_line(text, line, CATALOG_TEXT_SIZE)) {
        entry->has_sha256 = std::strncmp(line, "SHA256 ", 7) == 0 &&
                            hex_decode(line + 7, static_cast<int>(std::strlen(line + 7)),
                                       entry->sha256, SHA256_SIZE);
        *line_pending = !entry->has_sha256;
    }
    // The BLOCKS line comes after the SHA256 line, where there is one:
    // signed launchers in the field look for SHA256 right after the record.
    if (!*line_pending && entry->has_sha256) {
        *line_pending = text_read_line(text, line, CATALOG_TEXT_SIZE);
    }
    if (*line_pending && read_blocks_line(line, entry)) {
        *line_pending = 0;
    }
    return whole;
}

bool same_contents(const CatalogEntry* a, const CatalogEntry* b)
{
    return a->size == b->size && a->crc == b->crc && a->has_sha256 == b->has_sha256 &&
           (!a->has_sha256 || std::memcmp(a->sha256, b->sha256, SHA256_SIZE) == 0);
}

// One entry for each file (names as Windows compares them; the list holds
// the records last first). Records naming one file with the same contents
// are one file, fetched once, with the roles of them all: a catalog may list
// the executable as a FILE and again as the EXE. Records naming one file
// with other contents cannot both stand: the later one does, with one
// standard-error line. 0 when out of memory.
// Set while catalog_parse_quietly runs.
int parse_quietly = 0;

int merge_same_files(CatalogEntry** head)
{
    std::size_t count = 0;
    for (const CatalogEntry* e = *head; e != nullptr; e = e->next) {
        ++count;
    }
    if (count < 2) {
        return 1;
    }
    std::size_t slots = 16;
    while (slots < count * 2) {
        slots *= 2;
    }
    auto** order = static_cast<CatalogEntry**>(std::malloc(count * sizeof(CatalogEntry*)));
    auto** table = static_cast<CatalogEntry**>(std::calloc(slots, sizeof(CatalogEntry*)));
    if (order == nullptr || table == nullptr) {
        std::free(order);
        std::free(table);
        return 0;
    }
    std::size_t n = 0;
    for (CatalogEntry* e = *head; e != nullptr; e = e->next) {
        order[n++] = e;
    }
    // From the first record in the file to the last; the record a later one
    // takes the place of is marked with update -1 and unlinked below.
    for (std::size_t i = count; i-- > 0;) {
        CatalogEntry* entry = order[i];
        std::size_t slot = name_hash(entry->file_name) & (slots - 1);
        while (table[slot] != nullptr && !names_equal(table[slot]->file_name, entry->file_name)) {
            slot = (slot + 1) & (slots - 1);
        }
        CatalogEntry* earlier = table[slot];
        table[slot] = entry;
        if (earlier == nullptr) {
            continue;
        }
        if (!same_contents(earlier, entry) && !parse_quietly) {
            std::fprintf(stderr,
                         "catalog: record \"%.200s\" replaces an earlier one for the same file "
                         "with other contents\n",
                         entry->file_name);
        }
        if (same_contents(earlier, entry) && !entry->has_blocks && earlier->has_blocks) {
            entry->has_blocks = 1; // one file: the map of either record serves it
            entry->blocks_size = earlier->blocks_size;
            std::memcpy(entry->blocks_sha256, earlier->blocks_sha256, SHA256_SIZE);
            std::memcpy(entry->blocks_name, earlier->blocks_name, CATALOG_TEXT_SIZE);
        }
        entry->exe_record =
            entry->exe_record > earlier->exe_record ? entry->exe_record : earlier->exe_record;
        entry->notes_record = entry->notes_record > earlier->notes_record ? entry->notes_record
                                                                          : earlier->notes_record;
        entry->kind = entry->exe_record != 0     ? ENTRY_EXE
                      : entry->notes_record != 0 ? ENTRY_NOTES
                                                 : ENTRY_FILE;
        earlier->update = -1;
    }
    std::free(order);
    std::free(table);
    CatalogEntry** link = head;
    while (*link != nullptr) {
        CatalogEntry* entry = *link;
        if (entry->update == -1) {
            *link = entry->next;
            entry_free(entry);
        } else {
            link = &entry->next;
        }
    }
    return 1;
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
    // COM0 to COM9 and the superscripts one to three (bytes B9, B2, B3 in
    // the ANSI code page the Windows build names files in); likewise LPT.
    const auto digit = static_cast<unsigned char>(upper[3]);
    return base == 4 &&
           (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0) &&
           ((digit >= '0' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3);
}

// 1 when the length bytes at part end in suffix, letter case aside.
int ends_folded(const char* part, std::ptrdiff_t length, const char* suffix)
{
    const auto n = static_cast<std::ptrdiff_t>(std::strlen(suffix));
    if (length < n) {
        return 0;
    }
    for (std::ptrdiff_t i = 0; i < n; ++i) {
        if (name_fold(part[length - n + i]) != name_fold(suffix[i])) {
            return 0;
        }
    }
    return 1;
}

// The files the launcher keeps in the data folder beside the game's.
int is_own_top_level(const char* part, std::ptrdiff_t length)
{
    static const char* const own[] = {"catalog.txt", "catalog.txt.new", "quorvel-launcher.ini"};
    for (const char* name : own) {
        if (static_cast<std::ptrdiff_t>(std::strlen(name)) == length &&
            ends_folded(part, length, name)) {
            return 1;
        }
    }
    return 0;
}

// "~" and 16 hex digits, in any case: the stem of a short part.
int is_short_part_stem(const char* part, std::ptrdiff_t length)
{
    if (length != 17 || part[0] != '~') {
        return 0;
    }
    for (int i = 1; i < 17; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(part[i]))) {
            return 0;
        }
    }
    return 1;
}

} // namespace

int catalog_part_path(const char* local_path, char* out, int size)
{
    const char* name = local_path;
    for (const char* c = local_path; *c != '\0'; ++c) {
        name = is_separator(*c) ? c + 1 : name;
    }
    // The longest of the part's files is its block map: "<part>.qblocks".
    const std::size_t map_extra = std::strlen(BLOCK_MAP_SUFFIX);
    const std::size_t longest = static_cast<std::size_t>(fs_longest_path());
    const auto fits = [&](int n) {
        return n > 0 && n < size && static_cast<std::size_t>(n) + map_extra <= longest;
    };
    if (std::strlen(name) + std::strlen(PARTIAL_SUFFIX) + map_extra <=
            static_cast<std::size_t>(CATALOG_LONGEST_NAME) &&
        fits(std::snprintf(out, static_cast<std::size_t>(size), "%s%s", local_path,
                           PARTIAL_SUFFIX))) {
        return 1;
    }
    // FNV-1a over the name, folded to lower case: on Windows "A.pak" and
    // "a.pak" are one file, with one part.
    std::uint64_t hash = 14695981039346656037ull;
    for (const char* c = name; *c != '\0'; ++c) {
        hash ^= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(*c)));
        hash *= 1099511628211ull;
    }
    if (fits(std::snprintf(out, static_cast<std::size_t>(size), "%.*s~%016llx%s",
                           static_cast<int>(name - local_path), local_path,
                           static_cast<unsigned long long>(hash), PARTIAL_SUFFIX))) {
        return 1;
    }
    if (size > 0) {
        out[0] = '\0';
    }
    return 0;
}

const char* catalog_name_normalize(const char* name, char* out, int size)
{
    if (size < 1) {
        return "empty file name";
    }
    out[0] = '\0';
    if (name[0] == '\0') {
        return "empty file name";
    }
    if (is_separator(name[0])) {
        return "absolute file name"; // "/x", "\x" and "\\host\x"
    }
    for (const char* c = name; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte < 32 || std::strchr("<>:\"|?*", *c) != nullptr) {
            return "character Windows refuses in a file name"; // ':' also drives, streams
        }
    }
    // Component by component, as Win32 opens a path: a doubled separator
    // is one, and trailing dots and blanks are not part of a name.
    int used = 0;
    const char* part = name;
    while (true) {
        const char* end = part;
        while (*end != '\0' && !is_separator(*end)) {
            ++end;
        }
        if (end == part && *end != '\0') {
            part = end + 1; // "a//b" is "a/b"
            continue;
        }
        if (end == part) {
            out[0] = '\0';
            return "empty folder or file name"; // ends in a separator: the folder itself
        }
        const char* kept = end;
        while (kept > part && (kept[-1] == '.' || kept[-1] == ' ')) {
            --kept;
        }
        if (kept == part) {
            out[0] = '\0';
            return "name of dots and blanks only"; // ".", "..", "... "
        }
        if (is_device_name(part, kept - part)) {
            out[0] = '\0';
            return "Windows device name";
        }
        if (ends_folded(part, kept - part, PARTIAL_SUFFIX) ||
            ends_folded(part, kept - part, PARTIAL_META_SUFFIX) ||
            ends_folded(part, kept - part, BLOCK_MAP_SUFFIX) ||
            is_short_part_stem(part, kept - part) ||
            (used == 0 && is_own_top_level(part, kept - part))) {
            out[0] = '\0';
            // Also as a folder: no fetch could write it. Block maps are the
            // publisher's and never a game file either.
            return "the launcher's own file";
        }
        const int length = static_cast<int>(kept - part);
        if (used + (used > 0 ? 1 : 0) + length >= size) {
            out[0] = '\0';
            return "file name too long";
        }
        if (used > 0) {
            out[used++] = '/';
        }
        std::memcpy(out + used, part, static_cast<std::size_t>(length));
        used += length;
        out[used] = '\0';
        if (*end == '\0') {
            break;
        }
        part = end + 1;
    }
    return nullptr;
}

const char* catalog_name_problem(const char* name)
{
    char normal[CATALOG_TEXT_SIZE];
    return catalog_name_normalize(name, normal, sizeof normal);
}

int catalog_name_is_safe(const char* name)
{
    return catalog_name_problem(name) == nullptr ? 1 : 0;
}

int catalog_text_is_catalog(const char* path)
{
    if (!fs_is_file(path)) {
        return 0;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return 0;
    }
    // A keyword line alone proves nothing (a readme's "NOTE:" line): only a
    // record whose size and CRC lines hold numbers as the loader reads them
    // ("9 ", "+9", "\t9", "1f junk") does.
    const auto number = [](const char* text, int field) {
        int read = 0;
        int too_large = 0;
        if (field == 2) {
            parse_size(text, &too_large, &read);
        } else {
            parse_crc(text, &read);
        }
        return read > 0;
    };
    char line[CATALOG_TEXT_SIZE] = {};
    int field = 0; // record lines read so far; 0 outside a record
    int whole = 0;
    int plain = 1; // blank lines and the lines a signature adds only
    while (!whole && read_line(file, line, CATALOG_TEXT_SIZE)) {
        if (field > 0 && (field == 1 || field == 4 || number(line, field))) {
            field = (field + 1) % 5;
            whole = field == 0;
            continue;
        }
        field = record_kind(line) != ENTRY_NONE ? 1 : 0;
        int blank = 1;
        for (const char* c = line; *c != '\0'; ++c) {
            blank &= std::isspace(static_cast<unsigned char>(*c)) != 0;
        }
        const char* const seal[] = {"VERSION ", "EXPIRES ", "SHA256 ", "SIGNATURE "};
        for (const char* word : seal) {
            blank |= std::strncmp(line, word, std::strlen(word)) == 0;
        }
        plain &= blank && field == 0;
    }
    const int verdict = (whole || plain) && std::ferror(file) == 0;
    std::fclose(file);
    return verdict;
}

int catalog_install(const char* fetched_path, const char* catalog_path)
{
    // A login page of a hotel's network or a failed rename leaves the last
    // good catalog where it was.
    if (!catalog_text_is_catalog(fetched_path)) {
        std::fprintf(stderr, "catalog: the server's reply holds no catalog record; ignored\n");
    } else if (fs_replace(fetched_path, catalog_path)) {
        return 1;
    } else {
        std::fprintf(stderr, "catalog: cannot replace %.200s\n", catalog_path);
    }
    std::remove(fetched_path);
    return 0;
}

CatalogEntry* catalog_parse(const char* bytes, std::int64_t length, const char* local_prefix,
                            const char* url_prefix)
{
    TextCursor text = {bytes, 0, length};
    CatalogEntry* head = nullptr;
    char line[CATALOG_TEXT_SIZE] = {};
    std::int32_t record_number = 0;
    std::int32_t last_exe = 0;
    std::int32_t last_notes = 0;
    // The line after a record is read to look for its SHA256 line; when it
    // is none, it is the next line to look at.
    int line_pending = 0;
    while (line_pending || text_read_line(&text, line, CATALOG_TEXT_SIZE)) {
        line_pending = 0;
        const EntryKind kind = record_kind(line);
        if (kind == ENTRY_NONE) {
            continue;
        }
        ++record_number;
        last_exe = kind == ENTRY_EXE ? record_number : last_exe;
        last_notes = kind == ENTRY_NOTES ? record_number : last_notes;
        CatalogEntry* entry = entry_new();
        if (entry == nullptr) {
            // A partial list could pass for a complete game; give up the
            // whole load so the caller treats the catalog as missing.
            std::fprintf(stderr, "catalog: out of memory\n");
            catalog_free(&head);
            return nullptr;
        }
        entry->kind = kind;
        entry->record = record_number;
        entry->exe_record = kind == ENTRY_EXE ? record_number : 0;
        entry->notes_record = kind == ENTRY_NOTES ? record_number : 0;
        // A record cut short by the end of the file is still kept: its names
        // stay empty.
        int url_fits = 0;
        int size_too_large = 0;
        read_record_fields(&text, entry, url_prefix, line, &line_pending, &url_fits,
                           &size_too_large);
        // The name as Windows would open it ("maps//a.pak", "readme.txt ."
        // are "maps/a.pak", "readme.txt"), so every build lays out the same
        // tree and the rules below see the name the file system will.
        char normal[CATALOG_TEXT_SIZE];
        const char* problem = catalog_name_normalize(entry->file_name, normal, sizeof normal);
        // The part must fit where the file does: a file it could never be
        // downloaded to is no file of the game's.
        char part[CATALOG_TEXT_SIZE + 32];
        const int path_fits = problem == nullptr &&
                              compose(entry->local_path, local_prefix, normal) &&
                              catalog_part_path(entry->local_path, part, sizeof part);
        // A cut path would name another file, and an unsafe name would reach
        // outside the data directory or clash with the launcher's own files:
        // such records are dropped, not trimmed.
        if (problem == nullptr && size_too_large) {
            problem = "size past 63 bits";
        } else if (problem == nullptr && !url_fits) {
            problem = "URL too long";
        } else if (problem == nullptr &&
                   (!path_fits ||
                    std::strlen(entry->local_path) > static_cast<std::size_t>(fs_longest_path()))) {
            problem = "local path too long";
        }
        if (problem != nullptr && !parse_quietly) {
            std::fprintf(stderr, "catalog: skipping record \"%.200s\": %s\n", entry->file_name,
                         problem);
        }
        if (problem != nullptr) {
            entry_free(entry);
            continue;
        }
        std::memcpy(entry->file_name, normal, sizeof normal);
        entry->next = head;
        head = entry;
    }
    if (!merge_same_files(&head)) {
        std::fprintf(stderr, "catalog: out of memory\n");
        catalog_free(&head);
    }
    // Only the catalog's last EXE and NOTES records give a role.
    for (CatalogEntry* e = head; e != nullptr; e = e->next) {
        e->exe_record = e->exe_record == last_exe ? last_exe : 0;
        e->notes_record = e->notes_record == last_notes ? last_notes : 0;
    }
    return head;
}

CatalogEntry* catalog_parse_quietly(const char* bytes, std::int64_t length,
                                    const char* local_prefix)
{
    parse_quietly = 1;
    CatalogEntry* head = catalog_parse(bytes, length, local_prefix, "");
    parse_quietly = 0;
    return head;
}

CatalogEntry* catalog_load(const char* path, const char* local_prefix, const char* url_prefix)
{
    char* bytes = nullptr;
    std::int64_t length = 0;
    if (!catalog_text_read(path, &bytes, &length)) {
        return nullptr;
    }
    CatalogEntry* head = catalog_parse(bytes, length, local_prefix, url_prefix);
    std::free(bytes);
    return head;
}

CatalogEntry* catalog_find_role(CatalogEntry* head, EntryKind kind)
{
    CatalogEntry* found = nullptr;
    std::int32_t latest = 0;
    for (CatalogEntry* e = head; e != nullptr; e = e->next) {
        const std::int32_t record = kind == ENTRY_EXE ? e->exe_record : e->notes_record;
        if (record > latest) {
            found = e;
            latest = record;
        }
    }
    bool parsed = false;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        parsed = parsed || e->record > 0;
    }
    for (CatalogEntry* e = head; found == nullptr && !parsed && e != nullptr; e = e->next) {
        if (e->kind == kind) {
            found = e;
        }
    }
    return found;
}

void catalog_free(CatalogEntry** head)
{
    if (head == nullptr) {
        return;
    }
    CatalogEntry* entry = *head;
    while (entry != nullptr) {
        CatalogEntry* next = entry->next;
        entry_free(entry);
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
        std::printf("SIZE: %lld\n", static_cast<long long>(e->size));
        std::printf("CRC: %8X\n", static_cast<unsigned int>(e->crc));
        std::printf("Update: %d\n", static_cast<int>(e->update));
    }
}

int catalog_mirrors(const char* bytes, std::int64_t length, char (*mirrors)[CATALOG_TEXT_SIZE],
                    int max)
{
    TextCursor text = {bytes, 0, length};
    char line[CATALOG_TEXT_SIZE];
    int count = 0;
    while (count < max && text_read_line(&text, line, CATALOG_TEXT_SIZE) &&
           record_kind(line) == ENTRY_NONE && catalog_record_field_lines(line) == 0) {
        if (std::strncmp(line, MIRROR_PREFIX, sizeof MIRROR_PREFIX - 1) != 0) {
            continue;
        }
        // Joined to names with one "/", as the server base is.
        const char* url = line + sizeof MIRROR_PREFIX - 1;
        const std::size_t n = std::strlen(url);
        const bool web =
            std::strncmp(url, "http://", 7) == 0 || std::strncmp(url, "https://", 8) == 0;
        if (web && n > 8 && !http_url_port_is_valid(url)) {
            // A port past 65535 or with letters would reach another server.
            std::fprintf(stderr, "catalog: mirror %.300s skipped: not a port from 1 to 65535\n",
                         url);
            continue;
        }
        if (web && n > 8 && std::strpbrk(url, " \t") == nullptr) {
            std::snprintf(mirrors[count], CATALOG_TEXT_SIZE, "%.*s", static_cast<int>(n), url);
            ++count;
        }
    }
    return count;
}

int catalog_line_is_keyword(const char* line)
{
    return record_kind(line) != ENTRY_NONE;
}

int catalog_record_field_lines(const char* line)
{
    return record_kind(line) != ENTRY_NONE || std::strncmp(line, "LAUNCHER ", 9) == 0 ? 4 : 0;
}

int catalog_find_launcher_in(const char* bytes, std::int64_t length, const char* platform,
                             const char* url_prefix, CatalogEntry* out)
{
    TextCursor text = {bytes, 0, length};
    char keyword[64];
    std::snprintf(keyword, sizeof keyword, "LAUNCHER %s", platform);
    char line[CATALOG_TEXT_SIZE];
    int found = 0;
    while (!found && text_read_line(&text, line, CATALOG_TEXT_SIZE)) {
        if (std::strcmp(line, keyword) != 0) {
            continue;
        }
        std::memset(out, 0, sizeof *out);
        out->kind = ENTRY_LAUNCHER;
        std::snprintf(out->platform, sizeof out->platform, "%s", platform);
        int line_pending = 0;
        int url_fits = 0;
        int size_too_large = 0;
        found = read_record_fields(&text, out, url_prefix, line, &line_pending, &url_fits,
                                   &size_too_large) &&
                url_fits && !size_too_large;
    }
    return found;
}

int catalog_blocks_url(const CatalogEntry* entry, char* out, int size)
{
    // The record's URL is its prefix and url_name: the map's shares the prefix.
    const std::size_t url_length = std::strlen(entry->url);
    const std::size_t name_length = std::strlen(entry->url_name);
    out[0] = '\0';
    if (!entry->has_blocks || name_length > url_length ||
        std::strcmp(entry->url + url_length - name_length, entry->url_name) != 0) {
        return 0;
    }
    const int n =
        std::snprintf(out, static_cast<std::size_t>(size), "%.*s%s",
                      static_cast<int>(url_length - name_length), entry->url, entry->blocks_name);
    if (n < 0 || n >= size) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

namespace {

// An entry's record with the given URL, local name and map name in its
// URL, name and BLOCKS lines.
int record_text(const CatalogEntry* e, const char* url, const char* name, const char* blocks_url,
                char* out, int size)
{
    const char* keyword = "UNKNOW";
    char launcher_keyword[PLATFORM_NAME_SIZE + 16];
    switch (e->kind) {
    case ENTRY_EXE: keyword = e->size > INT32_MAX ? "LARGE EXE" : "EXE"; break;
    case ENTRY_FILE: keyword = e->size > INT32_MAX ? "LARGE FILE" : "FILE"; break;
    case ENTRY_NOTES: keyword = e->size > INT32_MAX ? "LARGE NOTES" : "NOTES"; break;
    case ENTRY_LAUNCHER:
        std::snprintf(launcher_keyword, sizeof launcher_keyword, "LAUNCHER %s", e->platform);
        keyword = launcher_keyword;
        break;
    default: break;
    }
    char sha256_line[2 * SHA256_SIZE + 9] = "";
    if (e->has_sha256) {
        char hex[2 * SHA256_SIZE + 1];
        hex_encode(e->sha256, SHA256_SIZE, hex);
        std::snprintf(sha256_line, sizeof sha256_line, "SHA256 %s\n", hex);
    }
    char blocks_line[2 * SHA256_SIZE + CATALOG_TEXT_SIZE + 40] = "";
    if (e->has_blocks) {
        char hex[2 * SHA256_SIZE + 1];
        hex_encode(e->blocks_sha256, SHA256_SIZE, hex);
        std::snprintf(blocks_line, sizeof blocks_line, "BLOCKS %lld %s %s\n",
                      static_cast<long long>(e->blocks_size), hex, blocks_url);
    }
    const int length =
        std::snprintf(out, static_cast<std::size_t>(size), "%s\n%s\n%lld\n%8X\n%s\n%s%s\n\n",
                      keyword, url, static_cast<long long>(e->size),
                      static_cast<unsigned int>(e->crc), name, sha256_line, blocks_line);
    return length >= 0 && length < size ? length : -1;
}

} // namespace

int catalog_record_text(const CatalogEntry* e, char* out, int size)
{
    return record_text(e, e->url_name, e->file_name, e->blocks_name, out, size);
}

int catalog_write_stream(const CatalogEntry* head, std::FILE* stream)
{
    char record[CATALOG_RECORD_TEXT_LONGEST];
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        // The map's URL as composed from the record's (its name when the
        // record's URL does not end in its URL name, as in a list by hand).
        char blocks_url[CATALOG_TEXT_SIZE];
        if (!catalog_blocks_url(e, blocks_url, sizeof blocks_url)) {
            std::snprintf(blocks_url, sizeof blocks_url, "%s", e->blocks_name);
        }
        const int length = record_text(e, e->url, e->local_path, blocks_url, record, sizeof record);
        if (length < 0 || std::fwrite(record, 1, static_cast<std::size_t>(length), stream) !=
                              static_cast<std::size_t>(length)) {
            return 0;
        }
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
    const int closed = std::fclose(file);
    // A write that failed before the close is a failed close to the caller.
    return written || closed != 0 ? closed : EOF;
}
