#include "catalog/signing.h"

#include "catalog/catalog.h"
#include "catalog/verify.h"
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace {

const char SIGNATURE_PREFIX[] = "SIGNATURE ed25519 ";

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, int month, int day)
{
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

int parse_decimal(const char* text, std::int64_t* value)
{
    std::int64_t v = 0;
    const char* c = text;
    for (; *c >= '0' && *c <= '9'; ++c) {
        if (v > (INT64_MAX - 9) / 10) {
            return 0;
        }
        v = v * 10 + (*c - '0');
    }
    if (c == text || *c != '\0') {
        return 0;
    }
    *value = v;
    return 1;
}

} // namespace

const char* catalog_check_text(CatalogCheck check)
{
    switch (check) {
    case CATALOG_CHECK_OK: return "accepted";
    case CATALOG_CHECK_UNREADABLE: return "cannot be read";
    case CATALOG_CHECK_UNSIGNED: return "not signed";
    case CATALOG_CHECK_BAD_SIGNATURE: return "signature does not verify with any publisher key";
    case CATALOG_CHECK_NO_VERSION: return "no VERSION line";
    case CATALOG_CHECK_ROLLBACK: return "VERSION older than the catalog in place (rollback)";
    case CATALOG_CHECK_NO_EXPIRY: return "no EXPIRES line";
    case CATALOG_CHECK_EXPIRED: return "expired (EXPIRES has passed)";
    case CATALOG_CHECK_NO_SHA256: return "a record without its SHA256 line";
    case CATALOG_CHECK_NUL_BYTE: return "a zero byte in the text";
    case CATALOG_CHECK_LONG_LINE: return "a line of 1023 bytes or more";
    case CATALOG_CHECK_LONE_CR: return "a CR that does not end a line";
    case CATALOG_CHECK_SECOND_SIGNATURE: return "a SIGNATURE line before the last line";
    }
    return "unknown check";
}

int utc_text_to_seconds(const char* text, std::int64_t* seconds)
{
    // Exactly "YYYY-MM-DDTHH:MM:SSZ".
    static const char shape[] = "dddd-dd-ddTdd:dd:ddZ";
    for (int i = 0; shape[i] != '\0'; ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == 'd' ? !digit : text[i] != shape[i]) {
            return 0;
        }
    }
    if (text[sizeof shape - 1] != '\0') {
        return 0;
    }
    auto number = [text](int at, int count) {
        int v = 0;
        for (int i = 0; i < count; ++i) {
            v = v * 10 + (text[at + i] - '0');
        }
        return v;
    };
    const int year = number(0, 4);
    const int month = number(5, 2);
    const int day = number(8, 2);
    const int hour = number(11, 2);
    const int minute = number(14, 2);
    const int second = number(17, 2);
    static const int month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > month_days[month - 1] || hour > 23 ||
        minute > 59 || second > 59) {
        return 0;
    }
    *seconds = days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return 1;
}

void utc_seconds_to_text(std::int64_t seconds, char out[21])
{
    std::int64_t days = seconds / 86400;
    std::int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    // The inverse of days_from_civil.
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t day_of_era = z - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t mp = (5 * day_of_year + 2) / 153;
    const int day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
    const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    const std::int64_t year = year_of_era + era * 400 + (month <= 2);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ",
                  static_cast<int>(year % 10000), month, day, static_cast<int>(rest / 3600),
                  static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
    std::memcpy(out, text, 20);
    out[20] = '\0';
}

CatalogCheck catalog_text_shape(const char* bytes, std::int64_t length)
{
    // Lines as the loader's reader splits them: any byte that reader would
    // treat otherwise than "up to LF, one CR before it" is refused, so that
    // the lines the signature covers are exactly the lines parsed.
    std::int64_t line_start = 0;
    for (std::int64_t at = 0; at < length; ++at) {
        const char c = bytes[at];
        if (c == '\0') {
            return CATALOG_CHECK_NUL_BYTE;
        }
        if (c == '\r' && (at + 1 >= length || bytes[at + 1] != '\n')) {
            return CATALOG_CHECK_LONE_CR;
        }
        if (c == '\n') {
            line_start = at + 1;
        } else if (at - line_start >= CATALOG_TEXT_SIZE - 2) {
            return CATALOG_CHECK_LONG_LINE; // the reader would cut it in two
        }
    }
    return CATALOG_CHECK_OK;
}

