#include "catalog/catalog.h"
#include "catalog/verify.h"
#include "platform/platform.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

// The checksum computed bit by bit from its definition, independent of any
// table: reflected polynomial 0xEDB88320, initial value and final complement.
std::uint32_t reference_crc32(const std::string& bytes)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return ~crc;
}

std::uint32_t crc_of(const std::string& bytes)
{
    return ~crc32_update(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                         static_cast<std::int32_t>(bytes.size()), 0xFFFFFFFFu);
}

class VerifyTest : public ::testing::Test {
protected:
    std::string dir = make_scratch_dir();
    CatalogEntry* head = nullptr;

    ~VerifyTest() override { catalog_free(&head); }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    // Adds an entry for a local file name at the head of the list.
    CatalogEntry* add(EntryKind kind, const std::string& name, std::int64_t size, std::uint32_t crc)
    {
        CatalogEntry* e = entry_new();
        e->kind = kind;
        std::snprintf(e->local_path, CATALOG_TEXT_SIZE, "%s", path(name).c_str());
        e->size = size;
        e->crc = crc;
        e->next = head;
        head = e;
        return e;
    }

    std::vector<std::string> notes(int slots_available)
    {
        char slots[8][NOTES_LINE_SIZE];
        std::memset(slots, '#', sizeof slots);
        std::int32_t count = -1;
        notes_load(head, slots, &count, slots_available);
        std::vector<std::string> lines;
        for (int i = 0; i < count; ++i) {
            lines.emplace_back(slots[i]);
        }
        // Nothing past the slots given may be touched.
        for (int i = slots_available; i < 8; ++i) {
            EXPECT_EQ(slots[i][0], '#') << "slot " << i << " was written";
        }
        return lines;
    }
};

