// Shared pieces of the fuzz targets: a scratch file holding the input bytes
// and a tiny reader that slices the input into typed values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

inline char fuzz_file_path[64] = {};

// Writes the bytes to one file per process and returns its path. The file
// goes when the process ends normally (libFuzzer's time limit), so repeated
// runs leave nothing behind in /dev/shm.
inline const char* fuzz_write_file(const std::uint8_t* data, std::size_t size)
{
    char* path = fuzz_file_path;
    if (path[0] == '\0') {
        std::snprintf(path, sizeof fuzz_file_path, "/dev/shm/quorvel-fuzz-%ld.bin",
                      static_cast<long>(std::rand()) ^ reinterpret_cast<long>(&fuzz_file_path));
        std::atexit([] { std::remove(fuzz_file_path); });
    }
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::abort();
    }
    if (size > 0 && std::fwrite(data, 1, size, f) != size) {
        std::abort();
    }
    std::fclose(f);
    return path;
}

// Takes fixed-size values off the front of the input; zeros once it runs out.
struct FuzzReader {
    const std::uint8_t* data;
    std::size_t size;

    template <typename T> T take()
    {
        T value{};
        const std::size_t n = size < sizeof(T) ? size : sizeof(T);
        std::memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
};

// A failed invariant: libFuzzer records the input as a crash.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant failed: %s (%s:%d)\n", #condition, __FILE__,           \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)