void catalog_seal_read(const char* bytes, std::int64_t length, CatalogSeal* seal)
{
    std::memset(seal, 0, sizeof *seal);
    seal->signed_length = length;
    // The last line, after one line end at most: nothing may follow the
    // signature but the end of its own line.
    std::int64_t end = length;
    if (end > 0 && bytes[end - 1] == '\n') {
        --end;
        if (end > 0 && bytes[end - 1] == '\r') {
            --end;
        }
    }
    std::int64_t last = end;
    while (last > 0 && bytes[last - 1] != '\n') {
        --last;
    }
    const std::int64_t prefix = sizeof SIGNATURE_PREFIX - 1;
    if (end - last > prefix && std::memcmp(bytes + last, SIGNATURE_PREFIX, prefix) == 0 &&
        base64_decode(bytes + last + prefix, static_cast<int>(end - last - prefix), seal->signature,
                      ED25519_SIGNATURE_SIZE) == ED25519_SIGNATURE_SIZE) {
        seal->has_signature = 1;
        seal->signed_length = last;
    }
    TextCursor text = {bytes, 0, seal->signed_length};
    char line[CATALOG_TEXT_SIZE];
    int record_lines = 0; // a record's field lines still to come
    while (text_read_line(&text, line, sizeof line)) {
        if (record_lines > 0) {
            --record_lines;
            continue;
        }
        record_lines = catalog_record_field_lines(line);
        if (record_lines > 0) {
            continue;
        }
        if (!seal->has_version && std::strncmp(line, "VERSION ", 8) == 0) {
            seal->has_version = parse_decimal(line + 8, &seal->version);
        } else if (!seal->has_expires && std::strncmp(line, "EXPIRES ", 8) == 0) {
            seal->has_expires = utc_text_to_seconds(line + 8, &seal->expires);
        } else if (std::strncmp(line, "SIGNATURE", 9) == 0) {
            seal->signature_lines += 1;
        }
    }
}

char* catalog_read_sealed(const char* path, std::int64_t* length, CatalogSeal* seal)
{
    char* bytes = nullptr;
    if (!catalog_text_read(path, &bytes, length)) {
        std::memset(seal, 0, sizeof *seal);
        return nullptr;
    }
    catalog_seal_read(bytes, *length, seal);
    return bytes;
}

CatalogCheck catalog_check_sealed_text(const char* bytes, std::int64_t length,
                                       const std::uint8_t (*keys)[ED25519_KEY_SIZE], int key_count,
                                       std::int64_t lowest_version, std::int64_t now,
                                       std::int64_t* version, std::int64_t* signed_length)
{
    CatalogSeal seal;
    catalog_seal_read(bytes, length, &seal);
    *version = seal.version;
    *signed_length = seal.signed_length;
    if (!seal.has_signature) {
        return CATALOG_CHECK_UNSIGNED;
    }
    int verified = 0;
    for (int i = 0; i < key_count && !verified; ++i) {
        verified = ed25519_verify(keys[i], reinterpret_cast<const std::uint8_t*>(bytes),
                                  static_cast<std::size_t>(seal.signed_length), seal.signature);
    }
    if (!verified) {
        return CATALOG_CHECK_BAD_SIGNATURE;
    }
    // Signed bytes still have to read as one text to every reader.
    const CatalogCheck shape = catalog_text_shape(bytes, length);
    if (shape != CATALOG_CHECK_OK) {
        return shape;
    }
    if (seal.signature_lines != 0) {
        return CATALOG_CHECK_SECOND_SIGNATURE;
    }
    if (!seal.has_version) {
        return CATALOG_CHECK_NO_VERSION;
    }
    if (seal.version < lowest_version) {
        return CATALOG_CHECK_ROLLBACK;
    }
    if (!seal.has_expires) {
        return CATALOG_CHECK_NO_EXPIRY;
    }
    if (seal.expires <= now) {
        return CATALOG_CHECK_EXPIRED;
    }
    // The records as the caller will parse them: the same bytes, the same
    // parser.
    CatalogEntry* head = catalog_parse(bytes, seal.signed_length, "", "");
    CatalogCheck check = CATALOG_CHECK_OK;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        if (!e->has_sha256) {
            check = CATALOG_CHECK_NO_SHA256;
        }
    }
    catalog_free(&head);
    return check;
}

