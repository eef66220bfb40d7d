// File verification: CRC-32 (IEEE 802.3 / PNG / ZIP), the check of every
// catalog entry's local file by size and CRC, the bytes still to fetch, the
// executable that Play starts and the notes file of the ready screen.
#pragma once

#include "catalog/catalog.h"

#include <cstdint>
#include <cstdio>

constexpr int NOTES_LINE_SIZE = 64;

// Files this large may be checked from a mapping (fs_scan_file: no copy
// through a buffer); a smaller one costs less as one read than as a
// mapping's set-up and faults.
constexpr std::int64_t FILE_MAP_AT_LEAST = 1 << 20;

void crc32_init_table();

// Runs count bytes through the running value; no conditioning here.
std::uint32_t crc32_update(const std::uint8_t* bytes, std::int32_t count, std::uint32_t running);

// CRC-32 of the bytes from the stream's position to its end.
std::uint32_t crc32_file(std::FILE* stream);

// 1 when the entry's local file has the entry's size and CRC; otherwise 0 and
// the entry's update flag set. Never clears the flag. A file that cannot be
// read to its end (a directory, a FIFO or device, a read error) does not
// match.
int entry_verify(CatalogEntry* entry);

// 1 when the regular file at path has the entry's size and CRC-32; the
// update flag is left alone.
int entry_matches_file(const CatalogEntry* entry, const char* path);

// Verifies every entry, with no early stop. 1 when the list is not empty and
// every entry matched.
int catalog_verify_all(CatalogEntry* head);

// The same with another check of one entry (1 when it matched).
int catalog_verify_each(CatalogEntry* head, int (*verify)(CatalogEntry* entry));

std::int64_t catalog_pending_bytes(const CatalogEntry* head);
CatalogEntry* catalog_find_exe(CatalogEntry* head);

// Reads the notes file (the entry catalog_find_role gives for ENTRY_NOTES)
// into at most max_lines slots of NOTES_LINE_SIZE bytes and sets *count.
// Reading stops when the slots are full; the count never exceeds max_lines.
void notes_load(const CatalogEntry* head, char (*lines)[NOTES_LINE_SIZE], std::int32_t* count,
                std::int32_t max_lines);

// Takes size and CRC from the local file; flags the entry when it is missing.
void entry_refresh(CatalogEntry* entry);
void catalog_refresh_all(CatalogEntry* head);
