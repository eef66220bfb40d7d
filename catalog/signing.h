// Signed catalogs. A signed catalog is an ordinary one with lines that
// launchers without keys skip (none starts with a record keyword):
//   VERSION <decimal>                  outside records; never lower than the last
//   EXPIRES <YYYY-MM-DDTHH:MM:SSZ>     outside records; refused after that moment
//   SHA256 <64 hex digits>             right after each record's five lines
//   SIGNATURE ed25519 <base64>         the last line: Ed25519 over every byte
//                                      of the catalog before this line
#pragma once

#include "catalog/catalog.h"
#include "crypto/crypto.h"

#include <cstdint>
#include <cstdio>

// What a catalog file says of itself, read without checking anything.
struct CatalogSeal {
    std::int32_t has_version;
    std::int64_t version;
    std::int32_t has_expires;
    std::int64_t expires; // seconds since 1970-01-01 00:00 UTC
    std::int32_t has_signature;
    std::uint8_t signature[ED25519_SIGNATURE_SIZE];
    std::int64_t signed_length;   // bytes before the signature line
    std::int32_t signature_lines; // lines starting "SIGNATURE" before it
};

enum CatalogCheck : std::int32_t {
    CATALOG_CHECK_OK = 0,
    CATALOG_CHECK_UNREADABLE = 1,
    CATALOG_CHECK_UNSIGNED = 2,
    CATALOG_CHECK_BAD_SIGNATURE = 3,
    CATALOG_CHECK_NO_VERSION = 4,
    CATALOG_CHECK_ROLLBACK = 5,
    CATALOG_CHECK_NO_EXPIRY = 6,
    CATALOG_CHECK_EXPIRED = 7,
    CATALOG_CHECK_NO_SHA256 = 8,
    CATALOG_CHECK_NUL_BYTE = 9,
    CATALOG_CHECK_LONG_LINE = 10,
    CATALOG_CHECK_LONE_CR = 11,
    CATALOG_CHECK_SECOND_SIGNATURE = 12,
};

// Words for the one standard-error line a refusal gets.
const char* catalog_check_text(CatalogCheck check);

// The seal of a catalog's bytes: its last line when that is a signature
// (one line end at most after it), and the VERSION and EXPIRES lines before
// it as the loader's reader reads them.
void catalog_seal_read(const char* bytes, std::int64_t length, CatalogSeal* seal);

// Reads the whole file (catalog_text_read) into a buffer the caller frees
// with std::free, and its seal. Null when it cannot be read.
char* catalog_read_sealed(const char* path, std::int64_t* length, CatalogSeal* seal);

// CATALOG_CHECK_OK when every line of the bytes is read alike by every
// reader: no zero byte, no CR but before LF, no line the loader's reader
// would cut (1023 bytes or more before its LF); otherwise the first fault.
CatalogCheck catalog_text_shape(const char* bytes, std::int64_t length);

// The checks a signed build makes before it acts on a catalog, over one
// reading of it: a signature by one of keys over the bytes before the last
// line, those bytes of the shape catalog_text_shape asks and with no other
// SIGNATURE line, a VERSION not below lowest_version, an EXPIRES after now
// (seconds since 1970), and a SHA256 line for every record. *version is the
// catalog's; *signed_length the length of the bytes the signature covers:
// the only bytes a caller may parse, and only after CATALOG_CHECK_OK.
CatalogCheck catalog_check_sealed_text(const char* bytes, std::int64_t length,
                                       const std::uint8_t (*keys)[ED25519_KEY_SIZE], int key_count,
                                       std::int64_t lowest_version, std::int64_t now,
                                       std::int64_t* version, std::int64_t* signed_length);

// Writes text (a catalog without VERSION, EXPIRES or SIGNATURE lines) to
// out with those lines: VERSION and EXPIRES first, the signature by seed
// last. 1 on success.
int catalog_write_sealed(const char* text, std::int64_t length, std::int64_t version,
                         std::int64_t expires, const std::uint8_t seed[ED25519_KEY_SIZE],
                         std::FILE* out);

// 1 when the regular file at path (the entry's local path when null) has
// the record's size, CRC-32 and SHA-256, measured in one read. An entry
// without a SHA256 line never matches. The update flag is left alone.
int entry_matches_sealed(const CatalogEntry* entry, const char* path);

// Takes the SHA-256 of the entry's local file into sha256 (has_sha256 set).
// 1 on success; 0 when the file cannot be read to its end.
int entry_take_sha256(CatalogEntry* entry);

// "YYYY-MM-DDTHH:MM:SSZ" and seconds since 1970 both ways; parse gives 0
// for anything else.
int utc_text_to_seconds(const char* text, std::int64_t* seconds);
void utc_seconds_to_text(std::int64_t seconds, char out[21]);

// A VERSION value as the launcher reads it: decimal digits only, at most
// 9223372036854775799. 1 when text is one; the publisher's tools take no other.
int catalog_version_parse(const char* text, std::int64_t* version);