namespace {

struct SealedMeasure {
    Sha256 digest;
    std::uint32_t crc;
};

void measure_sealed_piece(const std::uint8_t* bytes, std::size_t count, void* context)
{
    auto* m = static_cast<SealedMeasure*>(context);
    sha256_update(&m->digest, bytes, count);
    m->crc = crc32_update(bytes, static_cast<std::int32_t>(count), m->crc);
}

// CRC-32 and SHA-256 of a regular file in one pass; its size, or -1 when
// it is not expected_size (-1: any) or cannot be read to its end.
std::int64_t measure_sealed(const char* path, std::int64_t expected_size, std::uint32_t* crc,
                            std::uint8_t sha256[SHA256_SIZE])
{
    SealedMeasure m = {{nullptr}, 0xFFFFFFFFu};
    if (!sha256_begin(&m.digest)) {
        return -1;
    }
    crc32_init_table();
    const std::int64_t size =
        fs_scan_file(path, expected_size, FILE_MAP_AT_LEAST, measure_sealed_piece, &m);
    const int digested = sha256_end(&m.digest, sha256);
    *crc = ~m.crc;
    return digested ? size : -1;
}

} // namespace

int entry_matches_sealed(const CatalogEntry* entry, const char* path)
{
    std::uint32_t crc = 0;
    std::uint8_t sha256[SHA256_SIZE];
    return entry->has_sha256 &&
           measure_sealed(path != nullptr ? path : entry->local_path, entry->size, &crc, sha256) ==
               entry->size &&
           crc == entry->crc && std::memcmp(sha256, entry->sha256, SHA256_SIZE) == 0;
}

int entry_take_sha256(CatalogEntry* entry)
{
    std::uint32_t crc = 0;
    entry->has_sha256 = measure_sealed(entry->local_path, -1, &crc, entry->sha256) >= 0;
    return entry->has_sha256;
}

int catalog_write_sealed(const char* text, std::int64_t length, std::int64_t version,
                         std::int64_t expires, const std::uint8_t seed[ED25519_KEY_SIZE],
                         std::FILE* out)
{
    char expiry[21];
    utc_seconds_to_text(expires, expiry);
    char head[96];
    const int head_length = std::snprintf(head, sizeof head, "VERSION %lld\nEXPIRES %s\n",
                                          static_cast<long long>(version), expiry);
    auto* whole = static_cast<std::uint8_t*>(
        std::malloc(static_cast<std::size_t>(head_length) + static_cast<std::size_t>(length)));
    if (whole == nullptr || head_length <= 0) {
        std::free(whole);
        return 0;
    }
    std::memcpy(whole, head, static_cast<std::size_t>(head_length));
    std::memcpy(whole + head_length, text, static_cast<std::size_t>(length));
    const std::size_t signed_length =
        static_cast<std::size_t>(head_length) + static_cast<std::size_t>(length);
    std::uint8_t signature[ED25519_SIGNATURE_SIZE];
    char encoded[2 * ED25519_SIGNATURE_SIZE];
    const int good =
        ed25519_sign(seed, whole, signed_length, signature) &&
        base64_encode(signature, ED25519_SIGNATURE_SIZE, encoded, sizeof encoded) > 0 &&
        std::fwrite(whole, 1, signed_length, out) == signed_length &&
        std::fprintf(out, "%s%s\n", SIGNATURE_PREFIX, encoded) > 0;
    std::free(whole);
    return good && std::ferror(out) == 0;
}

int catalog_version_parse(const char* text, std::int64_t* version)
{
    return parse_decimal(text, version);
}
