// POSIX file-system operations.
// DEPENDS ON: /proc/self/exe (Linux) for the executable's path; mmap,
// mincore and posix_fadvise for the file scan.
// LIMITATIONS: the scan's SIGBUS escape is process-wide, so one scan runs at
// a time.
#include "platform/platform.h"

#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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

std::int64_t fs_file_size(const char* path)
{
    struct stat info = {};
    return attributes(path, &info) && S_ISREG(info.st_mode)
               ? static_cast<std::int64_t>(info.st_size)
               : -1;
}

std::FILE* fs_open_append(const char* path)
{
    return fs_is_file(path) ? std::fopen(path, "ab") : nullptr;
}

int fs_seek(std::FILE* file, std::int64_t offset)
{
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 ? 1 : 0;
}

int fs_copy_new(const char* from, const char* to)
{
    const int source = open(from, O_RDONLY | O_CLOEXEC);
    const int target = source >= 0 ? open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644) : -1;
    int good = target >= 0;
    if (good && ioctl(target, FICLONE, source) != 0) {
        static char buffer[1 << 20];
        ssize_t got = 0;
        while (good && (got = read(source, buffer, sizeof buffer)) != 0) {
            good = got > 0;
            for (ssize_t at = 0; good && at < got;) {
                const ssize_t put = write(target, buffer + at, static_cast<std::size_t>(got - at));
                good = put > 0;
                at += put > 0 ? put : 0;
            }
        }
    }
    if (source >= 0) {
        close(source);
    }
    if (target >= 0 && close(target) != 0) {
        good = 0;
    }
    if (!good && target >= 0) {
        unlink(to);
    }
    return good;
}

int fs_replace(const char* from, const char* to)
{
    return std::rename(from, to) == 0 ? 1 : 0;
}

namespace {
std::FILE* create_exclusive(const char* path, mode_t mode)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}
} // namespace

std::FILE* fs_create_private(const char* path)
{
    return create_exclusive(path, 0600);
}

