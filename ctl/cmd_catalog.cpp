// quorvelctl catalog: the catalog of a game's files, as the server serves it.
#include "catalog/block_map.h"
#include "catalog/catalog.h"
#include "catalog/signing.h"
#include "catalog/verify.h"
#include "crypto/crypto.h"
#include "ctl/commands.h"
#include "ctl/signing_options.h"
#include "platform/platform.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

using PathText = char[CATALOG_TEXT_SIZE];

// Relative paths of the files found below the scanned folder.
struct FileList {
    PathText* paths;
    int count;
    int capacity;
    const char* root;
    const FolderRules* rules;
    char root_real[2 * CATALOG_TEXT_SIZE]; // with rules->dest: fs_real_path of the root
    int output_inside;                     // the output is a file below the root
    int failed;
};

// One folder being read: its path relative to the root ("" for the root).
struct FolderScan {
    FileList* list;
    const char* relative;
};

int add_path(FileList* list, const char* relative)
{
    if (list->count == list->capacity) {
        const int capacity = list->capacity == 0 ? 256 : list->capacity * 2;
        void* grown = std::realloc(list->paths, sizeof(PathText) * static_cast<size_t>(capacity));
        if (grown == nullptr) {
            std::fprintf(stderr, "quorvelctl: out of memory\n");
            return 0;
        }
        list->paths = static_cast<PathText*>(grown);
        list->capacity = capacity;
    }
    std::snprintf(list->paths[list->count], CATALOG_TEXT_SIZE, "%s", relative);
    ++list->count;
    return 1;
}

void scan_folder(FileList* list, const char* relative);

// publish's rule for links: 1 when full really lies below the root and not
// in DEST; otherwise 0 with one line. A link to nothing stays for the
// regular-file check to skip.
int stays_inside(const FileList* list, const char* full, const char* relative)
{
    char real[2 * CATALOG_TEXT_SIZE];
    if (!fs_real_path(full, real, sizeof real)) {
        return 1;
    }
    // No link on the way: the real path is the root's and the name below
    // it (spelt alike, either separator), and asking the file system for
    // each folder above it would cost a dozen calls per file.
    const std::size_t root_length = std::strlen(list->root_real);
    const auto separator = [](char c) { return c == '/' || c == '\\'; };
    bool plain = std::strncmp(real, list->root_real, root_length) == 0 &&
                 separator(real[root_length]) &&
                 std::strlen(real + root_length + 1) == std::strlen(relative);
    for (std::size_t i = 0; plain && relative[i] != '\0'; ++i) {
        const char a = real[root_length + 1 + i];
        plain = a == relative[i] || (separator(a) && separator(relative[i]));
    }
    if (plain) {
        return 1;
    }
    const int into = ctl_path_within(real, list->rules->dest);
    if (into || !ctl_path_within(real, list->root)) {
        std::fprintf(stderr, "quorvelctl publish: not following %s: a link %s %s\n", full,
                     into ? "into" : "out of", into ? list->rules->dest : list->root);
        return 0;
    }
    return 1;
}

void visit_entry(const char* name, int is_dir, void* context)
{
    auto* folder = static_cast<FolderScan*>(context);
    FileList* list = folder->list;
    if (list->failed) {
        return;
    }
    char relative[CATALOG_TEXT_SIZE];
    char full[2 * CATALOG_TEXT_SIZE];
    const int n = folder->relative[0] == '\0'
                      ? std::snprintf(relative, sizeof relative, "%s", name)
                      : std::snprintf(relative, sizeof relative, "%s/%s", folder->relative, name);
    std::snprintf(full, sizeof full, "%s/%s", list->root, relative);
    if (n < 0 || n >= static_cast<int>(sizeof relative)) {
        std::fprintf(stderr, "quorvelctl: path too long for a catalog: %s/%s\n", folder->relative,
                     name);
        list->failed = 1;
        return;
    }
    if (list->rules->dest != nullptr && !stays_inside(list, full, relative)) {
        return;
    }
    if (is_dir) {
        scan_folder(list, relative);
        return;
    }
    if (list->rules->output != nullptr && fs_same_file(full, list->rules->output)) {
        list->output_inside = 1;
        return;
    }
    if (list->rules->key_file != nullptr && fs_same_file(full, list->rules->key_file)) {
        std::fprintf(stderr, "quorvelctl: skipping %s: the signing key\n", full);
        return;
    }
    // Block maps are the publisher's (written by --blocks), never a game file.
    const std::size_t name_length = std::strlen(name);
    const std::size_t suffix_length = sizeof BLOCK_MAP_SUFFIX - 1;
    if (name_length > suffix_length &&
        std::strcmp(name + name_length - suffix_length, BLOCK_MAP_SUFFIX) == 0) {
        return;
    }
    // A FIFO, socket or device would block or never end when measured.
    if (!fs_is_file(full)) {
        std::fprintf(stderr, "quorvelctl catalog: skipping %s: not a regular file or folder\n",
                     full);
        return;
    }
    if (!add_path(list, relative)) {
        list->failed = 1;
    }
}