TEST(Crc32, KnownValuesAndAgreementWithTheDefinition)
{
    EXPECT_EQ(crc_of("123456789"), 0xCBF43926u);
    EXPECT_EQ(crc_of(""), 0u);
    EXPECT_EQ(crc32_update(nullptr, 0, 0x12345678u), 0x12345678u);

    std::mt19937 rng(7);
    std::string data(5000, '\0');
    for (char& c : data) {
        c = static_cast<char>(rng());
    }
    // Every length and start offset near the eight-byte steps, and splits of
    // one buffer into two updates, give the same value as the definition.
    for (std::size_t start = 0; start < 9; ++start) {
        for (std::size_t len = 0; len < 70; ++len) {
            const std::string piece = data.substr(start, len);
            ASSERT_EQ(crc_of(piece), reference_crc32(piece)) << start << "+" << len;
        }
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
    for (std::int32_t split : {1, 7, 8, 13, 4095}) {
        std::uint32_t crc = crc32_update(bytes, split, 0xFFFFFFFFu);
        crc = crc32_update(bytes + split, 5000 - split, crc);
        EXPECT_EQ(~crc, reference_crc32(data)) << split;
    }
}

TEST_F(VerifyTest, Crc32FileReadsFromTheCurrentPosition)
{
    write_file(path("digits"), "xx123456789");
    std::FILE* f = std::fopen(path("digits").c_str(), "rb");
    std::fseek(f, 2, SEEK_SET);
    EXPECT_EQ(crc32_file(f), 0xCBF43926u);
    std::fclose(f);

    write_file(path("empty"), "");
    f = std::fopen(path("empty").c_str(), "rb");
    EXPECT_EQ(crc32_file(f), 0u);
    std::fclose(f);

    // Larger than one read block, so the running value crosses blocks.
    std::string big(600 * 1024 + 3, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<char>(i * 31 + (i >> 9));
    }
    write_file(path("big"), big);
    f = std::fopen(path("big").c_str(), "rb");
    EXPECT_EQ(crc32_file(f), reference_crc32(big));
    std::fclose(f);
}

TEST_F(VerifyTest, EntryVerifyComparesSizeAndCrc)
{
    write_file(path("empty"), "");
    write_file(path("digits"), "123456789");
    write_file(path("changed"), "123456780");
    write_file(path("longer"), "1234567890");

    CatalogEntry* empty = add(ENTRY_FILE, "empty", 0, 0);
    CatalogEntry* digits = add(ENTRY_FILE, "digits", 9, 0xCBF43926u);
    CatalogEntry* changed = add(ENTRY_FILE, "changed", 9, 0xCBF43926u);
    CatalogEntry* longer = add(ENTRY_FILE, "longer", 9, 0xCBF43926u);
    CatalogEntry* missing = add(ENTRY_FILE, "missing", 0, 0);

    EXPECT_EQ(entry_verify(empty), 1);
    EXPECT_EQ(empty->update, 0);
    EXPECT_EQ(entry_verify(digits), 1);
    EXPECT_EQ(entry_verify(changed), 0);
    EXPECT_EQ(changed->update, 1);
    EXPECT_EQ(entry_verify(longer), 0);
    EXPECT_EQ(entry_verify(missing), 0);
    EXPECT_EQ(missing->update, 1);

    // A flag once set stays, even when the file matches later.
    write_file(path("changed"), "123456789");
    EXPECT_EQ(entry_verify(changed), 1);
    EXPECT_EQ(changed->update, 1);
}

TEST_F(VerifyTest, LargeFilesVerifyAlikeAndOneCutWhileScannedNeverPasses)
{
    // Past the size from which files are scanned from a mapping.
    std::string big(3 * 8 * 1024 * 1024 + 7, '\0');
    std::mt19937 rng(5);
    for (char& c : big) {
        c = static_cast<char>(rng());
    }
    write_file(path("big"), big);
    CatalogEntry* right =
        add(ENTRY_FILE, "big", static_cast<std::int64_t>(big.size()), reference_crc32(big));
    CatalogEntry* wrong =
        add(ENTRY_FILE, "big", static_cast<std::int64_t>(big.size()), reference_crc32(big) ^ 1u);
    EXPECT_EQ(entry_verify(right), 1);
    EXPECT_EQ(entry_verify(wrong), 0);

    // The file is cut to 1 MiB after the first piece of a scan: the scan
    // fails (or, where files are read, ends short) instead of ending the
    // process, and never reports the whole file.
    struct Cut {
        std::string path;
        std::int64_t seen;
    } cut = {path("big"), 0};
    const std::int64_t result = fs_scan_file(
        cut.path.c_str(), -1, 0,
        [](const std::uint8_t* bytes, std::size_t count, void* context) {
            auto* c = static_cast<Cut*>(context);
            if (c->seen == 0) {
                std::filesystem::resize_file(c->path, 1 << 20);
            }
            volatile std::uint8_t sink = 0;
            for (std::size_t i = 0; i < count; i += 4096) {
                sink = static_cast<std::uint8_t>(sink ^ bytes[i]);
            }
            c->seen += static_cast<std::int64_t>(count);
        },
        &cut);
    EXPECT_LT(result, static_cast<std::int64_t>(big.size()));
    // Another size, a folder: refused before a byte reaches consume, both
    // where the size is looked up first and where a small file is taken in
    // one read.
    cut.seen = 0;
    const auto mark = [](const std::uint8_t*, std::size_t, void* c) {
        static_cast<Cut*>(c)->seen = 1;
    };
    for (const std::int64_t map_from : {std::int64_t{0}, std::int64_t{1} << 40}) {
        EXPECT_EQ(fs_scan_file(cut.path.c_str(), 5, map_from, mark, &cut), -1);
        EXPECT_EQ(fs_scan_file(cut.path.c_str(), (1 << 20) + 1, map_from, mark, &cut), -1);
        EXPECT_EQ(fs_scan_file(dir.c_str(), -1, map_from, mark, &cut), -1);
        EXPECT_EQ(fs_scan_file(dir.c_str(), 5, map_from, mark, &cut), -1);
    }
    EXPECT_EQ(cut.seen, 0);
    EXPECT_EQ(entry_verify(right), 0);
}

TEST_F(VerifyTest, AFolderInPlaceOfAFileNeverMatches)
{
    ASSERT_EQ(fs_make_dir(path("folder").c_str()), 0);
    CatalogEntry* folder = add(ENTRY_FILE, "folder", 0, 0);
    EXPECT_EQ(entry_verify(folder), 0);
    EXPECT_EQ(folder->update, 1);
}

TEST_F(VerifyTest, VerifyAllChecksEveryEntryAndTotalsPendingBytes)
{
    EXPECT_EQ(catalog_verify_all(nullptr), 0);
    EXPECT_EQ(catalog_pending_bytes(nullptr), 0);

    write_file(path("good"), "123456789");
    CatalogEntry* good = add(ENTRY_FILE, "good", 9, 0xCBF43926u);
    CatalogEntry* later_bad = add(ENTRY_NOTES, "absent2", 700, 1);
    CatalogEntry* first_bad = add(ENTRY_EXE, "absent1", 50, 1);
    ASSERT_EQ(head, first_bad);

    EXPECT_EQ(catalog_verify_all(head), 0);
    EXPECT_EQ(first_bad->update, 1);
    EXPECT_EQ(later_bad->update, 1);
    EXPECT_EQ(good->update, 0);
    EXPECT_EQ(catalog_pending_bytes(head), 750);

    catalog_free(&head);
    good = add(ENTRY_FILE, "good", 9, 0xCBF43926u);
    EXPECT_EQ(catalog_verify_all(head), 1);
}

TEST_F(VerifyTest, FindExeReturnsTheFirstInListOrder)
{
    EXPECT_EQ(catalog_find_exe(nullptr), nullptr);
    add(ENTRY_FILE, "f", 0, 0);
    EXPECT_EQ(catalog_find_exe(head), nullptr);
    CatalogEntry* earlier = add(ENTRY_EXE, "old.exe", 0, 0);
    add(ENTRY_NOTES, "n", 0, 0);
    CatalogEntry* later = add(ENTRY_EXE, "new.exe", 0, 0);
    (void)earlier;
    EXPECT_EQ(catalog_find_exe(head), later);
}

TEST_F(VerifyTest, NotesComeFromTheFirstNotesEntryOnly)
{
    EXPECT_TRUE(notes(6).empty());
    write_file(path("old.txt"), "old notes\n");
    add(ENTRY_NOTES, "old.txt", 0, 0);
    EXPECT_EQ(notes(6), (std::vector<std::string>{"old notes"}));

    // The later record's file is missing: no lines, and the earlier one is
    // not tried.
    add(ENTRY_NOTES, "new.txt", 0, 0);
    EXPECT_TRUE(notes(6).empty());

    write_file(path("new.txt"), "line one\r\n\r\nline three\r\n");
    EXPECT_EQ(notes(6), (std::vector<std::string>{"line one", "\r", "line three"}));
    write_file(path("new.txt"), "a\n\nb");
    EXPECT_EQ(notes(6), (std::vector<std::string>{"a", "\n", "b"}));
}

TEST_F(VerifyTest, NotesNeverWritePastTheirSlots)
{
    write_file(path("notes.txt"),
               std::string(63, 'x') + "\n" + std::string(100, 'y') + "\n3\n4\n5\n6\n7\n8\n");
    add(ENTRY_NOTES, "notes.txt", 0, 0);
    const std::vector<std::string> lines = notes(6);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], std::string(63, 'x'));
    EXPECT_EQ(lines[1], "\n"); // the 63-character line's LF on its own
    EXPECT_EQ(lines[2], std::string(63, 'y'));
    EXPECT_EQ(lines[3], std::string(37, 'y'));
    EXPECT_EQ(lines[4], "3");
    EXPECT_EQ(lines[5], "4");
    EXPECT_EQ(notes(2).size(), 2u);
}

TEST_F(VerifyTest, RefreshTakesSizeAndCrcFromTheFile)
{
    write_file(path("digits"), "123456789");
    CatalogEntry* digits = add(ENTRY_FILE, "digits", 1, 1);
    CatalogEntry* missing = add(ENTRY_FILE, "missing", 5, 6);
    catalog_refresh_all(head);
    EXPECT_EQ(digits->size, 9);
    EXPECT_EQ(digits->crc, 0xCBF43926u);
    EXPECT_EQ(digits->update, 0);
    EXPECT_EQ(missing->size, 5);
    EXPECT_EQ(missing->crc, 6u);
    EXPECT_EQ(missing->update, 1);
}

} // namespace
