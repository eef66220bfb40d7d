// quorvelctl publish: a game's files as a folder any static server, object
// store or CDN serves as it is. Every file's bytes go under a name made
// from their SHA-256 (objects/<first two hex digits>/<sha256>), written
// once and never again, so a cache can keep them for ever; the catalog, the
// one name that changes, is written last, in one step, so that no server
// ever shows a catalog whose objects are not all in place.
#include "catalog/block_map.h"
#include "catalog/catalog.h"
#include "ctl/commands.h"
#include "ctl/signing_options.h"
#include "net/http.h"
#include "platform/platform.h"

#include <cctype>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

// 1 when url is a base URL option may take: http:// or https://, the
// scheme in lower case for a mirror (as the catalog loader reads MIRROR
// lines) or in any case for the base (as the client reads it), no blanks,
// at most 900 bytes; else says so.
int web_url_option(const char* option, const char* url, int any_case)
{
    char scheme[9] = {};
    for (int i = 0; i < 8 && url[i] != '\0'; ++i) {
        scheme[i] =
            any_case ? static_cast<char>(std::tolower(static_cast<unsigned char>(url[i]))) : url[i];
    }
    const bool web =
        std::strncmp(scheme, "http://", 7) == 0 || std::strcmp(scheme, "https://") == 0;
    if (web && std::strpbrk(url, " \t\r\n") == nullptr && std::strlen(url) <= 900) {
        return 1;
    }
    std::fprintf(stderr, "quorvelctl publish: %s takes an http:// or https:// base URL, not '%s'\n",
                 option, url);
    return 0;
}

constexpr int PATH_SIZE = 2 * CATALOG_TEXT_SIZE;
constexpr int MIRRORS_MAX = 8;
constexpr char HISTORY_FOLDER[] = "history";
constexpr char OBJECTS_FOLDER[] = "objects";
constexpr int HEX_NAME = 2 * SHA256_SIZE;
constexpr std::size_t PATH_ARGUMENT_MOST = 900;

const char USAGE[] =
    "usage: quorvelctl publish SRC DEST --exe NAME --notes NAME [--blocks] "
    "[--base URL] [--mirror URL]... [--keep N] [--sign KEYFILE [--version N] [--expires DAYS]]\n";

// A path made from the format; every path here fits, as SRC and DEST are
// held to PATH_ARGUMENT_MOST characters: 0 (never a cut path) otherwise.
int make_path(char* out, int size, const char* format, ...)
{
    std::va_list values;
    va_start(values, format);
    const int n = std::vsnprintf(out, static_cast<std::size_t>(size), format, values);
    va_end(values);
    return n > 0 && n < size;
}

// "objects/ab/ab12...": the URL name of the object holding bytes of digest.
void object_name(const std::uint8_t digest[SHA256_SIZE], char* out, int size)
{
    char hex[HEX_NAME + 1];
    hex_encode(digest, SHA256_SIZE, hex);
    std::snprintf(out, static_cast<std::size_t>(size), "%s/%.2s/%s", OBJECTS_FOLDER, hex, hex);
}

int sha256_of_file(const char* path, std::uint8_t digest[SHA256_SIZE])
{
    std::FILE* file = std::fopen(path, "rb");
    Sha256 state;
    if (file == nullptr || !sha256_begin(&state)) {
        if (file != nullptr) {
            std::fclose(file);
        }
        return 0;
    }
    static std::uint8_t buffer[1 << 20];
    std::size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        sha256_update(&state, buffer, got);
    }
    const int read_whole = std::ferror(file) == 0;
    std::fclose(file);
    return sha256_end(&state, digest) && read_whole;
}

