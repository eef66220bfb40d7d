// read_line with small buffers: never writes past n bytes, always leaves a
// terminated text of at most n-1 bytes, and reading ends.
#include "catalog/catalog.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const int n = data[0] % 12; // 0..11, the small sizes where edge cases live
    const char* path = fuzz_write_file(data + 1, size - 1);
    std::FILE* f = std::fopen(path, "rb");
    FUZZ_CHECK(f != nullptr);
    // A guard byte on each side catches writes outside the n bytes given.
    char storage[16];
    std::memset(storage, 0x5a, sizeof storage);
    char* buffer = storage + 1;
    std::size_t lines = 0;
    while (read_line(f, buffer, n)) {
        FUZZ_CHECK(n >= 2);
        FUZZ_CHECK(std::memchr(buffer, '\0', static_cast<std::size_t>(n)) != nullptr);
        ++lines;
        FUZZ_CHECK(lines <= size); // each line takes at least one byte
    }
    FUZZ_CHECK(storage[0] == 0x5a);
    for (std::size_t i = static_cast<std::size_t>(n) + 1; i < sizeof storage; ++i) {
        FUZZ_CHECK(storage[i] == 0x5a);
    }
    std::fclose(f);
    return 0;
}
