// Win32 file-system operations.
// DEPENDS ON: KERNEL32, msvcrt (_mkdir, _open_osfhandle).
// LIMITATIONS: ANSI names, paths of at most MAX_PATH - 1 characters; files
// are read, never mapped; a private file is kept private by the user's own
// folders alone.
#include "platform/platform.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>

int fs_make_dir(const char* path)
{
    return _mkdir(path);
}

int fs_is_dir(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int fs_is_file(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1
                                                                                             : 0;
}

int fs_replace(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

std::int64_t fs_file_size(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return -1;
    }
    return (static_cast<std::int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::FILE* fs_open_append(const char* path)
{
    // msvcrt's own append mode positions with 32-bit offsets: the end of a
    // file past 2 GiB is found with the 64-bit seek instead.
    std::FILE* file = fs_file_size(path) >= 0 ? std::fopen(path, "r+b") : nullptr;
    if (file != nullptr && _fseeki64(file, 0, SEEK_END) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

int fs_copy_new(const char* from, const char* to)
{
    // CopyFile makes a copy of its own (sharing blocks where ReFS can); it
    // fails when to exists and leaves no part of it then.
    return CopyFileA(from, to, TRUE) ? 1 : 0;
}

int fs_seek(std::FILE* file, std::int64_t offset)
{
    return _fseeki64(file, offset, SEEK_SET) == 0 ? 1 : 0;
}

std::FILE* fs_create_private(const char* path)
{
    // The user's own folders already keep others out.
    return fs_create_new(path);
}

std::FILE* fs_create_new(const char* path)
{
    const HANDLE handle =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
    }
    return file;
}

int fs_longest_path()
{
    return MAX_PATH - 1;
}

int fs_exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

int fs_list_dir(const char* path, FsVisit visit, void* context)
{
    char pattern[MAX_PATH * 4];
    const int n = std::snprintf(pattern, sizeof pattern, "%s/*", path);
    if (n <= 0 || n >= static_cast<int>(sizeof pattern)) {
        return 0;
    }
    WIN32_FIND_DATAA found = {};
    HANDLE search = FindFirstFileA(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return 0;
    }
    do {
        if (std::strcmp(found.cFileName, ".") == 0 || std::strcmp(found.cFileName, "..") == 0) {
            continue;
        }
        visit(found.cFileName, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0,
              context);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return 1;
}

namespace {
int file_identity(const char* path, BY_HANDLE_FILE_INFORMATION* info)
{
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const BOOL ok = GetFileInformationByHandle(file, info);
    CloseHandle(file);
    return ok ? 1 : 0;
}
} // namespace

std::int64_t fs_free_bytes(const char* path)
{
    ULARGE_INTEGER available = {};
    if (!GetDiskFreeSpaceExA(path, &available, nullptr, nullptr)) {
        return -1;
    }
    return static_cast<std::int64_t>(available.QuadPart);
}

int fs_same_file(const char* a, const char* b)
{
    BY_HANDLE_FILE_INFORMATION info_a = {};
    BY_HANDLE_FILE_INFORMATION info_b = {};
    if (!file_identity(a, &info_a) || !file_identity(b, &info_b)) {
        return 0;
    }
    return info_a.dwVolumeSerialNumber == info_b.dwVolumeSerialNumber &&
                   info_a.nFileIndexHigh == info_b.nFileIndexHigh &&
                   info_a.nFileIndexLow == info_b.nFileIndexLow
               ? 1
               : 0;
}

int fs_real_path(const char* path, char* out, int size)
{
    out[0] = '\0';
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 0;
    }
    char final_path[4096];
    const DWORD n = GetFinalPathNameByHandleA(file, final_path, sizeof final_path,
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(file);
    if (n == 0 || n >= sizeof final_path) {
        return 0;
    }
    // "\\?\C:\x" is "C:\x"; "\\?\UNC\host\x" is "\\host\x".
    const char* shown = final_path;
    const char* unc = "";
    if (std::strncmp(shown, "\\\\?\\UNC\\", 8) == 0) {
        shown += 8;
        unc = "\\\\";
    } else if (std::strncmp(shown, "\\\\?\\", 4) == 0) {
        shown += 4;
    }
    const int written = std::snprintf(out, static_cast<std::size_t>(size), "%s%s", unc, shown);
    if (written < 0 || written >= size) {
        out[0] = '\0';
        return 0;
    }
    return 1;
}

namespace {

constexpr DWORD SCAN_BLOCK = 256 * 1024;
std::uint8_t scan_block[SCAN_BLOCK];

} // namespace

std::int64_t fs_scan_file(const char* path, std::int64_t expected_size, std::int64_t map_from,
                          FsConsume consume, void* context)
{
    // Reads throughout: in a 32-bit process a mapping needs windows of
    // bounded size, and no measurement on Windows itself has shown them
    // faster than reading into the one cached block (Wine's figures say
    // nothing of it). A folder does not open without backup semantics.
    (void)map_from;
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return -1;
    }
    LARGE_INTEGER size;
    std::int64_t total = -1;
    if (GetFileType(file) == FILE_TYPE_DISK && GetFileSizeEx(file, &size) &&
        (expected_size < 0 || size.QuadPart == expected_size)) {
        total = 0;
        DWORD got = 0;
        while (true) {
            if (!ReadFile(file, scan_block, SCAN_BLOCK, &got, nullptr)) {
                total = -1; // it cannot be read to its end
                break;
            }
            if (got == 0) {
                break;
            }
            consume(scan_block, got, context);
            total += got;
        }
    }
    CloseHandle(file);
    return total;
}

int fs_executable_path(char* buffer, int size)
{
    if (size <= 0) {
        return 0;
    }
    const DWORD n = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
    if (n == 0 || n >= static_cast<DWORD>(size)) {
        buffer[0] = '\0';
        return 0;
    }
    return 1;
}

int fs_swap_executable(const char* own, const char* fresh, const char* old)
{
    // A running executable may be renamed, not replaced: move it aside first.
    if (!MoveFileExA(own, old, MOVEFILE_REPLACE_EXISTING)) {
        return 0;
    }
    const bool fault = std::getenv("QUORVEL_FAULT_SELF_SWAP") != nullptr;
    if (!fault && MoveFileExA(fresh, own, MOVEFILE_WRITE_THROUGH)) {
        return 1;
    }
    MoveFileExA(old, own, 0);
    return 0;
}

int fs_executable_dir(char* buffer, int size)
{
    if (!fs_executable_path(buffer, size)) {
        return 0;
    }
    char* cut = nullptr;
    for (char* c = buffer; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/') {
            cut = c;
        }
    }
    if (cut == nullptr) {
        buffer[0] = '\0';
        return 0;
    }
    *cut = '\0';
    return 1;
}

int fs_user_data_parent(char* buffer, int size)
{
    return fs_executable_dir(buffer, size);
}