std::FILE* fs_create_new(const char* path)
{
    return create_exclusive(path, 0666); // less the umask, as fopen's files
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

std::int64_t fs_free_bytes(const char* path)
{
    struct statvfs info = {};
    if (statvfs(path, &info) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
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

int fs_real_path(const char* path, char* out, int size)
{
    out[0] = '\0';
    char* real = realpath(path, nullptr);
    if (real == nullptr) {
        return 0;
    }
    const int n = std::snprintf(out, static_cast<std::size_t>(size), "%s", real);
    std::free(real);
    if (n < 0 || n >= size) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

namespace {

// A file truncated while it is mapped raises SIGBUS at the first page past
// its new end; the scan then jumps back out instead of ending the process.
sigjmp_buf scan_escape;

void on_bus_error(int)
{
    siglongjmp(scan_escape, 1);
}

// Whether most of a mapping's pages are already in memory. A mapping only
// wins over reads when they are: faulting in pages from disk one window at a
// time runs at half the speed of the kernel's read-ahead (measured with
// scripts/bench verify, cold cache).
bool mostly_resident(void* map, std::size_t size)
{
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t pages = (size + page - 1) / page;
    auto* flags = static_cast<unsigned char*>(std::malloc(pages));
    if (flags == nullptr || mincore(map, size, flags) != 0) {
        std::free(flags);
        return false;
    }
    std::size_t resident = 0;
    for (std::size_t i = 0; i < pages; ++i) {
        resident += flags[i] & 1u;
    }
    std::free(flags);
    return resident * 10 >= pages * 9;
}

std::int64_t scan_mapped(int fd, std::size_t size, FsConsume consume, void* context)
{
    void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) {
        return -2; // read it instead
    }
    if (!mostly_resident(map, size)) {
        munmap(map, size);
        return -2;
    }
    madvise(map, size, MADV_SEQUENTIAL);
    struct sigaction guard = {};
    struct sigaction previous = {};
    guard.sa_handler = on_bus_error;
    sigemptyset(&guard.sa_mask);
    sigaction(SIGBUS, &guard, &previous);
    std::int64_t result = -1;
    if (sigsetjmp(scan_escape, 1) == 0) {
        // Pieces of a few megabytes, as reads would hand them over.
        const auto* bytes = static_cast<const std::uint8_t*>(map);
        constexpr std::size_t PIECE = 8u << 20;
        for (std::size_t at = 0; at < size; at += PIECE) {
            const std::size_t count = size - at < PIECE ? size - at : PIECE;
            consume(bytes + at, count, context);
            // Done with: the pages stay in the page cache but leave this
            // process's resident set, which stays a few megabytes.
            madvise(const_cast<std::uint8_t*>(bytes) + at, count, MADV_DONTNEED);
        }
        result = static_cast<std::int64_t>(size);
    }
    sigaction(SIGBUS, &previous, nullptr);
    munmap(map, size);
    return result;
}

// 1 MiB: from a cold disk, reads of 256 KiB left the disk idle while each
// block was checked and trailed cat by a tenth (scripts/bench verify).
constexpr std::size_t SCAN_BLOCK = 1024 * 1024;
std::uint8_t scan_block[SCAN_BLOCK];

ssize_t read_retrying(int fd, std::size_t count)
{
    ssize_t got = -1;
    do {
        got = read(fd, scan_block, count);
    } while (got < 0 && errno == EINTR);
    return got;
}

std::int64_t scan_read(int fd, std::int64_t size, FsConsume consume, void* context)
{
    std::int64_t total = 0;
    while (true) {
        // One byte past the size the file had: a short read then means its
        // end, and a small file takes a single read.
        const std::int64_t left = size - total + 1;
        const std::size_t want = left > 0 && static_cast<std::uint64_t>(left) < SCAN_BLOCK
                                     ? static_cast<std::size_t>(left)
                                     : SCAN_BLOCK;
        const ssize_t got = read_retrying(fd, want);
        if (got < 0) {
            return -1;
        }
        if (got > 0) {
            consume(scan_block, static_cast<std::size_t>(got), context);
            total += got;
        }
        if (static_cast<std::size_t>(got) < want) {
            return total;
        }
    }
}

// A small file of known size in one read of size + 1 bytes, without an
// fstat (a tenth of the time per file when most files are small): a regular
// file's read stops short only at its end, so exactly size bytes is the
// whole file at its size. Anything else, a shorter or longer file, a folder
// (EISDIR), a FIFO (no data without blocking), is refused with nothing
// consumed.
std::int64_t scan_small(int fd, std::int64_t size, FsConsume consume, void* context)
{
    const ssize_t got = read_retrying(fd, static_cast<std::size_t>(size) + 1);
    if (got != static_cast<ssize_t>(size)) {
        return -1;
    }
    consume(scan_block, static_cast<std::size_t>(got), context);
    return got;
}

} // namespace

std::int64_t fs_scan_file(const char* path, std::int64_t expected_size, std::int64_t map_from,
                          FsConsume consume, void* context)
{
    // Non-blocking, so that a FIFO in the file's place cannot hold the open.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    std::int64_t result = -1;
    if (expected_size > 0 && expected_size < static_cast<std::int64_t>(SCAN_BLOCK) &&
        expected_size < map_from) {
        result = scan_small(fd, expected_size, consume, context);
        close(fd);
        return result;
    }
    struct stat info = {};
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        (expected_size < 0 || info.st_size == expected_size)) {
        result = -2;
        if (info.st_size >= map_from && info.st_size > 0) {
            result = scan_mapped(fd, static_cast<std::size_t>(info.st_size), consume, context);
        }
        if (result == -2) {
            // Twice the read-ahead: a cold file then streams from the disk
            // while the previous block is checked (cat asks the same).
            if (info.st_size > static_cast<off_t>(SCAN_BLOCK)) {
                posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
            }
            result = scan_read(fd, info.st_size, consume, context);
        }
    }
    close(fd);
    return result;
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
