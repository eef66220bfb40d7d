#include "update/self_update.h"

#include "platform/platform.h"
#include "update/update_core.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int with_suffix(char* out, std::size_t size, const char* path, const char* suffix)
{
    const int length = std::snprintf(out, size, "%s%s", path, suffix);
    return length > 0 && static_cast<std::size_t>(length) < size;
}

} // namespace

SelfUpdatePlan self_update_plan(SelfUpdate* update, const char* catalog_file,
                                const char* url_prefix)
{
    update->reason = "";
    if (!fs_executable_path(update->own_path, sizeof update->own_path) ||
        !update_find_launcher(catalog_file, platform_name(), url_prefix, &update->record)) {
        return SELF_UPDATE_NONE;
    }
    CatalogEntry* record = &update->record;
    std::snprintf(record->local_path, sizeof record->local_path, "%s", update->own_path);
    if (update_entry_verify(record)) {
        return SELF_UPDATE_NONE;
    }
    if (std::getenv(RESTART_MARKER) != nullptr) {
        update->reason = "the launcher a self-update just started does not match its record";
        return SELF_UPDATE_SKIP;
    }
    if (update_signed_mode() && !record->has_sha256) {
        update->reason = "the record has no SHA256 line";
        return SELF_UPDATE_SKIP;
    }
    // The new file goes beside the running one; the download makes the
    // folders of file_name below folder, and there are none.
    if (!fs_executable_dir(update->folder, sizeof update->folder) ||
        !with_suffix(record->local_path, sizeof record->local_path, update->own_path, ".new") ||
        !with_suffix(update->old_path, sizeof update->old_path, update->own_path, ".old")) {
        update->reason = "the launcher's path is too long";
        return SELF_UPDATE_SKIP;
    }
    std::snprintf(record->file_name, sizeof record->file_name, "%s",
                  update->own_path + std::strlen(update->folder) + 1);
    std::FILE* probe = std::fopen(record->local_path, "wb");
    if (probe == nullptr) {
        update->reason = "the launcher's folder cannot be written";
        return SELF_UPDATE_SKIP;
    }
    std::fclose(probe);
    std::remove(record->local_path);
    record->update = 1;
    record->next = nullptr;
    return SELF_UPDATE_FETCH;
}

int self_update_swap(SelfUpdate* update)
{
    if (fs_swap_executable(update->own_path, update->record.local_path, update->old_path)) {
        return 1;
    }
    std::remove(update->record.local_path);
    return 0;
}

void self_update_remove_old()
{
    char own[CATALOG_TEXT_SIZE];
    char old[CATALOG_TEXT_SIZE + 8];
    if (fs_executable_path(own, sizeof own) && with_suffix(old, sizeof old, own, ".old") &&
        fs_exists(old)) {
        std::remove(old);
    }
}
