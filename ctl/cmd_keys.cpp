// quorvelctl keygen and sign: a publisher's signing key and signed
// catalogs (see catalog/signing.h for the lines a signature adds).
#include "catalog/catalog.h"
#include "catalog/signing.h"
#include "ctl/commands.h"
#include "ctl/signing_options.h"
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

constexpr std::int64_t SECONDS_PER_DAY = 86400;
constexpr int DEFAULT_EXPIRY_DAYS = 30;

int parse_count(const char* text, std::int64_t* value)
{
    char* end = nullptr;
    const long long v = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || v < 0) {
        return 0;
    }
    *value = v;
    return 1;
}

// Whether a line is one that sealing adds, so re-signing drops the old ones.
int is_seal_line(const char* line, std::int64_t length)
{
    for (const char* word : {"VERSION ", "EXPIRES ", "SIGNATURE "}) {
        const auto n = static_cast<std::int64_t>(std::strlen(word));
        if (length >= n && std::strncmp(line, word, static_cast<std::size_t>(n)) == 0) {
            return 1;
        }
    }
    return 0;
}

} // namespace

int signing_option(SigningOptions* options, int argc, char** argv, int* i)
{
    const bool has_value = *i + 1 < argc;
    const char* name = argv[*i];
    if (!has_value) {
        return 0;
    }
    if (std::strcmp(name, "--version") == 0) {
        // Only what every launcher reads back: "+5", "1e9" or a value that
        // overflows would make a catalog no signed launcher takes.
        options->has_version = catalog_version_parse(argv[++*i], &options->version);
        return options->has_version ? 1 : -1;
    }
    if (std::strcmp(name, "--expires") == 0) {
        options->has_expiry_days = parse_count(argv[++*i], &options->expiry_days);
        return options->has_expiry_days && options->expiry_days > 0 ? 1 : -1;
    }
    return 0;
}

int read_signing_key(const char* path, std::uint8_t seed[ED25519_KEY_SIZE])
{
    std::FILE* file = fs_is_file(path) ? std::fopen(path, "rb") : nullptr;
    if (file == nullptr) {
        return 0;
    }
    char text[128] = {};
    const std::size_t got = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[got] = '\0';
    return base64_decode(text, static_cast<int>(got), seed, ED25519_KEY_SIZE) == ED25519_KEY_SIZE;
}

int write_signed(const char* text, std::int64_t length, const SigningOptions* options,
                 const std::uint8_t seed[ED25519_KEY_SIZE], const char* output)
{
    const std::int64_t now = clock_ms() / 1000;
    const std::int64_t version = options->has_version ? options->version : now;
    const std::int64_t days = options->has_expiry_days ? options->expiry_days : DEFAULT_EXPIRY_DAYS;
    char temporary[CATALOG_TEXT_SIZE];
    std::FILE* out =
        output != nullptr ? ctl_replace_begin(output, temporary, sizeof temporary) : stdout;
    if (out == nullptr) {
        return 0;
    }
    const int good =
        catalog_write_sealed(text, length, version, now + days * SECONDS_PER_DAY, seed, out);
    if (output != nullptr) {
        return ctl_replace_end(out, temporary, output, good);
    }
    return std::fflush(out) == 0 && good;
}

int cmd_keygen(int argc, char** argv)
{
    if (argc != 2 || std::strcmp(argv[0], "-o") != 0) {
        std::fprintf(stderr, "usage: quorvelctl keygen -o KEYFILE\n");
        return EXIT_USAGE;
    }
    std::uint8_t seed[ED25519_KEY_SIZE];
    std::uint8_t key[ED25519_KEY_SIZE];
    char seed_text[64];
    char key_text[64];
    if (!ed25519_new_seed(seed) || !ed25519_public_key(seed, key) ||
        base64_encode(seed, ED25519_KEY_SIZE, seed_text, sizeof seed_text) < 0 ||
        base64_encode(key, ED25519_KEY_SIZE, key_text, sizeof key_text) < 0) {
        std::fprintf(stderr, "quorvelctl keygen: the cryptography library failed\n");
        return 1;
    }
    std::FILE* file = fs_create_private(argv[1]);
    if (file == nullptr) {
        std::fprintf(stderr,
                     "quorvelctl keygen: cannot create %s (it exists, or the folder "
                     "cannot be written); no key written\n",
                     argv[1]);
        return EXIT_USAGE;
    }
    const int written = std::fprintf(file, "%s\n", seed_text) > 0;
    if (std::fclose(file) != 0 || !written) {
        std::remove(argv[1]);
        std::fprintf(stderr, "quorvelctl keygen: cannot write %s\n", argv[1]);
        return 1;
    }
    std::memset(seed, 0, sizeof seed);
    // The public key, as -DQUORVEL_CATALOG_KEYS and --key take it.
    std::printf("%s\n", key_text);
    return 0;
}

