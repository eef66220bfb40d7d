#include "catalog/verify.h"

#include "catalog/crc32_kernels.h"
#include "platform/platform.h"

#include <cstring>

namespace {

// One read block for every file check; the program is single-threaded.
constexpr int READ_BLOCK_SIZE = 256 * 1024;
std::uint8_t read_block[READ_BLOCK_SIZE];

struct FileMeasure {
    std::int64_t size;
    std::uint32_t crc;
    int read_ok;
};

// Size and CRC of an open stream from its position to its end, counted as
// the bytes go past so that any file size is measured exactly.
FileMeasure measure_stream(std::FILE* stream)
{
    crc32_init_table();
    FileMeasure m = {0, 0xFFFFFFFFu, 1};
    while (true) {
        const std::size_t got = std::fread(read_block, 1, READ_BLOCK_SIZE, stream);
        if (got == 0) {
            break;
        }
        m.crc = crc32_update(read_block, static_cast<std::int32_t>(got), m.crc);
        m.size += static_cast<std::int64_t>(got);
    }
    m.read_ok = std::ferror(stream) == 0;
    m.crc = ~m.crc;
    return m;
}

// fs_scan_file hands over pieces of at most a few megabytes and counts
// them itself.
void crc_piece(const std::uint8_t* bytes, std::size_t count, void* running_crc)
{
    auto* crc = static_cast<std::uint32_t*>(running_crc);
    *crc = crc32_update(bytes, static_cast<std::int32_t>(count), *crc);
}

} // namespace

void crc32_init_table()
{
    crc32_kernels_init();
}

std::uint32_t crc32_update(const std::uint8_t* bytes, std::int32_t count, std::uint32_t running)
{
    if (count <= 0) {
        return running;
    }
    return crc32_kernel_run(crc32_kernel_selected(), bytes, static_cast<std::size_t>(count),
                            running);
}

std::uint32_t crc32_file(std::FILE* stream)
{
    return measure_stream(stream).crc;
}

int entry_matches_file(const CatalogEntry* entry, const char* path)
{
    // One open per file: a file of another size, or anything but a regular
    // file, is refused before a byte is read.
    crc32_init_table();
    std::uint32_t crc = 0xFFFFFFFFu;
    const std::int64_t scanned =
        fs_scan_file(path, entry->size, FILE_MAP_AT_LEAST, crc_piece, &crc);
    return scanned >= 0 && scanned == entry->size && ~crc == entry->crc ? 1 : 0;
}

int entry_verify(CatalogEntry* entry)
{
    if (entry_matches_file(entry, entry->local_path)) {
        return 1;
    }
    entry->update = 1;
    return 0;
}

int catalog_verify_all(CatalogEntry* head)
{
    return catalog_verify_each(head, entry_verify);
}

int catalog_verify_each(CatalogEntry* head, int (*verify)(CatalogEntry* entry))
{
    if (head == nullptr) {
        return 0;
    }
    int all_match = 1;
    for (CatalogEntry* e = head; e != nullptr; e = e->next) {
        if (!verify(e)) {
            all_match = 0;
        }
    }
    return all_match;
}

std::int64_t catalog_pending_bytes(const CatalogEntry* head)
{
    std::int64_t total = 0;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        if (e->update != 0) {
            total += e->size;
        }
    }
    return total;
}

CatalogEntry* catalog_find_exe(CatalogEntry* head)
{
    return catalog_find_role(head, ENTRY_EXE);
}

void notes_load(const CatalogEntry* head, char (*lines)[NOTES_LINE_SIZE], std::int32_t* count,
                std::int32_t max_lines)
{
    *count = 0;
    const CatalogEntry* notes = catalog_find_role(const_cast<CatalogEntry*>(head), ENTRY_NOTES);
    if (notes == nullptr) {
        return;
    }
    std::FILE* file = fs_is_file(notes->local_path) ? std::fopen(notes->local_path, "rb") : nullptr;
    if (file == nullptr) {
        return;
    }
    while (*count < max_lines && read_line(file, lines[*count], NOTES_LINE_SIZE)) {
        ++*count;
    }
    std::fclose(file);
}

void entry_refresh(CatalogEntry* entry)
{
    std::FILE* file = fs_is_file(entry->local_path) ? std::fopen(entry->local_path, "rb") : nullptr;
    if (file == nullptr) {
        entry->update = 1;
        return;
    }
    const FileMeasure m = measure_stream(file);
    std::fclose(file);
    entry->size = m.size;
    entry->crc = m.crc;
}

void catalog_refresh_all(CatalogEntry* head)
{
    for (CatalogEntry* e = head; e != nullptr; e = e->next) {
        entry_refresh(e);
    }
}
