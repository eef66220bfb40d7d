// catalog_load on arbitrary bytes, with both prefixes empty and with long
// ones: every entry it returns is complete, terminated, safe to join to the
// data directory, stored under the name Windows opens, and of a known kind.
#include "catalog/catalog.h"
#include "tests/fuzz/fuzz_support.h"

#include <cstring>
#include <string>

namespace {

void check_list(CatalogEntry* head)
{
    int count = 0;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        FUZZ_CHECK(e->kind == ENTRY_FILE || e->kind == ENTRY_EXE || e->kind == ENTRY_NOTES);
        FUZZ_CHECK(std::memchr(e->url_name, '\0', CATALOG_TEXT_SIZE) != nullptr);
        FUZZ_CHECK(std::memchr(e->url, '\0', CATALOG_TEXT_SIZE) != nullptr);
        FUZZ_CHECK(std::memchr(e->file_name, '\0', CATALOG_TEXT_SIZE) != nullptr);
        FUZZ_CHECK(std::memchr(e->local_path, '\0', CATALOG_TEXT_SIZE) != nullptr);
        // Stored names are already in the form Windows opens them in.
        char normal[CATALOG_TEXT_SIZE];
        FUZZ_CHECK(catalog_name_normalize(e->file_name, normal, sizeof normal) == nullptr &&
                   std::strcmp(normal, e->file_name) == 0);
        FUZZ_CHECK(e->size >= -INT64_MAX); // a size past 63 bits drops its record
        FUZZ_CHECK(e->update == 0);
        ++count;
    }
    catalog_print(head);
    catalog_free(&head);
    FUZZ_CHECK(head == nullptr);
    (void)count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The dump runs too (it reads every field), with its output discarded.
    static std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    FUZZ_CHECK(quiet != nullptr);
    const char* path = fuzz_write_file(data, size);
    check_list(catalog_load(path, "", ""));
    static const std::string long_prefix(CATALOG_TEXT_SIZE - 8, 'p');
    check_list(catalog_load(path, long_prefix.c_str(), long_prefix.c_str()));
    check_list(catalog_load(path, "data", "http://127.0.0.1:1/base"));
    return 0;
}