int cmd_sign(int argc, char** argv)
{
    const char* usage = "usage: quorvelctl sign CATALOG --key KEYFILE [--version N] "
                        "[--expires DAYS] [-o FILE]\n";
    const char* catalog = nullptr;
    const char* key_file = nullptr;
    const char* output = nullptr;
    SigningOptions options = {};
    for (int i = 0; i < argc; ++i) {
        const int taken = signing_option(&options, argc, argv, &i);
        if (taken < 0) {
            std::fprintf(stderr, "quorvelctl sign: bad value for %s\n%s", argv[i - 1], usage);
            return EXIT_USAGE;
        }
        if (taken > 0) {
            continue;
        }
        if (std::strcmp(argv[i], "--key") == 0 && i + 1 < argc) {
            key_file = argv[++i];
        } else if (std::strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            output = argv[++i];
        } else if (argv[i][0] != '-' && catalog == nullptr) {
            catalog = argv[i];
        } else {
            std::fprintf(stderr, "quorvelctl sign: unexpected argument '%s'\n%s", argv[i], usage);
            return EXIT_USAGE;
        }
    }
    if (catalog == nullptr || key_file == nullptr) {
        std::fputs(usage, stderr);
        return EXIT_USAGE;
    }
    std::uint8_t seed[ED25519_KEY_SIZE];
    if (!read_signing_key(key_file, seed)) {
        std::fprintf(stderr, "quorvelctl sign: %s holds no signing key\n", key_file);
        return EXIT_USAGE;
    }
    // Every record must name its file's SHA-256: a signed build refuses a
    // catalog with one that does not.
    CatalogEntry* head = catalog_load(catalog, "", "");
    int missing = 0;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        if (!e->has_sha256) {
            std::fprintf(stderr, "quorvelctl sign: %s has no SHA256 line\n", e->file_name);
            missing = 1;
        }
    }
    catalog_free(&head);
    std::int64_t length = 0;
    CatalogSeal seal;
    char* text = catalog_read_sealed(catalog, &length, &seal);
    if (text == nullptr || missing) {
        std::free(text);
        std::fprintf(stderr, "quorvelctl sign: %s cannot be signed%s\n", catalog,
                     missing ? " (write it with quorvelctl catalog --sign)" : "");
        return EXIT_USAGE;
    }
    // The old seal's lines go; the rest is kept byte for byte. A record's
    // lines are read as the loader reads them and never dropped: a game file
    // may be named "VERSION 2.txt". (Its SHA256 line is no seal line.)
    std::int64_t kept = 0;
    int record_lines = 0; // lines of the current record still to come
    for (std::int64_t at = 0; at < length;) {
        std::int64_t end = at;
        while (end < length && text[end] != '\n') {
            ++end;
        }
        const std::int64_t next = end < length ? end + 1 : end;
        // Keyword prefixes hold no line end, and the text is terminated.
        const char* line = text + at;
        const int in_record = record_lines > 0 || catalog_record_field_lines(line) > 0;
        record_lines = record_lines > 0 ? record_lines - 1 : catalog_record_field_lines(line);
        if (in_record || !is_seal_line(line, end - at)) {
            std::memmove(text + kept, text + at, static_cast<std::size_t>(next - at));
            kept += next - at;
        }
        at = next;
    }
    const int good = write_signed(text, kept, &options, seed, output != nullptr ? output : catalog);
    std::free(text);
    std::memset(seed, 0, sizeof seed);
    if (!good) {
        std::fprintf(stderr, "quorvelctl sign: cannot write %s\n",
                     output != nullptr ? output : catalog);
        return 1;
    }
    return 0;
}
