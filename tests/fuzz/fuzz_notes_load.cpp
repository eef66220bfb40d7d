// notes_load of arbitrary file bytes into six slots: the count stays within
// the slots, every slot used is terminated and the slot past the last is
// never touched.
#include "catalog/catalog.h"
#include "catalog/verify.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const char* path = fuzz_write_file(data, size);
    CatalogEntry* notes = entry_new();
    CatalogEntry* file = entry_new();
    FUZZ_CHECK(notes != nullptr && file != nullptr);
    notes->kind = ENTRY_NOTES;
    std::strcpy(notes->local_path, path);
    file->kind = ENTRY_FILE;
    file->next = notes;

    constexpr int slots = 6;
    char lines[slots + 1][NOTES_LINE_SIZE];
    std::memset(lines, 0x5a, sizeof lines);
    std::int32_t count = -1;
    notes_load(file, lines, &count, slots);
    FUZZ_CHECK(count >= 0 && count <= slots);
    for (int i = 0; i < count; ++i) {
        FUZZ_CHECK(std::memchr(lines[i], '\0', NOTES_LINE_SIZE) != nullptr);
    }
    for (int i = 0; i < NOTES_LINE_SIZE; ++i) {
        FUZZ_CHECK(lines[slots][i] == 0x5a);
    }
    CatalogEntry* head = file;
    catalog_free(&head);
    return 0;
}
