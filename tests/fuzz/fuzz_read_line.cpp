// read_line with small buffers: never writes past n bytes, always leaves a
// terminated text of at most n-1 bytes, and reading ends. The reader of a
// catalog held in memory gives the very same lines for the same bytes (a
// signed catalog is checked and parsed in memory, its notes read from a
// file), with a full-size buffer too.
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
    TextCursor text = {reinterpret_cast<const char*>(data + 1), 0,
                       static_cast<std::int64_t>(size - 1)};
    char same[16];
    while (read_line(f, buffer, n)) {
        FUZZ_CHECK(n >= 2);
        FUZZ_CHECK(std::memchr(buffer, '\0', static_cast<std::size_t>(n)) != nullptr);
        FUZZ_CHECK(text_read_line(&text, same, n) == 1 && std::strcmp(same, buffer) == 0);
        ++lines;
        FUZZ_CHECK(lines <= size); // each line takes at least one byte
    }
    FUZZ_CHECK(text_read_line(&text, same, n) == 0);
    std::rewind(f);
    static char whole[CATALOG_TEXT_SIZE];
    static char whole_same[CATALOG_TEXT_SIZE];
    text.at = 0;
    while (read_line(f, whole, CATALOG_TEXT_SIZE)) {
        FUZZ_CHECK(text_read_line(&text, whole_same, CATALOG_TEXT_SIZE) == 1 &&
                   std::strcmp(whole, whole_same) == 0);
    }
    FUZZ_CHECK(text_read_line(&text, whole_same, CATALOG_TEXT_SIZE) == 0);
    FUZZ_CHECK(storage[0] == 0x5a);
    for (std::size_t i = static_cast<std::size_t>(n) + 1; i < sizeof storage; ++i) {
        FUZZ_CHECK(storage[i] == 0x5a);
    }
    std::fclose(f);
    return 0;
}
