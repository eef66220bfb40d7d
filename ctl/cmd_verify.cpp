// quorvelctl verify: which files of an installation need an update.
#include "app/progress.h"
#include "catalog/catalog.h"
#include "catalog/crc32_kernels.h"
#include "catalog/verify.h"
#include "ctl/commands.h"
#include "platform/platform.h"
#include "update/update_core.h"

#include <cstdio>
#include <cstring>

namespace {

// "--crc-kernel NAME": check with that CRC-32 kernel instead of the fastest
// this CPU runs, so that one machine can show what a CPU without the wider
// registers gets. Taken out of argv; 0 on an unknown or unavailable name.
int take_crc_kernel(int* argc, char** argv)
{
    int kept = 0;
    int ok = 1;
    for (int i = 0; i < *argc; ++i) {
        if (std::strcmp(argv[i], "--crc-kernel") != 0) {
            argv[kept++] = argv[i];
            continue;
        }
        int chosen = 0;
        for (int k = 0; i + 1 < *argc && k < CRC32_KERNEL_COUNT; ++k) {
            if (std::strcmp(argv[i + 1], crc32_kernel_name(k)) == 0) {
                chosen = crc32_kernel_choose(k);
            }
        }
        if (!chosen) {
            std::fprintf(stderr, "quorvelctl verify: --crc-kernel %s: not a kernel this CPU runs\n",
                         i + 1 < *argc ? argv[i + 1] : "(missing)");
            ok = 0;
        }
        ++i;
    }
    *argc = kept;
    return ok;
}

} // namespace

int cmd_verify(int argc, char** argv)
{
    if (!ctl_take_keys("verify", &argc, argv) || !take_crc_kernel(&argc, argv)) {
        return EXIT_USAGE;
    }
    if (argc != 2) {
        std::fprintf(stderr, "usage: quorvelctl verify CATALOG DATADIR [--key PUBLIC]... "
                             "[--crc-kernel NAME]\n");
        return EXIT_USAGE;
    }
    const char* catalog_path = argv[0];
    const char* data_dir = argv[1];
    if (!fs_is_dir(data_dir)) {
        std::fprintf(stderr, "quorvelctl verify: not a folder: %s\n", data_dir);
        return EXIT_USAGE;
    }
    // A FIFO or a device would block or never end when read.
    if (fs_exists(catalog_path) && !fs_is_file(catalog_path)) {
        std::fprintf(stderr, "quorvelctl verify: catalog %s is not a regular file\n", catalog_path);
        return EXIT_USAGE;
    }
    // catalog_load cannot tell a missing file from an empty one; we can.
    std::FILE* probe = fs_is_file(catalog_path) ? std::fopen(catalog_path, "rb") : nullptr;
    if (probe == nullptr) {
        std::fprintf(stderr, "quorvelctl verify: cannot read catalog %s\n", catalog_path);
        return EXIT_USAGE;
    }
    std::fclose(probe);

    CatalogEntry* head = update_catalog_load(catalog_path, data_dir, "", nullptr);
    if (head == nullptr) {
        std::printf("%s\n", update_signed_mode()
                                ? "catalog not accepted or holds no records: nothing verified"
                                : "catalog holds no records: nothing can be verified");
        return 1;
    }
    const int complete = update_verify_all(head);
    int files = 0;
    int pending = 0;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        ++files;
        if (e->update != 0) {
            ++pending;
            std::printf("%s: %s\n", fs_exists(e->local_path) ? "differs" : "missing", e->file_name);
        }
    }
    // The launcher's own versions are no game files: listed, not checked.
    for (const char* platform : LAUNCHER_PLATFORMS) {
        static CatalogEntry launcher;
        if (update_find_launcher(catalog_path, platform, "", &launcher)) {
            std::printf("launcher %s: %s, %lld bytes\n", platform, launcher.url_name,
                        static_cast<long long>(launcher.size));
        }
    }
    const std::int64_t bytes = catalog_pending_bytes(head);
    if (complete) {
        std::printf("complete: %d files verified\n", files);
    } else {
        std::printf("incomplete: %d of %d files need an update, %lld bytes (%s) to fetch\n",
                    pending, files, static_cast<long long>(bytes), format_bytes(bytes));
    }
    catalog_free(&head);
    return complete ? 0 : 1;
}
