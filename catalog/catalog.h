// The catalog: the server's list of the game's files, its text format, and
// the singly linked entry list built from it.
//
// A record is five lines: keyword, URL name, size (decimal), CRC-32 (hex),
// local file name. The list holds the records in the reverse of their order
// in the file: each finished record becomes the new head.
#pragma once

#include <cstdint>
#include <cstdio>

constexpr int CATALOG_TEXT_SIZE = 1024;

// A catalog is a few kilobytes; a body this large is not one (a server
// streaming without end, a wrong file), and must not fill the disk.
constexpr std::int64_t CATALOG_BODY_LIMIT = 64LL * 1024 * 1024;
// A catalog server that accepts and never answers must not keep a complete
// install from Play: after this long without a byte the fetch has failed.
constexpr std::int32_t CATALOG_IDLE_TIMEOUT_MS = 30000;
// Nor one that keeps sending a little at a time: the fetch ends this long
// after it started, whatever has arrived.
constexpr std::int32_t CATALOG_TIME_LIMIT_MS = 120000;

enum EntryKind : std::int32_t {
    ENTRY_NONE = 0,
    ENTRY_FILE = 1,
    ENTRY_EXE = 2,
    ENTRY_NOTES = 3,
    // "LAUNCHER <platform>": the launcher's own new version for one
    // platform. Never part of the game's list (catalog_load skips it, as
    // every launcher in the field does); catalog_find_launcher reads it.
    ENTRY_LAUNCHER = 4,
};

constexpr int PLATFORM_NAME_SIZE = 24;
// The platforms a LAUNCHER record may name.
constexpr const char* LAUNCHER_PLATFORMS[] = {"windows-i686", "linux-x86_64"};

struct CatalogEntry {
    EntryKind kind;
    char url_name[CATALOG_TEXT_SIZE];
    char url[CATALOG_TEXT_SIZE];
    std::int64_t size;
    std::uint32_t crc;
    char file_name[CATALOG_TEXT_SIZE];
    char local_path[CATALOG_TEXT_SIZE];
    std::int32_t update;
    // The file's SHA-256 from the "SHA256 <hex>" line that may follow the
    // record's five lines (launchers that do not know it skip it).
    std::int32_t has_sha256;
    std::uint8_t sha256[32];
    char platform[PLATFORM_NAME_SIZE]; // a LAUNCHER record's
    CatalogEntry* next;
};

// A new entry in its fresh state, owned by the caller; null when no memory.
// Give it back with entry_free (or catalog_free for a list), never free().
CatalogEntry* entry_new();

// Releases one entry from entry_new. Null: nothing.
void entry_free(CatalogEntry* entry);

// How many blocks of pages the entries alive now occupy (0 when none is).
int entry_blocks_in_use();

// Reads one line of at most n-1 bytes and removes up to three trailing line
// end characters, never the one at position 0. 1 when a line was read, 0 at
// the end of the file or on a read error (buffer then unchanged).
int read_line(std::FILE* stream, char* buffer, int n);

// Loads a catalog file. Either prefix may be empty; a non-empty prefix is
// joined to the name with "/", and "\" in the name becomes "/" in
// local_path, so every build lays out the same tree. Records are dropped
// with one standard-error line each for an unsafe name, a URL or path too
// long, and a name equal to an earlier record's once letter case and the
// separator are ignored. Null when the file is not a regular file, cannot be
// opened or holds no record.
CatalogEntry* catalog_load(const char* path, const char* local_prefix, const char* url_prefix);

// The "LAUNCHER <platform>" record for platform into *out (url joined to
// url_prefix; local_path left empty for the caller). 1 when found whole.
int catalog_find_launcher(const char* path, const char* platform, const char* url_prefix,
                          CatalogEntry* out);

// 1 when a line would read as a record's keyword line (it starts with
// FILE, EXE or NOT): a LAUNCHER record's lines must not, or the launchers in
// the field would take them for a record of the game.
int catalog_line_is_keyword(const char* line);

// Releases every entry and sets *head to null. Null address or head: nothing.
void catalog_free(CatalogEntry** head);

// The console dump of a list, to standard output.
void catalog_print(const CatalogEntry* head);

// Writes a list in catalog form: each entry's url_name and file_name (and
// its SHA256 line when it has one), the
// fields catalog_load reads, so a list written and loaded again with the
// same prefixes is the same list. 1 when every byte was written and the file
// closed cleanly; 0 when it could not be created, written or closed, so a
// publisher's tool can tell a full disk from success.
int catalog_write(const CatalogEntry* head, const char* path);

// One entry's written form into out (size bytes); its length, or -1 when
// it does not fit.
int catalog_record_text(const CatalogEntry* entry, char* out, int size);

// The same written form into an open stream; 1 when no write failed.
int catalog_write_stream(const CatalogEntry* head, std::FILE* stream);

// Why a local file name may not be joined to the data directory, or null
// when it may. Refused: an empty name or one ending in a separator (the
// folder itself); absolute names ("/x", "\x", "\\host\x"); a drive or
// stream colon; characters Windows refuses (<>"|?* and control
// characters); a component ending in a dot or a blank (so "." and ".."); a
// Windows device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$;
// any case, any extension, any component); and the launcher's own files
// "catalog.txt" and "catalog.txt.new" in any case. Sub-folders such as
// "maps/a.pak" or "maps\a.pak" are fine. Catalogs serve Windows players, so
// every build refuses the same names.
const char* catalog_name_problem(const char* file_name);

// 1 when catalog_name_problem finds nothing.
int catalog_name_is_safe(const char* file_name);

// Puts a freshly fetched catalog in place of catalog_path in one step when
// it reads as a catalog; otherwise, or when the replace fails, removes it
// and leaves catalog_path as it was, with one standard-error line. 1 when
// the new catalog is in place.
int catalog_install(const char* fetched_path, const char* catalog_path);

// 1 when the file reads as a catalog: at least one record keyword line, or
// nothing but blank lines (the empty catalog). A login page or any other
// text with no record is not a catalog. 0 also when it cannot be read.
int catalog_text_is_catalog(const char* path);
