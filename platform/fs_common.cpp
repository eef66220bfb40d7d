// File-system operations both backends share, written once over the
// backend's own functions.
#include "platform/platform.h"

#include <cstdio>

namespace {

// Paths the program composes are at most this long (the launcher's path
// buffers); a longer one would be cut and name another folder.
constexpr int FS_PATH_SIZE = 1024;

int fits(int written)
{
    return written >= 0 && written < FS_PATH_SIZE;
}

} // namespace

int make_folders(const char* path)
{
    // Every component after the first separator, then the folder itself.
    char partial[FS_PATH_SIZE];
    if (!fits(std::snprintf(partial, sizeof partial, "%s", path))) {
        return 0;
    }
    for (char* c = partial + 1; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            const char kept = *c;
            *c = '\0';
            if (!fs_is_dir(partial)) {
                fs_make_dir(partial);
            }
            *c = kept;
        }
    }
    if (!fs_is_dir(path)) {
        fs_make_dir(path);
    }
    return fs_is_dir(path);
}

int make_parent_folders(const char* base, const char* relative_name)
{
    char folder[FS_PATH_SIZE];
    const int base_len = std::snprintf(folder, sizeof folder, "%s/", base);
    if (!fits(base_len)) {
        return 0;
    }
    int all_exist = 1;
    for (const char* c = relative_name; *c != '\0'; ++c) {
        if (*c != '/' && *c != '\\') {
            continue;
        }
        const auto len = static_cast<int>(c - relative_name);
        if (!fits(std::snprintf(folder + base_len, sizeof folder - static_cast<size_t>(base_len),
                                "%.*s", len, relative_name))) {
            return 0;
        }
        if (len > 0 && !fs_is_dir(folder) && fs_make_dir(folder) != 0) {
            all_exist = 0;
        }
    }
    return all_exist;
}