// Puts an object in place: nothing to do when it is there (objects are
// never rewritten); otherwise a copy (or reflink) under a temporary name,
// checked against the digest it must hold, renamed into place. *added 1
// when it was written now. 0 with a line on failure.
int put_object(const char* dest, const char* name, const char* source,
               const std::uint8_t digest[SHA256_SIZE], int* added)
{
    char path[PATH_SIZE];
    char temporary[PATH_SIZE + 8];
    make_path(path, sizeof path, "%s/%s", dest, name);
    make_path(temporary, sizeof temporary, "%s.tmp", path);
    *added = 0;
    if (fs_is_file(path)) {
        return 1;
    }
    std::remove(temporary); // left by a run that was stopped
    std::uint8_t copied[SHA256_SIZE];
    const int good = make_parent_folders(dest, name) && fs_copy_new(source, temporary) &&
                     sha256_of_file(temporary, copied) &&
                     std::memcmp(copied, digest, SHA256_SIZE) == 0 && fs_replace(temporary, path);
    if (!good) {
        std::remove(temporary);
        std::fprintf(stderr,
                     "quorvelctl publish: cannot put %s in place as %s (changed while "
                     "it was read, or the disk is full?)\n",
                     source, path);
        return 0;
    }
    *added = 1;
    return 1;
}

// A file's block map as an object of its own, named in the entry's BLOCKS
// line.
int put_block_map(const char* dest, const char* object_path, CatalogEntry* entry, int* added)
{
    std::uint8_t* map = nullptr;
    std::int64_t length = 0;
    char name[CATALOG_TEXT_SIZE];
    char temporary[PATH_SIZE];
    make_path(temporary, sizeof temporary, "%s/%s/map.tmp", dest, OBJECTS_FOLDER);
    int good = block_map_build(object_path, &map, &length) &&
               sha256_digest(map, static_cast<std::size_t>(length), entry->blocks_sha256);
    std::FILE* file = good ? std::fopen(temporary, "wb") : nullptr;
    good = file != nullptr && std::fwrite(map, 1, static_cast<std::size_t>(length), file) ==
                                  static_cast<std::size_t>(length);
    if (file != nullptr && std::fclose(file) != 0) {
        good = 0;
    }
    std::free(map);
    object_name(entry->blocks_sha256, name, sizeof name);
    good = good && put_object(dest, name, temporary, entry->blocks_sha256, added);
    std::remove(temporary);
    if (!good) {
        std::fprintf(stderr, "quorvelctl publish: cannot make the block map of %s\n",
                     entry->local_path);
        return 0;
    }
    entry->has_blocks = 1;
    entry->blocks_size = length;
    std::snprintf(entry->blocks_name, sizeof entry->blocks_name, "%s", name);
    return 1;
}

// ---- The history and --keep ----------------------------------------------

struct NameList {
    char (*names)[HEX_NAME + 1];
    int count;
    int capacity;
};

int add_name(NameList* list, const char* name)
{
    if (list->count == list->capacity) {
        const int capacity = list->capacity == 0 ? 1024 : 2 * list->capacity;
        void* grown =
            std::realloc(list->names, sizeof *list->names * static_cast<std::size_t>(capacity));
        if (grown == nullptr) {
            return 0;
        }
        list->names = static_cast<char(*)[HEX_NAME + 1]>(grown);
        list->capacity = capacity;
    }
    std::snprintf(list->names[list->count++], HEX_NAME + 1, "%s", name);
    return 1;
}

