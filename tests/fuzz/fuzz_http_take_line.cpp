// http_take_line on arbitrary buffers: the line never exceeds what was held,
// the length only shrinks, and a line taken had its line feed in the data.
#include "net/http_internal.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > HTTP_BUFFER_SIZE) {
        return 0;
    }
    std::vector<char> buffer(data, data + size);
    buffer.push_back(0); // never empty, so data() is never null
    int length = static_cast<int>(size);
    std::vector<char> line(size + 1);
    int taken = 0;
    while (true) {
        const int before = length;
        const bool had_feed = std::memchr(buffer.data(), '\n', static_cast<std::size_t>(length));
        if (!http_take_line(buffer.data(), &length, line.data())) {
            FUZZ_CHECK(!had_feed);
            FUZZ_CHECK(length == before);
            break;
        }
        FUZZ_CHECK(had_feed);
        FUZZ_CHECK(length >= 0 && length < before);
        FUZZ_CHECK(std::strlen(line.data()) < static_cast<std::size_t>(before));
        FUZZ_CHECK(std::strchr(line.data(), '\n') == nullptr);
        ++taken;
        FUZZ_CHECK(taken <= static_cast<int>(size));
    }
    return 0;
}