void scan_folder(FileList* list, const char* relative)
{
    char full[2 * CATALOG_TEXT_SIZE];
    if (relative[0] == '\0') {
        std::snprintf(full, sizeof full, "%s", list->root);
    } else {
        std::snprintf(full, sizeof full, "%s/%s", list->root, relative);
    }
    FolderScan folder = {list, relative};
    if (!fs_list_dir(full, visit_entry, &folder)) {
        std::fprintf(stderr, "quorvelctl: cannot read folder %s\n", full);
        list->failed = 1;
    }
}

int compare_paths(const void* a, const void* b)
{
    return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

// Percent-encodes everything but unreserved characters and "/", so a name
// with spaces or other specials still makes a valid request line.
int encode_url(const char* name, char* out, int size)
{
    static const char hex[] = "0123456789ABCDEF";
    int used = 0;
    for (const char* c = name; *c != '\0'; ++c) {
        const auto b = static_cast<unsigned char>(*c);
        const bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                           (b >= '0' && b <= '9') || b == '-' || b == '.' || b == '_' || b == '~' ||
                           b == '/';
        if (used + (plain ? 1 : 3) >= size) {
            return 0;
        }
        if (plain) {
            out[used++] = static_cast<char>(b);
        } else {
            out[used++] = '%';
            out[used++] = hex[b >> 4];
            out[used++] = hex[b & 15];
        }
    }
    out[used] = '\0';
    return 1;
}

// A name for a message on one line: control bytes become '?'.
const char* shown(const char* name, char* out, int size)
{
    std::snprintf(out, static_cast<std::size_t>(size), "%s", name);
    for (char* c = out; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 32 || *c == 127) {
            *c = '?';
        }
    }
    return out;
}

// Builds the entry of one file: measured size and CRC, the encoded URL and
// the relative name. 0 (with a message) when the file cannot be catalogued.
// The local name is the one Windows opens ("readme.txt." is "readme.txt"),
// as every reader of the catalog stores it; the URL keeps the real name the
// web server serves.
CatalogEntry* make_entry(const char* root, const char* relative, EntryKind kind, int with_sha256)
{
    char normal[CATALOG_TEXT_SIZE];
    const char* problem = catalog_name_normalize(relative, normal, sizeof normal);
    if (problem != nullptr) {
        char name[CATALOG_TEXT_SIZE];
        std::fprintf(stderr, "quorvelctl: '%s' cannot be a file name in a catalog: %s\n",
                     shown(relative, name, sizeof name), problem);
        return nullptr;
    }
    CatalogEntry* entry = entry_new();
    if (entry == nullptr) {
        std::fprintf(stderr, "quorvelctl: out of memory\n");
        return nullptr;
    }
    entry->kind = kind;
    std::snprintf(entry->local_path, CATALOG_TEXT_SIZE, "%s/%s", root, relative);
    entry_refresh(entry);
    if (entry->update != 0 || (with_sha256 && !entry_take_sha256(entry))) {
        std::fprintf(stderr, "quorvelctl: cannot read %s\n", entry->local_path);
        entry_free(entry);
        return nullptr;
    }
    if (entry->size > INT32_MAX) {
        // Launchers that read sizes in 32 bits would fetch such a file for
        // ever; under the LARGE keyword they skip it. Its lines must then
        // not read as a record of theirs either.
        if (catalog_line_is_keyword(relative) || catalog_line_is_keyword(normal)) {
            std::fprintf(stderr,
                         "quorvelctl: %s is 2 GiB or larger and its name starts like a record "
                         "keyword (FILE, EXE, NOT): older launchers would misread it\n",
                         entry->local_path);
            entry_free(entry);
            return nullptr;
        }
        std::fprintf(stderr,
                     "quorvelctl: %s is 2 GiB or larger: written as a LARGE record, which "
                     "launchers older than 64-bit sizes skip; ship a LAUNCHER record in the same "
                     "catalog so that they update themselves first\n",
                     entry->local_path);
    }
    if (!encode_url(relative, entry->url, CATALOG_TEXT_SIZE)) {
        std::fprintf(stderr, "quorvelctl: URL too long for %s\n", relative);
        entry_free(entry);
        return nullptr;
    }
    std::snprintf(entry->url_name, CATALOG_TEXT_SIZE, "%s", entry->url);
    std::snprintf(entry->file_name, CATALOG_TEXT_SIZE, "%s", normal);
    std::snprintf(entry->local_path, CATALOG_TEXT_SIZE, "%s", relative);
    return entry;
}