int compare_names(const void* a, const void* b)
{
    return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

// The object file names (the digests) a catalog names, onto names.
int add_named_objects(const char* catalog_path, NameList* names)
{
    CatalogEntry* head = catalog_load(catalog_path, "", "");
    int good = 1;
    const std::size_t prefix = sizeof OBJECTS_FOLDER + 3; // "objects/ab/"
    for (const CatalogEntry* e = head; e != nullptr && good; e = e->next) {
        for (const char* name : {e->url_name, e->has_blocks ? e->blocks_name : ""}) {
            if (std::strlen(name) == prefix + HEX_NAME &&
                std::strncmp(name, OBJECTS_FOLDER, sizeof OBJECTS_FOLDER - 1) == 0) {
                good = add_name(names, name + prefix);
            }
        }
    }
    catalog_free(&head);
    return good;
}

struct FolderNames {
    NameList* list;
    int only_files;
};

void collect(const char* name, int is_dir, void* context)
{
    auto* folder = static_cast<FolderNames*>(context);
    if (is_dir != folder->only_files && std::strlen(name) <= HEX_NAME) {
        add_name(folder->list, name);
    }
}

// "catalog-000123.txt": the history's catalogs, numbered in publishing order.
long history_number(const char* name)
{
    long number = -1;
    char tail[8] = "";
    if (std::sscanf(name, "catalog-%6ld%7s", &number, tail) == 2 &&
        std::strcmp(tail, ".txt") == 0) {
        return number;
    }
    return -1;
}

int compare_numbers(const void* a, const void* b)
{
    const long x = history_number(static_cast<const char*>(a));
    const long y = history_number(static_cast<const char*>(b));
    return x < y ? -1 : (x > y ? 1 : 0);
}

// Files the history holds, sorted oldest first (names of the form above).
int history_files(const char* dest, NameList* files)
{
    char folder[PATH_SIZE];
    make_path(folder, sizeof folder, "%s/%s", dest, HISTORY_FOLDER);
    NameList all = {};
    FolderNames scan = {&all, 1};
    make_folders(folder);
    if (!fs_list_dir(folder, collect, &scan)) {
        std::free(all.names);
        return 0;
    }
    for (int i = 0; i < all.count; ++i) {
        if (history_number(all.names[i]) >= 0) {
            add_name(files, all.names[i]);
        }
    }
    std::free(all.names);
    if (files->count > 0) {
        std::qsort(files->names, static_cast<std::size_t>(files->count), sizeof *files->names,
                   compare_numbers);
    }
    return 1;
}

// Adds the catalog now in place to the history, as the next number.
int record_history(const char* dest, const char* catalog_path)
{
    NameList files = {};
    if (!history_files(dest, &files)) {
        return 0;
    }
    const long next = files.count > 0 ? history_number(files.names[files.count - 1]) + 1 : 1;
    std::free(files.names);
    char path[PATH_SIZE];
    char temporary[PATH_SIZE];
    make_path(path, sizeof path, "%s/%s/catalog-%06ld.txt", dest, HISTORY_FOLDER, next);
    make_path(temporary, sizeof temporary, "%s.tmp", path);
    std::remove(temporary);
    return fs_copy_new(catalog_path, temporary) && fs_replace(temporary, path);
}

// --keep N: the history keeps its last N catalogs; objects none of them
// (nor the catalog in place) names go. Returns the objects removed, -1 on
// failure.
long keep_last(const char* dest, const char* catalog_path, int keep)
{
    NameList files = {};
    NameList named = {};
    if (!history_files(dest, &files) || !add_named_objects(catalog_path, &named)) {
        std::free(files.names);
        std::free(named.names);
        return -1;
    }
    int good = 1;
    for (int i = 0; i < files.count && good; ++i) {
        char path[PATH_SIZE];
        make_path(path, sizeof path, "%s/%s/%s", dest, HISTORY_FOLDER, files.names[i]);
        if (i < files.count - keep) {
            good = std::remove(path) == 0;
        } else {
            good = add_named_objects(path, &named);
        }
    }
    std::free(files.names);
    if (named.count > 0) {
        std::qsort(named.names, static_cast<std::size_t>(named.count), sizeof *named.names,
                   compare_names);
    }
    long removed = 0;
    char objects[PATH_SIZE];
    make_path(objects, sizeof objects, "%s/%s", dest, OBJECTS_FOLDER);
    NameList folders = {};
    FolderNames folder_scan = {&folders, 0};
    good = good && fs_list_dir(objects, collect, &folder_scan);
    for (int f = 0; f < folders.count && good; ++f) {
        char folder[PATH_SIZE];
        make_path(folder, sizeof folder, "%s/%s", objects, folders.names[f]);
        NameList inside = {};
        FolderNames file_scan = {&inside, 1};
        good = fs_list_dir(folder, collect, &file_scan);
        for (int i = 0; i < inside.count && good; ++i) {
            const bool wanted =
                named.count > 0 &&
                std::bsearch(inside.names[i], named.names, static_cast<std::size_t>(named.count),
                             sizeof *named.names, compare_names) != nullptr;
            if (!wanted) {
                char path[PATH_SIZE];
                make_path(path, sizeof path, "%s/%s", folder, inside.names[i]);
                good = std::remove(path) == 0;
                removed += good;
            }
        }
        std::free(inside.names);
    }
    std::free(folders.names);
    std::free(named.names);
    return good ? removed : -1;
}

} // namespace

