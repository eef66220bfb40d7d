#include "catalog/catalog.h"

#include "crypto/crypto.h"
#include "platform/platform.h"

#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <cstring>

// Under AddressSanitizer a freed entry is marked unreadable, as free()
// would mark it, so a use after catalog_free is still caught.
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

// Entries come from blocks of pages, not from one heap allocation each: a
// catalog of 10,000 files is 42 MB of fixed-size records, and a fault per
// 4 KiB page was a quarter of the time to check them all. The first block
// takes ordinary pages (a small catalog touches only a few); a list that
// outgrows it asks for large pages. Entries are handed out from the newest
// block in order; a block goes back to the system when its last entry is
// freed, and a slot freed right after it was taken (a dropped record) is
// taken again by the next entry.
namespace {

// Slots below used have been handed out; every slot from used on is zero.
struct EntryBlock {
    std::size_t used;
    std::size_t live; // of the slots handed out, those not yet freed
};

struct EntrySlot {
    EntryBlock* block;
    CatalogEntry entry;
};

constexpr std::size_t ENTRY_SLOTS_OFFSET =
    (sizeof(EntryBlock) + alignof(EntrySlot) - 1) / alignof(EntrySlot) * alignof(EntrySlot);
constexpr std::size_t ENTRIES_PER_BLOCK =
    (MEM_BLOCK_BYTES - ENTRY_SLOTS_OFFSET) / sizeof(EntrySlot);

EntryBlock* entry_newest_block = nullptr;
int entry_blocks_held = 0;

EntrySlot* entry_slot(EntryBlock* block, std::size_t index)
{
    return reinterpret_cast<EntrySlot*>(reinterpret_cast<unsigned char*>(block) +
                                        ENTRY_SLOTS_OFFSET) +
           index;
}

} // namespace

CatalogEntry* entry_new()
{
    EntryBlock* block = entry_newest_block;
    if (block == nullptr || block->used == ENTRIES_PER_BLOCK) {
        const int will_fill = block != nullptr;
        block = static_cast<EntryBlock*>(mem_block_alloc(MEM_BLOCK_BYTES, will_fill));
        if (block == nullptr) {
            return nullptr;
        }
        ++entry_blocks_held;
        entry_newest_block = block;
    }
    EntrySlot* slot = entry_slot(block, block->used);
    ASAN_UNPOISON_MEMORY_REGION(&slot->entry, sizeof(CatalogEntry));
    ++block->used;
    ++block->live;
    slot->block = block;
    // The zeroed slot is the fresh state: kind 0, empty texts, size, crc,
    // update 0, next null.
    return &slot->entry;
}

void entry_free(CatalogEntry* entry)
{
    if (entry == nullptr) {
        return;
    }
    auto* slot = reinterpret_cast<EntrySlot*>(reinterpret_cast<unsigned char*>(entry) -
                                              offsetof(EntrySlot, entry));
    EntryBlock* block = slot->block;
    --block->live;
    if (block->live == 0) {
        if (block == entry_newest_block) {
            entry_newest_block = nullptr;
        }
        mem_block_free(block, MEM_BLOCK_BYTES);
        --entry_blocks_held;
        return;
    }
    if (block == entry_newest_block && slot == entry_slot(block, block->used - 1)) {
        // Given back to the unused, all-zero end of the block.
        std::memset(static_cast<void*>(slot), 0, sizeof(EntrySlot));
        --block->used;
    }
    ASAN_POISON_MEMORY_REGION(entry, sizeof(CatalogEntry));
}

