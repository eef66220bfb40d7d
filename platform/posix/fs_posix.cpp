// POSIX file-system operations.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
int attributes(const char* path, struct stat* info)
{
    return stat(path, info) == 0;
}
} // namespace

int fs_make_dir(const char* path)
{
    return mkdir(path, 0777) == 0 ? 0 : -1;
}

int fs_is_dir(const char* path)
{
    struct stat info = {};
    return attributes(path, &info) && S_ISDIR(info.st_mode) ? 1 : 0;
}

int fs_is_file(const char* path)
{
    struct stat info = {};
    return attributes(path, &info) && S_ISREG(info.st_mode) ? 1 : 0;
}

int fs_replace(const char* from, const char* to)
{
    return std::rename(from, to) == 0 ? 1 : 0;
}

std::FILE* fs_create_private(const char* path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

int fs_longest_path()
{
    return 4095; // PATH_MAX less its terminator
}

int fs_exists(const char* path)
{
    struct stat info = {};
    return attributes(path, &info) ? 1 : 0;
}

int fs_list_dir(const char* path, FsVisit visit, void* context)
{
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return 0;
    }
    char child[4096];
    while (dirent* entry = readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        const int n = std::snprintf(child, sizeof child, "%s/%s", path, entry->d_name);
        const int is_dir = n > 0 && n < static_cast<int>(sizeof child) ? fs_is_dir(child) : 0;
        visit(entry->d_name, is_dir, context);
    }
    closedir(dir);
    return 1;
}

int fs_same_file(const char* a, const char* b)
{
    struct stat info_a = {};
    struct stat info_b = {};
    if (!attributes(a, &info_a) || !attributes(b, &info_b)) {
        return 0;
    }
    return info_a.st_dev == info_b.st_dev && info_a.st_ino == info_b.st_ino ? 1 : 0;
}

int fs_executable_path(char* buffer, int size)
{
    if (size <= 0) {
        return 0;
    }
    const ssize_t n = readlink("/proc/self/exe", buffer, static_cast<std::size_t>(size));
    if (n <= 0 || n >= size) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[n] = '\0';
    return 1;
}

int fs_swap_executable(const char* own, const char* fresh, const char* old)
{
    (void)old; // one atomic rename: there is never a moment without own
    struct stat info = {};
    if (stat(own, &info) != 0 || chmod(fresh, info.st_mode & 07777) != 0 ||
        std::getenv("QUORVEL_FAULT_SELF_SWAP") != nullptr) {
        return 0;
    }
    return rename(fresh, own) == 0 ? 1 : 0;
}

int fs_executable_dir(char* buffer, int size)
{
    if (!fs_executable_path(buffer, size)) {
        return 0;
    }
    char* slash = std::strrchr(buffer, '/');
    if (slash == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    *slash = '\0';
    return 1;
}

int fs_user_data_parent(char* buffer, int size)
{
    const char* xdg = std::getenv("XDG_DATA_HOME");
    const char* home = std::getenv("HOME");
    int n = -1;
    // Relative XDG paths are to be ignored, as the base-directory rules say.
    if (xdg != nullptr && xdg[0] == '/') {
        n = std::snprintf(buffer, static_cast<size_t>(size), "%s", xdg);
    } else if (home != nullptr && home[0] != '\0') {
        n = std::snprintf(buffer, static_cast<size_t>(size), "%s/.local/share", home);
    }
    if (n <= 0 || n >= size) {
        if (size > 0) {
            buffer[0] = '\0';
        }
        return 0;
    }
    return 1;
}
