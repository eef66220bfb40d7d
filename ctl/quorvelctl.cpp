// quorvelctl: the launcher's modules on the command line, for publishers
// (making a catalog) and support staff (checking an installation).
#include "ctl/commands.h"

#include "platform/platform.h"
#include "update/update_core.h"

#include <cstdio>
#include <cstring>

namespace {

struct Command {
    const char* name;
    int (*run)(int argc, char** argv);
};

constexpr Command commands[] = {
    {"catalog", cmd_catalog}, {"verify", cmd_verify}, {"fetch", cmd_fetch},     {"sync", cmd_sync},
    {"keygen", cmd_keygen},   {"sign", cmd_sign},     {"publish", cmd_publish},
};

const char usage[] =
    "usage: quorvelctl COMMAND ARGS...\n"
    "\n"
    "  catalog DIR [--exe NAME] [--notes NAME] [-o FILE] [--blocks]\n"
    "          [--launcher PLATFORM=PATH]...\n"
    "      Write the catalog of every file below DIR (sizes and CRC-32s).\n"
    "      NAME is a path relative to DIR; without -o the catalog goes to\n"
    "      standard output. A FILE below DIR is replaced only when it is a\n"
    "      catalog; FIFOs, sockets and devices below DIR are skipped.\n"
    "      --sign KEYFILE adds each file's SHA-256, VERSION N (default: now in\n"
    "      seconds), EXPIRES (default: in 30 days) and the signature.\n"
    "      --launcher windows-i686=PATH (or linux-x86_64=PATH; PATH below DIR)\n"
    "      makes that file the launcher's new version for the platform.\n"
    "      --blocks writes a block map NAME.qblocks beside every file of 4 MiB\n"
    "      or more, so that launchers fetch only the blocks that changed.\n"
    "  publish SRC DEST --exe NAME --notes NAME [--blocks] [--mirror URL]...\n"
    "          [--keep N] [--sign KEYFILE [--version N] [--expires DAYS]]\n"
    "      Make DEST a folder any static server or CDN serves as it is: each\n"
    "      file's bytes as DEST/objects/XX/SHA256 (never rewritten), then the\n"
    "      catalog, last and in one step, as DEST/catalog.php (a copy goes to\n"
    "      DEST/history). --mirror adds a base URL launchers try next;\n"
    "      --keep N removes the objects none of the last N catalogs names.\n"
    "  verify CATALOG DATADIR [--key PUBLIC]... [--crc-kernel NAME]\n"
    "      Check the files of DATADIR against CATALOG; list what needs an\n"
    "      update. Exit 0 when complete, 1 when not. With a key (or keys\n"
    "      built in), the catalog must be signed by one and every file must\n"
    "      also match its SHA-256. --crc-kernel bytewise, slice8, pclmul,\n"
    "      vpclmul256 or vpclmul checks with that CRC-32 kernel instead of the\n"
    "      fastest this CPU runs (to measure another CPU's on this one).\n"
    "  fetch URL FILE\n"
    "      Fetch URL (http or https) into FILE with the launcher's HTTP client;\n"
    "      print the status code and the body bytes. Exit 0 on status 200,\n"
    "      1 otherwise.\n"
    "  sync BASE DATADIR [--key PUBLIC]... [--max-rate KIB] [--proxy URL]\n"
    "      The launcher's update without a window: fetch BASE/catalog.php,\n"
    "      download what DATADIR lacks (5 tries a file). Exit 0 when\n"
    "      complete, 1 when not. With a key (or keys built in), the signed\n"
    "      launcher's rules: only a catalog signed by one of them is taken.\n"
    "      --max-rate and --proxy win over DATADIR/quorvel-launcher.ini.\n"
    "  keygen -o KEYFILE\n"
    "      Make a signing key: the secret goes to KEYFILE (new, owner only),\n"
    "      the public key, as QUORVEL_CATALOG_KEYS takes it, to standard output.\n"
    "  sign CATALOG --key KEYFILE [--version N] [--expires DAYS] [-o FILE]\n"
    "      Sign a catalog whose records carry SHA256 lines (in place without -o).\n"
    "\n"
    "  --version\n"
    "      Print the version.\n"
    "\n"
    "Exit codes: 0 success, 1 negative answer, 2 bad usage or unreadable input.\n";

} // namespace

int ctl_take_keys(const char* command, int* argc, char** argv)
{
    if (!update_add_keys(update_built_in_keys())) {
        std::fprintf(stderr, "quorvelctl %s: the built-in publisher keys are damaged\n", command);
        return 0;
    }
    int kept = 0;
    for (int i = 0; i < *argc; ++i) {
        if (std::strcmp(argv[i], "--key") == 0 && i + 1 < *argc) {
            if (!update_add_keys(argv[++i]) || !update_signed_mode()) {
                std::fprintf(stderr, "quorvelctl %s: '%s' is not a public key\n", command, argv[i]);
                return 0;
            }
            continue;
        }
        argv[kept++] = argv[i];
    }
    *argc = kept;
    return 1;
}

std::FILE* ctl_replace_begin(const char* path, char* temporary, int size)
{
    if (size < 1) {
        return nullptr;
    }
    temporary[0] = '\0';
    if (fs_exists(path) && !fs_is_file(path)) {
        return std::fopen(path, "wb"); // a device such as /dev/null is written, not replaced
    }
    const int length = std::snprintf(temporary, static_cast<std::size_t>(size), "%s.tmp", path);
    if (length < 0 || length >= size) {
        return nullptr;
    }
    std::FILE* file = fs_create_new(temporary);
    if (file == nullptr && fs_exists(temporary)) {
        std::fprintf(stderr,
                     "quorvelctl: %s is in the way (left by a run that stopped?); "
                     "remove it\n",
                     temporary);
    }
    return file;
}

int ctl_replace_end(std::FILE* file, const char* temporary, const char* path, int written)
{
    const int closed = std::fclose(file) == 0;
    if (temporary[0] == '\0') {
        return written && closed;
    }
    if (written && closed && fs_replace(temporary, path)) {
        return 1;
    }
    std::remove(temporary);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fputs(usage, stderr);
        return EXIT_USAGE;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("quorvelctl %s\n", QUORVEL_VERSION);
        return 0;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
        std::strcmp(argv[1], "help") == 0) {
        std::fputs(usage, stdout);
        return 0;
    }
    for (const Command& command : commands) {
        if (std::strcmp(argv[1], command.name) == 0) {
            return command.run(argc - 2, argv + 2);
        }
    }
    std::fprintf(stderr, "quorvelctl: unknown command '%s'\n\n%s", argv[1], usage);
    return EXIT_USAGE;
}
