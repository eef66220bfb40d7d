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
    // every launcher in the field does); catalog_find_launcher_in reads it.
    ENTRY_LAUNCHER = 4,
};

// Put before a record's keyword ("LARGE FILE") when its size is 2 GiB or
// more: launchers that read sizes in 32 bits skip such a record, where they
// would fetch the file again and again; this launcher reads both forms.
constexpr char LARGE_RECORD_PREFIX[] = "LARGE ";

// A download goes to "<local path>.partial" and is renamed over the local
// path once it verified; "<local path>.partial.meta" records what a
// .partial left by an ended run belongs to, so the next run may resume it.
constexpr char PARTIAL_SUFFIX[] = ".partial";
constexpr char PARTIAL_META_SUFFIX[] = ".partial.meta";

// The longest name of one file or folder the file systems take (255 bytes
// on Linux, 255 characters on Windows).
constexpr int CATALOG_LONGEST_NAME = 255;

// Where the download of the file at local_path goes before it verified:
// "<local path>.partial", with its sidecar "<part>.meta" and a patch's map
// "<part>.qblocks" beside it, when all three names fit; otherwise a short
// part of its own in the same folder, "~<16 hex digits>.partial", the digits
// a hash of the file's name, so that a later start finds the same part (the
// name rules refuse "~<16 hex digits>" as a record's name, so no record's
// own part is ever one). 1 when the part's longest path fits in size bytes
// and in the system's longest path.
int catalog_part_path(const char* local_path, char* out, int size);

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
    // The file's block map, from the "BLOCKS <size> <sha256> <URL name>"
    // line that may follow the record (after its SHA256 line), for fetching
    // only the blocks that changed; launchers that do not know it skip it.
    std::int32_t has_blocks;
    std::int64_t blocks_size;
    std::uint8_t blocks_sha256[32];
    char blocks_name[CATALOG_TEXT_SIZE];
    char platform[PLATFORM_NAME_SIZE]; // a LAUNCHER record's
    // The place in the catalog of the record (1 for the first), and of the
    // catalog's last EXE and NOTES record when it named this file (else 0):
    // what Play starts and shows. One file may be named by several records
    // (a FILE and then the EXE); a last EXE record that was dropped leaves
    // Play with nothing, never with an earlier EXE. 0 in a list made by hand.
    std::int32_t record;
    std::int32_t exe_record;
    std::int32_t notes_record;
    CatalogEntry* next;
};

// A new entry in its fresh state (all zero), one heap allocation the caller
// owns and gives back with free() or entry_free; null when no memory.
CatalogEntry* entry_new();

// free() of one entry. Null: nothing.
void entry_free(CatalogEntry* entry);

// Reads one line of at most n-1 bytes and removes up to three trailing line
// end characters, never the one at position 0. 1 when a line was read, 0 at
// the end of the file or on a read error (buffer then unchanged).
int read_line(std::FILE* stream, char* buffer, int n);

// Lines of a catalog held in memory, read exactly as read_line reads a file
// of the same bytes (pieces of n-1 bytes, a NUL ending the text, up to three
// line ends removed): the bytes a signature covers are the bytes parsed.
struct TextCursor {
    const char* bytes;
    std::int64_t at;
    std::int64_t end;
};

int text_read_line(TextCursor* cursor, char* buffer, int n);

// A catalog file's bytes, read once into a buffer the caller gives back with
// std::free (a zero byte follows them). 1 on success; 0 when the path is
// not a regular file, cannot be read, or holds more than
// CATALOG_BODY_LIMIT bytes (no fetch ever writes more).
int catalog_text_read(const char* path, char** bytes, std::int64_t* length);

// The entry list of a catalog's bytes. Either prefix may be empty; a
// non-empty prefix is joined to the name with "/". Names are stored in the
// form catalog_name_normalize gives, so every build lays out the same tree.
// Records are dropped with one standard-error line each for an unsafe name,
// a URL or path too long, or a size past 63 bits. Records that name one
// file (letter case and the separator ignored) with the same size, CRC-32
// and SHA-256 are one entry that keeps the roles of all of them; with
// different contents the later record stands, with one standard-error line.
// Null when it holds no record.
CatalogEntry* catalog_parse(const char* bytes, std::int64_t length, const char* local_prefix,
                            const char* url_prefix);

// catalog_parse without its standard-error lines, for a caller that looks
// only at the local paths (the lines were said when the catalog was read).
CatalogEntry* catalog_parse_quietly(const char* bytes, std::int64_t length,
                                    const char* local_prefix);

// catalog_parse of a file's bytes; null also when it cannot be read.
CatalogEntry* catalog_load(const char* path, const char* local_prefix, const char* url_prefix);

// Other places that serve the same files: "MIRROR <base URL>" lines before
// the catalog's first record (launchers that do not know them skip them).
constexpr int CATALOG_MIRRORS_MAX = 8;
constexpr char MIRROR_PREFIX[] = "MIRROR ";

// The MIRROR lines' base URLs, in order, into mirrors (at most max, each
// an http:// or https:// URL without blanks); their count.
int catalog_mirrors(const char* bytes, std::int64_t length, char (*mirrors)[CATALOG_TEXT_SIZE],
                    int max);