int cmd_publish(int argc, char** argv)
{
    const char* source = nullptr;
    const char* dest = nullptr;
    const char* exe_name = nullptr;
    const char* notes_name = nullptr;
    const char* key_file = nullptr;
    const char* base = nullptr;
    const char* mirrors[MIRRORS_MAX] = {};
    int mirror_count = 0;
    int with_blocks = 0;
    long keep = 0;
    SigningOptions options = {};
    for (int i = 0; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        const int signing = signing_option(&options, argc, argv, &i);
        if (signing < 0) {
            std::fprintf(stderr, "quorvelctl publish: bad value for %s\n", argv[i - 1]);
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
        } else if (std::strcmp(argv[i], "--base") == 0 && has_value) {
            base = argv[++i];
            // A mistyped base (" https://", "https:host") would let a plain
            // mirror by unchecked.
            if (!web_url_option("--base", base, 1)) {
                return EXIT_USAGE;
            }
        } else if (std::strcmp(argv[i], "--blocks") == 0) {
            with_blocks = 1;
        } else if (std::strcmp(argv[i], "--keep") == 0 && has_value) {
            char* end = nullptr;
            keep = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || keep < 1 || keep > 100000) {
                std::fprintf(stderr, "quorvelctl publish: --keep takes a count of 1 or more\n");
                return EXIT_USAGE;
            }
        } else if (std::strcmp(argv[i], "--mirror") == 0 && has_value &&
                   mirror_count < MIRRORS_MAX) {
            mirrors[mirror_count] = argv[++i];
            if (!web_url_option("--mirror", mirrors[mirror_count++], 0)) {
                return EXIT_USAGE;
            }
        } else if (argv[i][0] != '-' && source == nullptr) {
            source = argv[i];
        } else if (argv[i][0] != '-' && dest == nullptr) {
            dest = argv[i];
        } else {
            std::fprintf(stderr, "quorvelctl publish: unexpected argument '%s'\n%s", argv[i],
                         USAGE);
            return EXIT_USAGE;
        }
    }
    if (source == nullptr || dest == nullptr) {
        std::fprintf(stderr, "%s", USAGE);
        return EXIT_USAGE;
    }
    // Launchers behind an https base skip plain mirrors: such a line would
    // only mislead whoever reads the catalog.
    for (int m = 0; base != nullptr && http_url_is_https(base) && m < mirror_count; ++m) {
        if (!http_url_is_https(mirrors[m])) {
            std::fprintf(stderr, "quorvelctl publish: the base %s is https; the mirror %s is not\n",
                         base, mirrors[m]);
            return EXIT_USAGE;
        }
    }
    const std::size_t source_length = std::strlen(source);
    if (source_length > PATH_ARGUMENT_MOST || std::strlen(dest) > PATH_ARGUMENT_MOST) {
        std::fprintf(stderr, "quorvelctl publish: SRC or DEST path too long\n");
        return EXIT_USAGE;
    }
    if (!fs_is_dir(source) || ctl_path_within(dest, source)) {
        std::fprintf(stderr, "quorvelctl publish: SRC must be a folder, and DEST outside it\n");
        return EXIT_USAGE;
    }
    std::uint8_t seed[ED25519_KEY_SIZE];
    if (key_file != nullptr && !read_signing_key(key_file, seed)) {
        std::fprintf(stderr, "quorvelctl publish: %s holds no signing key\n", key_file);
        return EXIT_USAGE;
    }
    if (!make_folders(dest)) {
        std::fprintf(stderr, "quorvelctl publish: cannot make the folder %s\n", dest);
        return EXIT_USAGE;
    }
    CatalogEntry* head = nullptr;
    // A DEST below SRC would have its objects listed as game files by the
    // next publish (refused above); a link into it would likewise.
    const FolderRules rules = {nullptr, key_file, dest};
    int status = ctl_list_folder(source, &rules, exe_name, notes_name, 1, &head) ? 0 : EXIT_USAGE;
    long files = 0;
    long added_objects = 0;
    std::int64_t added_bytes = 0;
    // The objects first: each in place before any catalog names it.
    for (CatalogEntry* e = head; e != nullptr && status == 0; e = e->next) {
        char name[CATALOG_TEXT_SIZE];
        char from[PATH_SIZE];
        char object_path[PATH_SIZE];
        int added = 0;
        object_name(e->sha256, name, sizeof name);
        make_path(from, sizeof from, "%s/%s", source, e->local_path);
        make_path(object_path, sizeof object_path, "%s/%s", dest, name);
        if (!put_object(dest, name, from, e->sha256, &added)) {
            status = EXIT_USAGE;
            break;
        }
        ++files;
        added_objects += added;
        added_bytes += added ? e->size : 0;
        std::snprintf(e->url_name, sizeof e->url_name, "%s", name);
        if (with_blocks && e->size >= BLOCK_MAP_SMALLEST_FILE) {
            int map_added = 0;
            status = put_block_map(dest, object_path, e, &map_added) ? 0 : EXIT_USAGE;
            added_objects += map_added;
        }
    }
    // The catalog last, in one step, as catalog.php at DEST's top.
    char preface[MIRRORS_MAX * 920] = "";
    for (int m = 0; m < mirror_count; ++m) {
        // Launchers join a base and a name with one "/": a base ending in
        // "/" would ask an object store for "//objects/...".
        std::size_t length = std::strlen(mirrors[m]);
        while (length > 0 && mirrors[m][length - 1] == '/') {
            --length;
        }
        const std::size_t used = std::strlen(preface);
        std::snprintf(preface + used, sizeof preface - used, "MIRROR %.*s\n",
                      static_cast<int>(length), mirrors[m]);
    }
    char catalog_path[PATH_SIZE];
    make_path(catalog_path, sizeof catalog_path, "%s/catalog.php", dest);
    if (status == 0 && !ctl_write_catalog(head, preface, &options,
                                          key_file != nullptr ? seed : nullptr, catalog_path)) {
        std::fprintf(stderr, "quorvelctl publish: cannot write%s %s\n",
                     key_file != nullptr ? " or sign" : "", catalog_path);
        status = EXIT_USAGE;
    }
    std::memset(seed, 0, sizeof seed);
    catalog_free(&head);
    if (status != 0) {
        return status;
    }
    std::printf("published: %ld files, %ld new objects (%.2f MiB), %s\n", files, added_objects,
                static_cast<double>(added_bytes) / 1048576.0, catalog_path);
    if (!record_history(dest, catalog_path)) {
        std::fprintf(stderr, "quorvelctl publish: cannot add the catalog to %s/%s\n", dest,
                     HISTORY_FOLDER);
        return EXIT_USAGE;
    }
    if (keep > 0) {
        const long removed = keep_last(dest, catalog_path, static_cast<int>(keep));
        if (removed < 0) {
            std::fprintf(stderr, "quorvelctl publish: cannot clean %s/%s\n", dest, OBJECTS_FOLDER);
            return EXIT_USAGE;
        }
        std::printf("kept: the last %ld catalogs; %ld objects removed\n", keep, removed);
    }
    return 0;
}