// Names as Windows compares them; local names hold "/" separators only.
int compare_folded(const void* a, const void* b)
{
    const char* x = (*static_cast<const CatalogEntry* const*>(a))->file_name;
    const char* y = (*static_cast<const CatalogEntry* const*>(b))->file_name;
    for (; *x != '\0' && std::toupper(static_cast<unsigned char>(*x)) ==
                             std::toupper(static_cast<unsigned char>(*y));
         ++x, ++y) {
    }
    return std::toupper(static_cast<unsigned char>(*x)) -
           std::toupper(static_cast<unsigned char>(*y));
}

// Two game files one Windows name opens ("A.pak" and "a.pak", "x." and
// "x"): on a player's disk one would overwrite the other at every start.
// 0, with a line naming both, when two collide or memory runs out.
int names_are_distinct(const CatalogEntry* head)
{
    std::size_t count = 0;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        count += e->kind != ENTRY_LAUNCHER;
    }
    if (count < 2) {
        return 1;
    }
    auto** order =
        static_cast<const CatalogEntry**>(std::malloc(count * sizeof(const CatalogEntry*)));
    if (order == nullptr) {
        std::fprintf(stderr, "quorvelctl: out of memory\n");
        return 0;
    }
    std::size_t n = 0;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        if (e->kind != ENTRY_LAUNCHER) {
            order[n++] = e;
        }
    }
    std::qsort(order, count, sizeof *order, compare_folded);
    int distinct = 1;
    for (std::size_t i = 1; i < count && distinct; ++i) {
        if (compare_folded(&order[i - 1], &order[i]) == 0) {
            std::fprintf(stderr,
                         "quorvelctl catalog: '%s' and '%s' are one file on Windows (%s); "
                         "rename one\n",
                         order[i - 1]->local_path, order[i]->local_path, order[i]->file_name);
            distinct = 0;
        }
    }
    std::free(order);
    return distinct;
}

// The preface (lines before the first record, such as MIRROR lines) and
// the list's records in one buffer the caller frees; null when memory runs
// out or a record does not fit.
char* list_text(const CatalogEntry* head, const char* preface, std::int64_t* length)
{
    std::int64_t capacity = (1 << 16) + static_cast<std::int64_t>(std::strlen(preface));
    *length = static_cast<std::int64_t>(std::strlen(preface));
    char* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(capacity)));
    if (text != nullptr) {
        std::memcpy(text, preface, static_cast<std::size_t>(*length));
    }
    for (const CatalogEntry* e = head; e != nullptr && text != nullptr; e = e->next) {
        if (capacity - *length < CATALOG_RECORD_TEXT_LONGEST) {
            capacity *= 2;
            char* bigger =
                static_cast<char*>(std::realloc(text, static_cast<std::size_t>(capacity)));
            if (bigger == nullptr) {
                std::free(text);
            }
            text = bigger;
            if (text == nullptr) {
                break;
            }
        }
        const int written = catalog_record_text(e, text + *length, CATALOG_RECORD_TEXT_LONGEST);
        if (written < 0) {
            std::free(text);
            return nullptr;
        }
        *length += written;
    }
    return text;
}