int entry_blocks_in_use()
{
    return entry_blocks_held;
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

// Names as Windows compares them: letter case and the separator ignored.
char name_fold(char c)
{
    return is_separator(c) ? '/' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
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

// Reads the four lines after a record's keyword line into entry (url
// joined to url_prefix; *url_fits 0 when that did not fit), and the SHA256
// line when the next line is one; when it is not, that line stays in line
// and *line_pending is set. Every read is made even when one finds the end,
// so the numbers of a record cut short come from whatever line still holds.
// 1 when all four lines were there.
int read_record_fields(std::FILE* file, CatalogEntry* entry, const char* url_prefix, char* line,
                       int* line_pending, int* url_fits)
{
    int whole = read_line(file, entry->url_name, CATALOG_TEXT_SIZE);
    *url_fits = compose(entry->url, url_prefix, entry->url_name);
    whole &= read_line(file, line, CATALOG_TEXT_SIZE);
    entry->size = parse_size(line);
    whole &= read_line(file, line, CATALOG_TEXT_SIZE);
    entry->crc = parse_crc(line);
    whole &= read_line(file, entry->file_name, CATALOG_TEXT_SIZE);
    *line_pending = 0;
    if (read_line(file, line, CATALOG_TEXT_SIZE)) {
        entry->has_sha256 = std::strncmp(line, "SHA256 ", 7) == 0 &&
                            hex_decode(line + 7, entry->sha256, SHA256_SIZE);
        *line_pending = !entry->has_sha256;
    }
    return whole;
}

// Drops every entry whose name equals an earlier record's (the list holds
// the records last first), with one standard-error line each: two records
// for one file would fetch it at every start, one sharing the notes file's
// name would show its bytes as notes. 0 when out of memory.
int drop_duplicate_names(CatalogEntry** head)
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
    // From the first record in the file to the last; a duplicate is marked
    // with update -1 and unlinked below.
    for (std::size_t i = count; i-- > 0;) {
        CatalogEntry* entry = order[i];
        std::size_t slot = name_hash(entry->file_name) & (slots - 1);
        while (table[slot] != nullptr && !names_equal(table[slot]->file_name, entry->file_name)) {
            slot = (slot + 1) & (slots - 1);
        }
        if (table[slot] == nullptr) {
            table[slot] = entry;
        } else {
            std::fprintf(stderr, "catalog: skipping record \"%.200s\": same file as \"%.200s\"\n",
                         entry->file_name, table[slot]->file_name);
            entry->update = -1;
        }
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
    return base == 4 &&
           (std::strncmp(upper, "COM", 3) == 0 || std::strncmp(upper, "LPT", 3) == 0) &&
           upper[3] >= '1' && upper[3] <= '9';
}

} // namespace

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
    if (names_equal(out, "catalog.txt") || names_equal(out, "catalog.txt.new")) {
        out[0] = '\0';
        return "the launcher's own file";
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
    // record whose size and CRC lines are numbers does.
    const auto number = [](const char* text, int hex) {
        while (*text == ' ') {
            ++text;
        }
        const char* first = text;
        while (std::isdigit(static_cast<unsigned char>(*text)) ||
               (hex && std::isxdigit(static_cast<unsigned char>(*text)))) {
            ++text;
        }
        return text > first && *text == '\0';
    };
    char line[CATALOG_TEXT_SIZE] = {};
    int field = 0; // record lines read so far; 0 outside a record
    int whole = 0;
    int plain = 1; // blank lines and the lines a signature adds only
    while (!whole && read_line(file, line, CATALOG_TEXT_SIZE)) {
        if (field > 0 && (field == 1 || field == 4 || number(line, field == 3))) {
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

CatalogEntry* catalog_load(const char* path, const char* local_prefix, const char* url_prefix)
{
    // A FIFO or a device in the catalog's place would block or never end.
    if (!fs_is_file(path)) {
        return nullptr;
    }
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return nullptr;
    }
    CatalogEntry* head = nullptr;
    char line[CATALOG_TEXT_SIZE] = {};
    // The line after a record is read to look for its SHA256 line; when it
    // is none, it is the next line to look at.
    int line_pending = 0;
    while (line_pending || read_line(file, line, CATALOG_TEXT_SIZE)) {
        line_pending = 0;
        const EntryKind kind = record_kind(line);
        if (kind == ENTRY_NONE) {
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
        // A record cut short by the end of the file is still kept: its names
        // stay empty.
        int url_fits = 0;
        read_record_fields(file, entry, url_prefix, line, &line_pending, &url_fits);
        // The name as Windows would open it ("maps//a.pak", "readme.txt ."
        // are "maps/a.pak", "readme.txt"), so every build lays out the same
        // tree and the rules below see the name the file system will.
        char normal[CATALOG_TEXT_SIZE];
        const char* problem = catalog_name_normalize(entry->file_name, normal, sizeof normal);
        const int path_fits =
            problem == nullptr && compose(entry->local_path, local_prefix, normal);
        // A cut path would name another file, and an unsafe name would reach
        // outside the data directory or clash with the launcher's own files:
        // such records are dropped, not trimmed.
        if (problem == nullptr && !url_fits) {
            problem = "URL too long";
        } else if (problem == nullptr &&
                   (!path_fits ||
                    std::strlen(entry->local_path) > static_cast<std::size_t>(fs_longest_path()))) {
            problem = "local path too long";
        }
        if (problem != nullptr) {
            std::fprintf(stderr, "catalog: skipping record \"%.200s\": %s\n", entry->file_name,
                         problem);
            entry_free(entry);
            continue;
        }
        std::memcpy(entry->file_name, normal, sizeof normal);
        entry->next = head;
        head = entry;
    }
    std::fclose(file);
    if (!drop_duplicate_names(&head)) {
        std::fprintf(stderr, "catalog: out of memory loading %s\n", path);
        catalog_free(&head);
    }
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
        std::printf("SIZE: %d\n", static_cast<int>(e->size));
        std::printf("CRC: %8X\n", static_cast<unsigned int>(e->crc));
        std::printf("Update: %d\n", static_cast<int>(e->update));
    }
}

int catalog_line_is_keyword(const char* line)
{
    return record_kind(line) != ENTRY_NONE;
}

int catalog_find_launcher(const char* path, const char* platform, const char* url_prefix,
                          CatalogEntry* out)
{
    std::FILE* file = fs_is_file(path) ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return 0;
    }
    char keyword[64];
    std::snprintf(keyword, sizeof keyword, "LAUNCHER %s", platform);
    char line[CATALOG_TEXT_SIZE];
    int found = 0;
    while (!found && read_line(file, line, CATALOG_TEXT_SIZE)) {
        if (std::strcmp(line, keyword) != 0) {
            continue;
        }
        std::memset(out, 0, sizeof *out);
        out->kind = ENTRY_LAUNCHER;
        std::snprintf(out->platform, sizeof out->platform, "%s", platform);
        int line_pending = 0;
        int url_fits = 0;
        found =
            read_record_fields(file, out, url_prefix, line, &line_pending, &url_fits) && url_fits;
    }
    std::fclose(file);
    return found;
}

int catalog_record_text(const CatalogEntry* e, char* out, int size)
{
    const char* keyword = "UNKNOW";
    char launcher_keyword[PLATFORM_NAME_SIZE + 16];
    switch (e->kind) {
    case ENTRY_EXE: keyword = "EXE"; break;
    case ENTRY_FILE: keyword = "FILE"; break;
    case ENTRY_NOTES: keyword = "NOTES"; break;
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
    const int length = std::snprintf(
        out, static_cast<std::size_t>(size), "%s\n%s\n%d\n%8X\n%s\n%s\n\n", keyword, e->url_name,
        static_cast<int>(e->size), static_cast<unsigned int>(e->crc), e->file_name, sha256_line);
    return length >= 0 && length < size ? length : -1;
}

int catalog_write_stream(const CatalogEntry* head, std::FILE* stream)
{
    // A record is at most two names and a few short lines.
    char record[2 * CATALOG_TEXT_SIZE + 160];
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        const int length = catalog_record_text(e, record, sizeof record);
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
    const int close_failed = std::fclose(file);
    return written && close_failed == 0 ? 1 : 0;
}
