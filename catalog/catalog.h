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

enum EntryKind : std::int32_t {
    ENTRY_NONE = 0,
    ENTRY_FILE = 1,
    ENTRY_EXE = 2,
    ENTRY_NOTES = 3,
};

struct CatalogEntry {
    EntryKind kind;
    char url_name[CATALOG_TEXT_SIZE];
    char url[CATALOG_TEXT_SIZE];
    std::int64_t size;
    std::uint32_t crc;
    char file_name[CATALOG_TEXT_SIZE];
    char local_path[CATALOG_TEXT_SIZE];
    std::int32_t update;
    CatalogEntry* next;
};

// A new entry in its fresh state, owned by the caller; null when no memory.
CatalogEntry* entry_new();

// Reads one line of at most n-1 bytes and removes up to three trailing line
// end characters, never the one at position 0. 1 when a line was read, 0 at
// the end of the file or on a read error (buffer then unchanged).
int read_line(std::FILE* stream, char* buffer, int n);

// Loads a catalog file. Either prefix may be empty; a non-empty prefix is
// joined to the name with "/". Null when the file cannot be opened or holds
// no record.
CatalogEntry* catalog_load(const char* path, const char* local_prefix, const char* url_prefix);

// Releases every entry and sets *head to null. Null address or head: nothing.
void catalog_free(CatalogEntry** head);

// The console dump of a list, to standard output.
void catalog_print(const CatalogEntry* head);

// Writes a list in catalog form. 1 when every byte was written and the file
// closed cleanly; 0 when it could not be created, written or closed, so a
// publisher's tool can tell a full disk from success.
int catalog_write(const CatalogEntry* head, const char* path);

// The same written form into an open stream; 1 when no write failed.
int catalog_write_stream(const CatalogEntry* head, std::FILE* stream);

// 1 when a local file name may be joined to the data directory: not absolute
// ("/x", "\x", "\\host\x"), no drive or stream colon, no ".." component
// (split at "/" and "\"), no Windows device name (CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, CONIN$, CONOUT$; any case, any extension, any component).
// Sub-folders such as "maps/a.pak" are fine.
int catalog_name_is_safe(const char* file_name);