// --blocks: the block map of a file of at least BLOCK_MAP_SMALLEST_FILE
// bytes, written beside it as NAME.qblocks, and the entry's BLOCKS line.
// 0 (with a line saying why) when the map cannot be made or written.
int add_block_map(CatalogEntry* entry, const char* root)
{
    if (entry->kind == ENTRY_LAUNCHER || entry->size < BLOCK_MAP_SMALLEST_FILE) {
        return 1;
    }
    // "BLOCKS <size> <64 hex digits> <name>" must stay one line a launcher
    // reads whole (1022 bytes); a file with a name that long goes whole.
    constexpr std::size_t LINE_LONGEST = 1022;
    if (std::strlen(entry->url_name) + sizeof BLOCK_MAP_SUFFIX - 1 + 90 > LINE_LONGEST) {
        std::fprintf(stderr, "quorvelctl catalog: %s: name too long for a block map\n",
                     entry->local_path);
        return 1;
    }
    char source[2 * CATALOG_TEXT_SIZE];
    char map_path[2 * CATALOG_TEXT_SIZE + 16];
    std::snprintf(source, sizeof source, "%s/%s", root, entry->local_path);
    std::snprintf(map_path, sizeof map_path, "%s%s", source, BLOCK_MAP_SUFFIX);
    const int name_fits =
        std::snprintf(entry->blocks_name, sizeof entry->blocks_name, "%s%s", entry->url_name,
                      BLOCK_MAP_SUFFIX) < static_cast<int>(sizeof entry->blocks_name);
    std::uint8_t* map = nullptr;
    std::int64_t length = 0;
    char temporary[2 * CATALOG_TEXT_SIZE + 32];
    int good = name_fits && block_map_build(source, &map, &length) &&
               sha256_digest(map, static_cast<std::size_t>(length), entry->blocks_sha256);
    // The map must be of the bytes the record names: a file changed since
    // it was measured would give a map no launcher could use.
    good = good && fs_file_size(source) == entry->size;
    std::FILE* file = good ? ctl_replace_begin(map_path, temporary, sizeof temporary) : nullptr;
    good = file != nullptr &&
           ctl_replace_end(file, temporary, map_path,
                           std::fwrite(map, 1, static_cast<std::size_t>(length), file) ==
                               static_cast<std::size_t>(length));
    std::free(map);
    if (!good) {
        std::fprintf(stderr, "quorvelctl catalog: cannot make the block map %s\n", map_path);
        return 0;
    }
    entry->has_blocks = 1;
    entry->blocks_size = length;
    return 1;
}

int find_path(const FileList* list, const char* relative)
{
    for (int i = 0; i < list->count; ++i) {
        if (std::strcmp(list->paths[i], relative) == 0) {
            return 1;
        }
    }
    return 0;
}

// "--launcher PLATFORM=PATH": a launcher's new version, PATH below DIR.
struct LauncherOption {
    char platform[PLATFORM_NAME_SIZE];
    const char* path;
};
constexpr int LAUNCHER_OPTIONS_MAX = 2;

int take_launcher_option(const char* value, LauncherOption* out)
{
    const char* equals = std::strchr(value, '=');
    const std::size_t length = equals != nullptr ? static_cast<std::size_t>(equals - value) : 0;
    for (const char* platform : LAUNCHER_PLATFORMS) {
        if (length == std::strlen(platform) && std::strncmp(value, platform, length) == 0 &&
            equals[1] != '\0') {
            std::snprintf(out->platform, sizeof out->platform, "%s", platform);
            out->path = equals + 1;
            return 1;
        }
    }
    return 0;
}

// Makes entry the LAUNCHER record of option. 0, with a line saying why,
// when a line of it would read as a keyword to the launchers in the field.
int make_launcher_record(CatalogEntry* entry, const LauncherOption* option)
{
    entry->kind = ENTRY_LAUNCHER;
    static_assert(sizeof entry->platform == sizeof option->platform);
    std::memcpy(entry->platform, option->platform, sizeof entry->platform);
    const char* slash = std::strrchr(option->path, '/');
    std::snprintf(entry->file_name, sizeof entry->file_name, "%s",
                  slash != nullptr ? slash + 1 : option->path);
    if (catalog_line_is_keyword(entry->url_name) || catalog_line_is_keyword(entry->file_name)) {
        std::fprintf(stderr,
                     "quorvelctl catalog: the launcher %s starts with FILE, EXE or NOT: "
                     "launchers in the field would read its record as a game file; rename it\n",
                     option->path);
        return 0;
    }
    return 1;
}

} // namespace