// The "LAUNCHER <platform>" record for platform into *out (url joined to
// url_prefix; local_path left empty for the caller). 1 when found whole.
int catalog_find_launcher_in(const char* bytes, std::int64_t length, const char* platform,
                             const char* url_prefix, CatalogEntry* out);

// 1 when a line would read as a record's keyword line (it starts with
// FILE, EXE or NOT): a LAUNCHER record's lines must not, or the launchers in
// the field would take them for a record of the game.
int catalog_line_is_keyword(const char* line);

// How many field lines follow a line that starts a record (a keyword line
// or a "LAUNCHER <platform>" line): 4; 0 for any other line. Readers that
// look for the seal's own lines (VERSION, EXPIRES, SIGNATURE) pass over a
// record's lines, since a game file may be named "VERSION 2.txt".
int catalog_record_field_lines(const char* line);

// The entry the last record of kind (ENTRY_EXE or ENTRY_NOTES) in the
// catalog named, null when that record was dropped or there is none; for a
// list made by hand, the first entry of that kind.
CatalogEntry* catalog_find_role(CatalogEntry* head, EntryKind kind);

// Releases every entry with free() and sets *head to null, so a list built
// by hand from malloc'd entries is released too. Null address or head:
// nothing.
void catalog_free(CatalogEntry** head);

// The console dump of a list, to standard output.
void catalog_print(const CatalogEntry* head);

// The block map's URL: the record's URL prefix joined to blocks_name. 1
// when the entry has a map and its URL fits in size bytes.
int catalog_blocks_url(const CatalogEntry* entry, char* out, int size);

// Writes a list in catalog form, head first: each entry's composed url and
// local_path (its SHA256 line when it has one, its BLOCKS line with the
// map's composed URL when it has a map), so a list written and loaded again
// with empty prefixes holds the same URLs and paths, in reverse order (a
// load puts the last record first). Unlike the 1/0 results elsewhere, the
// result is a close's status: 0 when the file could not be created, else
// what fclose returned (0 when every byte went out and the file closed
// cleanly; EOF also when a write failed before the close).
int catalog_write(const CatalogEntry* head, const char* path);

// The longest text catalog_record_text writes: three names and a few short
// lines.
constexpr int CATALOG_RECORD_TEXT_LONGEST = 3 * CATALOG_TEXT_SIZE + 300;

// One entry's record as a catalog file holds it, with its url_name and
// file_name (what quorvelctl catalog publishes), into out (size bytes); its
// length, or -1 when it does not fit.
int catalog_record_text(const CatalogEntry* entry, char* out, int size);

// catalog_write's form (composed url and local_path) into an open stream; 1
// when no write failed.
int catalog_write_stream(const CatalogEntry* head, std::FILE* stream);

// A local file name as Windows opens it, or why it may not be joined to
// the data directory. The name is first taken apart as Win32 does: doubled
// separators are one, and every component loses its trailing dots and
// blanks ("maps//a.pak" is "maps/a.pak", "readme.txt ." is "readme.txt").
// Refused: an empty name or one ending in a separator (the folder itself);
// absolute names ("/x", "\x", "\\host\x"); a drive or stream colon;
// characters Windows refuses (<>"|?* and control characters); a component of
// dots and blanks only (so "." and ".."); a Windows device name (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, CONIN$, CONOUT$; any case, any extension, any
// component, COM0-9 and LPT0-9 with the superscripts one to three too); the
// launcher's own files, "catalog.txt", "catalog.txt.new" and
// "quorvel-launcher.ini" at the top in any case, as a file or a folder; any
// component ending in ".partial" or ".partial.meta" (a download's own
// files) or ".qblocks" (a block map), or of the form "~<16 hex digits>" (whose
// own part would be another file's short part). Catalogs serve Windows players, so every
// build (and the publisher's tools) applies the same rules. On success out
// (size bytes) holds the name with "/" separators and the result is null;
// otherwise out is empty and the result says why.
const char* catalog_name_normalize(const char* file_name, char* out, int size);

// Why a name is refused (catalog_name_normalize), or null when it is not.
const char* catalog_name_problem(const char* file_name);

// 1 when catalog_name_problem finds nothing.
int catalog_name_is_safe(const char* file_name);

// Puts a freshly fetched catalog in place of catalog_path in one step when
// it reads as a catalog; otherwise, or when the replace fails, removes it
// and leaves catalog_path as it was, with one standard-error line. 1 when
// the new catalog is in place.
int catalog_install(const char* fetched_path, const char* catalog_path);

// 1 when the file reads as a catalog: it holds a whole record (a keyword
// line, then the URL, a size and a CRC that the loader reads as numbers
// (digits after blanks and a sign, hex digits as %8X takes them; text after
// them is allowed, as the loader ignores it) and the name), or
// nothing but blank lines and the VERSION, EXPIRES, SHA256 and SIGNATURE
// lines of a signature (the empty catalog, signed or not). Other text
// around records is allowed. A login page, a game file with no whole record
// or a record cut short is not a catalog. 0 also when it cannot be read.
// The one rule for the launcher's fetched catalog and for what quorvelctl
// catalog may overwrite.
int catalog_text_is_catalog(const char* path);
