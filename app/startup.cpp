#include "app/startup.h"

#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// A publisher's brand comes in from the build (CMake cache variables).
#ifndef QUORVEL_SERVER_BASE
#define QUORVEL_SERVER_BASE "http://quorvel.example/quorvel/data"
#endif
#ifndef QUORVEL_PRODUCT_NAME
#define QUORVEL_PRODUCT_NAME "Quorvel Launcher"
#endif
#ifndef QUORVEL_DATA_FOLDER
#define QUORVEL_DATA_FOLDER "Quorvel"
#endif

char data_directory[APP_PATH_SIZE];
char catalog_path[APP_PATH_SIZE];
const char* server_base;
char** launch_arguments;
const char* const DEFAULT_SERVER_BASE = QUORVEL_SERVER_BASE;
const char* const PRODUCT_NAME = QUORVEL_PRODUCT_NAME;
const char* const DATA_FOLDER_NAME = QUORVEL_DATA_FOLDER;

namespace {
int data_parent_is_fallback;

int fits(int written)
{
    return written > 0 && written < APP_PATH_SIZE;
}
} // namespace

int startup_paths(int argc, char** argv)
{
    char parent[APP_PATH_SIZE];
    const char* appdata = std::getenv("APPDATA");
    data_parent_is_fallback = 0;
    // An empty APPDATA would put the game data at the root of the drive.
    if (appdata != nullptr && appdata[0] != '\0') {
        if (!fits(std::snprintf(parent, sizeof parent, "%s", appdata))) {
            std::fprintf(stderr, "quorvel: APPDATA is too long for a data folder path\n");
            return 0;
        }
    } else {
        if (!fs_user_data_parent(parent, sizeof parent)) {
            std::fprintf(stderr, "quorvel: no folder for the game data (set APPDATA)\n");
            return 0;
        }
        data_parent_is_fallback = 1;
    }
    if (!fits(std::snprintf(data_directory, sizeof data_directory, "%s/%s", parent,
                            DATA_FOLDER_NAME)) ||
        !fits(std::snprintf(catalog_path, sizeof catalog_path, "%s/catalog.txt", data_directory))) {
        std::fprintf(stderr, "quorvel: the data folder path under %.60s... is too long\n", parent);
        return 0;
    }
    server_base = argc > 1 ? argv[1] : DEFAULT_SERVER_BASE;
    launch_arguments = argv;
    return 1;
}

void startup_make_data_directory()
{
    if (fs_is_dir(data_directory)) {
        return;
    }
    if (!data_parent_is_fallback) {
        fs_make_dir(data_directory);
        return;
    }
    make_folders(data_directory);
}