int ctl_path_within(const char* path, const char* folder)
{
    char part[2 * CATALOG_TEXT_SIZE];
    std::snprintf(part, sizeof part, "%s", path);
    const auto separator = [](char c) { return c == '/' || c == '\\'; };
    std::size_t length = std::strlen(part);
    while (length > 0) {
        if (fs_same_file(part, folder)) {
            return 1;
        }
        while (length > 0 && separator(part[length - 1])) {
            part[--length] = '\0'; // "a/b/" is "a/b"
        }
        while (length > 0 && !separator(part[length - 1])) {
            part[--length] = '\0'; // up one folder
        }
    }
    // Above a relative path's first component stands the current folder
    // (above "..", its parent, already compared).
    const bool up = path[0] == '.' && path[1] == '.' && (path[2] == '\0' || separator(path[2]));
    return !separator(path[0]) && !up && fs_same_file(".", folder);
}

int ctl_list_folder(const char* dir, const FolderRules* rules, const char* exe_name,
                    const char* notes_name, int with_sha256, CatalogEntry** head)
{
    *head = nullptr;
    const char* skip = rules->output;
    FileList list = {nullptr, 0, 0, dir, rules, "", 0, 0};
    if (rules->dest != nullptr && !fs_real_path(dir, list.root_real, sizeof list.root_real)) {
        std::fprintf(stderr, "quorvelctl: cannot read folder %s\n", dir);
        return 0;
    }
    scan_folder(&list, "");
    int good = !list.failed;
    // An existing file below the scanned folder is overwritten only when it
    // is a catalog, so that a slip of -o never costs a game file.
    if (good && list.output_inside && !catalog_text_is_catalog(skip)) {
        std::fprintf(stderr,
                     "quorvelctl: %s is a file below %s and not a catalog; not overwriting it\n",
                     skip, dir);
        good = 0;
    }
    if (good && list.count > 0) { // an empty folder has no list to sort (qsort takes no null)
        std::qsort(list.paths, static_cast<size_t>(list.count), sizeof(PathText), compare_paths);
    }
    for (const char* name : {exe_name, notes_name}) {
        if (good && name != nullptr && !find_path(&list, name)) {
            std::fprintf(stderr, "quorvelctl: %s is not a file below %s\n", name, dir);
            good = 0;
        }
    }
    // Built back to front so that the list, and so the written file, reads
    // in sorted order.
    for (int i = list.count - 1; i >= 0 && good; --i) {
        EntryKind kind = ENTRY_FILE;
        if (exe_name != nullptr && std::strcmp(list.paths[i], exe_name) == 0) {
            kind = ENTRY_EXE;
        } else if (notes_name != nullptr && std::strcmp(list.paths[i], notes_name) == 0) {
            kind = ENTRY_NOTES;
        }
        CatalogEntry* entry = make_entry(dir, list.paths[i], kind, with_sha256);
        if (entry == nullptr) {
            good = 0;
            break;
        }
        entry->next = *head;
        *head = entry;
    }
    std::free(list.paths);
    if (good && !names_are_distinct(*head)) {
        good = 0;
    }
    if (!good) {
        catalog_free(head);
    }
    return good;
}

int ctl_write_catalog(const CatalogEntry* head, const char* preface, const SigningOptions* options,
                      const std::uint8_t* seed, const char* output)
{
    std::int64_t length = 0;
    char* text = list_text(head, preface, &length);
    if (text == nullptr) {
        return 0;
    }
    int written = 0;
    if (seed != nullptr) {
        written = write_signed(text, length, options, seed, output);
    } else if (output == nullptr) {
        written = std::fwrite(text, 1, static_cast<std::size_t>(length), stdout) ==
                      static_cast<std::size_t>(length) &&
                  std::fflush(stdout) == 0;
    } else {
        char temporary[CATALOG_TEXT_SIZE];
        std::FILE* file = ctl_replace_begin(output, temporary, sizeof temporary);
        written = file != nullptr &&
                  ctl_replace_end(file, temporary, output,
                                  std::fwrite(text, 1, static_cast<std::size_t>(length), file) ==
                                      static_cast<std::size_t>(length));
    }
    std::free(text);
    return written;
}

int cmd_catalog(int argc, char** argv)
{
    LauncherOption launchers[LAUNCHER_OPTIONS_MAX] = {};
    int launcher_count = 0;
    const char* dir = nullptr;
    const char* exe_name = nullptr;
    const char* notes_name = nullptr;
    const char* output = nullptr;
    const char* key_file = nullptr;
    int with_blocks = 0;
    SigningOptions options = {};
    for (int i = 0; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        const int signing = signing_option(&options, argc, argv, &i);
        if (signing < 0) {
            std::fprintf(stderr, "quorvelctl catalog: bad value for %s\n", argv[i - 1]);
            return EXIT_USAGE;
        }
        if (signing > 0) {
            continue;
        }
        if (std::strcmp(argv[i], "--sign") == 0 && has_value) {
            key_file = argv[++i];
        } else if (std::strcmp(argv[i], "--exe") == 0 && has_value) {
            exe_name = argv[++i];
        } else if (std::strcmp(argv[i], "--notes") == 0 && has_value) {
            notes_name = argv[++i];
        } else if (std::strcmp(argv[i], "-o") == 0 && has_value) {
            output = argv[++i];
        } else if (std::strcmp(argv[i], "--blocks") == 0) {
            with_blocks = 1;
        } else if (std::strcmp(argv[i], "--launcher") == 0 && has_value &&
                   launcher_count < LAUNCHER_OPTIONS_MAX) {
            if (!take_launcher_option(argv[++i], &launchers[launcher_count++])) {
                std::fprintf(stderr,
                             "quorvelctl catalog: --launcher takes windows-i686=PATH or "
                             "linux-x86_64=PATH, not '%s'\n",
                             argv[i]);
                return EXIT_USAGE;
            }
        } else if (argv[i][0] != '-' && dir == nullptr) {
            dir = argv[i];
        } else {
            std::fprintf(stderr,
                         "quorvelctl catalog: unexpected argument '%s'\n"
                         "usage: quorvelctl catalog DIR [--exe NAME] [--notes NAME] "
                         "[-o FILE] [--blocks] [--launcher PLATFORM=PATH]... "
                         "[--sign KEYFILE [--version N] [--expires DAYS]]\n",
                         argv[i]);
            return EXIT_USAGE;
        }
    }
    if (dir == nullptr) {
        std::fprintf(stderr, "usage: quorvelctl catalog DIR [--exe NAME] [--notes NAME] [-o FILE] "
                             "[--blocks] [--launcher PLATFORM=PATH]... "
                             "[--sign KEYFILE [--version N] [--expires DAYS]]\n");
        return EXIT_USAGE;
    }
    if (!fs_is_dir(dir)) {
        std::fprintf(stderr, "quorvelctl catalog: not a folder: %s\n", dir);
        return EXIT_USAGE;
    }
    std::uint8_t seed[ED25519_KEY_SIZE];
    if (key_file != nullptr && !read_signing_key(key_file, seed)) {
        std::fprintf(stderr, "quorvelctl catalog: %s holds no signing key\n", key_file);
        return EXIT_USAGE;
    }

    CatalogEntry* head = nullptr;
    const FolderRules rules = {output, key_file, nullptr};
    int status = ctl_list_folder(dir, &rules, exe_name, notes_name, key_file != nullptr, &head)
                     ? 0
                     : EXIT_USAGE;
    for (int l = 0; l < launcher_count && status == 0; ++l) {
        CatalogEntry* entry = head;
        while (entry != nullptr && std::strcmp(entry->local_path, launchers[l].path) != 0) {
            entry = entry->next;
        }
        if (entry == nullptr) {
            std::fprintf(stderr, "quorvelctl catalog: %s is not a file below %s\n",
                         launchers[l].path, dir);
            status = EXIT_USAGE;
        } else if (!make_launcher_record(entry, &launchers[l])) {
            status = EXIT_USAGE;
        }
    }
    for (CatalogEntry* e = head; e != nullptr && status == 0 && with_blocks; e = e->next) {
        status = add_block_map(e, dir) ? 0 : EXIT_USAGE;
    }
    if (status == 0 &&
        !ctl_write_catalog(head, "", &options, key_file != nullptr ? seed : nullptr, output)) {
        std::fprintf(stderr, "quorvelctl catalog: cannot write%s %s\n",
                     key_file != nullptr ? " or sign" : "",
                     output != nullptr ? output : "standard output");
        status = EXIT_USAGE;
    }
    std::memset(seed, 0, sizeof seed);
    catalog_free(&head);
    return status;
}
