#include "catalog/block_map.h"
#include "catalog/catalog.h"
#include "catalog/signing.h"
#include "catalog/verify.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

class CatalogTest : public ::testing::Test {
protected:
    std::string dir = make_scratch_dir();
    CatalogEntry* head = nullptr;

    ~CatalogTest() override { catalog_free(&head); }

    std::string path(const std::string& name) const { return dir + "/" + name; }

    CatalogEntry* load(const std::string& text, const char* local = "", const char* url = "")
    {
        write_file(path("catalog.txt"), text);
        catalog_free(&head);
        head = catalog_load(path("catalog.txt").c_str(), local, url);
        return head;
    }

    // The lines read_line gives for a file's bytes.
    std::vector<std::string> lines_of(const std::string& bytes, int n)
    {
        write_file(path("lines.txt"), bytes);
        std::FILE* f = std::fopen(path("lines.txt").c_str(), "rb");
        std::vector<std::string> lines;
        std::vector<char> buffer(static_cast<size_t>(n));
        while (read_line(f, buffer.data(), n)) {
            lines.emplace_back(buffer.data());
        }
        std::fclose(f);
        // A catalog held in memory is read into the very same lines.
        TextCursor text = {bytes.data(), 0, static_cast<std::int64_t>(bytes.size())};
        std::vector<std::string> same;
        while (text_read_line(&text, buffer.data(), n)) {
            same.emplace_back(buffer.data());
        }
        EXPECT_EQ(same, lines);
        return lines;
    }
};

std::vector<std::string> urls(const CatalogEntry* head)
{
    std::vector<std::string> out;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        out.emplace_back(e->url);
    }
    return out;
}

TEST_F(CatalogTest, ReadLineRemovesUpToThreeLineEndsButNeverPositionZero)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(lines_of("a\nbb\r\nccc\r\r\nd", 64), (V{"a", "bb", "ccc", "d"}));
    // A line that is only a line end keeps its first character.
    EXPECT_EQ(lines_of("\n\r\nx\n", 64), (V{"\n", "\r", "x"}));
    // Any of the last three positions holding CR or LF is cut, even with
    // other text between them.
    EXPECT_EQ(lines_of("ab\rc\n", 64), (V{"ab"}));
    EXPECT_EQ(lines_of("abcd\n\n\n\n", 64), (V{"abcd", "\n", "\n", "\n"}));
    // A zero byte ends the text; the line still runs to its LF.
    EXPECT_EQ(lines_of(std::string("a\0b\nc", 5), 64), (V{"a", "c"}));
}

TEST_F(CatalogTest, ReadLineSplitsLongLinesAndLeavesBufferAtEnd)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(lines_of("abcdefgh\n", 4), (V{"abc", "def", "gh"}));
    // 63 characters and LF with n = 64: the text, then a lone LF.
    const std::string line63(63, 'x');
    EXPECT_EQ(lines_of(line63 + "\n", 64), (V{line63, "\n"}));

    write_file(path("empty.txt"), "");
    std::FILE* f = std::fopen(path("empty.txt").c_str(), "rb");
    char buffer[8] = "keep";
    EXPECT_EQ(read_line(f, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "keep");
    std::fclose(f);
}

TEST_F(CatalogTest, MissingAndEmptyCatalogsGiveNoList)
{
    EXPECT_EQ(catalog_load(path("absent.txt").c_str(), "", ""), nullptr);
    EXPECT_EQ(load(""), nullptr);
    EXPECT_EQ(load("\n\nnot a record\nfile\nlower case keyword\n"), nullptr);
}

TEST_F(CatalogTest, RecordsLoadInReverseOrderWithAllFields)
{
    load("FILE\na.pak\n10\nDEADBEEF\na.pak\n"
         "EXE\ngame.exe\n-5\n0000abcd\ngame.exe\n"
         "NOTES\nnotes.txt\n7\n1\nnotes.txt\n");
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(urls(head), (std::vector<std::string>{"notes.txt", "game.exe", "a.pak"}));
    const CatalogEntry* notes = head;
    const CatalogEntry* exe = notes->next;
    const CatalogEntry* file = exe->next;
    EXPECT_EQ(notes->kind, ENTRY_NOTES);
    EXPECT_EQ(exe->kind, ENTRY_EXE);
    EXPECT_EQ(file->kind, ENTRY_FILE);
    EXPECT_EQ(file->size, 10);
    EXPECT_EQ(file->crc, 0xDEADBEEFu);
    EXPECT_EQ(exe->size, -5);
    EXPECT_EQ(exe->crc, 0xABCDu);
    EXPECT_EQ(notes->crc, 1u);
    EXPECT_EQ(file->update, 0);
    EXPECT_EQ(file->next, nullptr);
}

TEST_F(CatalogTest, KeywordsCompareThreeOrFourCharactersCaseSensitively)
{
    load("FILEX\nf\n1\n1\nf\n"
         "EXEcutable\ne\n1\n1\ne\n"
         "NOTHING\nn\n1\n1\nn\n"
         "Exe\nnot-a-record\n");
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->kind, ENTRY_NOTES);
    EXPECT_EQ(head->next->kind, ENTRY_EXE);
    EXPECT_EQ(head->next->next->kind, ENTRY_FILE);
    EXPECT_EQ(head->next->next->next, nullptr);
}

TEST_F(CatalogTest, FieldLinesAreTakenWhateverTheyHold)
{
    // A keyword line among a record's fields does not start a record.
    load("FILE\nEXE\nFILE\nNOTES\nFILE\n");
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->next, nullptr);
    EXPECT_STREQ(head->url, "EXE");
    EXPECT_EQ(head->size, 0);
    EXPECT_EQ(head->crc, 0u);
    EXPECT_STREQ(head->file_name, "FILE");
}

TEST_F(CatalogTest, SizeAndCrcParsing)
{
    ::testing::internal::CaptureStderr();
    load("FILE\nu\n  +42xyz\n   1a2b3c4d\nf1\n"
         "FILE\nu\nnone\n123456789ABC\nf2\n"
         "FILE\nu\n9223372036854775808\n1\nwraps\n"
         "LARGE EXE\nu\n99999999999\nzz\nf3\n");
    const std::string messages = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->size, 99999999999); // 64 bits; the large form of a keyword
    EXPECT_EQ(head->kind, ENTRY_EXE);
    EXPECT_EQ(head->crc, 0u);
    EXPECT_NE(messages.find("\"wraps\": size past 63 bits"), std::string::npos) << messages;
    EXPECT_EQ(head->next->size, 0);
    EXPECT_EQ(head->next->crc, 0x12345678u); // only eight digits are read
    EXPECT_EQ(head->next->next->size, 42);
    EXPECT_EQ(head->next->next->crc, 0x1A2B3C4Du);
}

TEST_F(CatalogTest, LfAndCrLfCatalogsAreIdentical)
{
    const std::string lf = "FILE\nhttp://x/a\n12\n    ABCD\nsub/a.dat\n\n\nEXE\nb\n3\nF\nb.exe\n";
    std::string crlf;
    for (char c : lf) {
        if (c == '\n') {
            crlf += '\r';
        }
        crlf += c;
    }
    load(lf, "data", "base");
    std::vector<std::string> first;
    for (const CatalogEntry* e = head; e; e = e->next) {
        first.push_back(std::string(e->url) + "|" + e->local_path + "|" + std::to_string(e->size) +
                        "|" + std::to_string(e->crc) + "|" + std::to_string(e->kind));
    }
    load(crlf, "data", "base");
    std::vector<std::string> second;
    for (const CatalogEntry* e = head; e; e = e->next) {
        second.push_back(std::string(e->url) + "|" + e->local_path + "|" + std::to_string(e->size) +
                         "|" + std::to_string(e->crc) + "|" + std::to_string(e->kind));
    }
    EXPECT_EQ(first.size(), 2u);
    EXPECT_EQ(first, second);
}

TEST_F(CatalogTest, PrefixesAreJoinedWithASlashAsTheyStand)
{
    load("FILE\na.pak\n1\n1\nmaps/a.pak\n", "C:\\Data/Quorvel", "http://h/quorvel/data/");
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->url, "http://h/quorvel/data//a.pak");
    EXPECT_STREQ(head->local_path, "C:\\Data/Quorvel/maps/a.pak");
    EXPECT_STREQ(head->url_name, "a.pak");
    EXPECT_STREQ(head->file_name, "maps/a.pak");

    load("FILE\na.pak\n1\n1\nb.pak\n");
    EXPECT_STREQ(head->url, "a.pak");
    EXPECT_STREQ(head->local_path, "b.pak");
}

// A record cut short before its name would name the data folder itself.
TEST_F(CatalogTest, RecordCutShortBeforeItsNameIsDropped)
{
    ::testing::internal::CaptureStderr();
    load("FILE\nfirst\n1\n1\nfirst\nEXE\nhttp-name", "dir", "base");
    const std::string messages = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->file_name, "first");
    EXPECT_EQ(head->next, nullptr);
    EXPECT_NE(messages.find("empty file name"), std::string::npos) << messages;
}

// Every row of the shared table of names: the stored form, or refused.
TEST_F(CatalogTest, FileNamesFollowTheSharedTable)
{
    std::FILE* table = std::fopen(QUORVEL_CATALOG_NAMES, "rb");
    ASSERT_NE(table, nullptr) << QUORVEL_CATALOG_NAMES;
    auto decode = [](const std::string& text) {
        std::string out;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size()) {
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    };
    char row[4096];
    int rows = 0;
    while (std::fgets(row, sizeof row, table) != nullptr) {
        std::string line(row);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        const std::size_t tab = line.rfind('\t');
        if (line.empty() || line[0] == '#' || tab == std::string::npos) {
            continue;
        }
        const std::string name = decode(line.substr(0, tab));
        const std::string want = decode(line.substr(tab + 1));
        char normal[CATALOG_TEXT_SIZE];
        const char* problem = catalog_name_normalize(name.c_str(), normal, sizeof normal);
        EXPECT_EQ(problem == nullptr ? std::string(normal) : std::string("-"), want)
            << "name \"" << name << "\"";
        EXPECT_EQ(catalog_name_is_safe(name.c_str()), want == "-" ? 0 : 1) << name;
        ++rows;
    }
    std::fclose(table);
    EXPECT_GT(rows, 60);
    // A catalog stores the normal form and lays its file out under it.
    load("FILE\nu\n1\n1\nmaps//a.pak \n", "data", "");
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->file_name, "maps/a.pak");
    EXPECT_STREQ(head->local_path, "data/maps/a.pak");
    ::testing::internal::CaptureStderr();
    load("FILE\nu1\n1\n1\n../evil\nFILE\nu2\n1\n1\ngood.pak\nEXE\nu3\n1\n1\nC:/x.exe\n", "data",
         "");
    const std::string messages = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->file_name, "good.pak");
    EXPECT_EQ(head->next, nullptr);
    EXPECT_NE(messages.find("../evil"), std::string::npos) << messages;
    EXPECT_NE(messages.find("C:/x.exe"), std::string::npos) << messages;
}

TEST_F(CatalogTest, ComposedTextsThatWouldNotFitAreRefusedNotCut)
{
    const std::string long_prefix(1000, 'p');
    const std::string name(30, 'n');
    const std::string catalog =
        "FILE\n" + name + "\n1\n1\n" + name + "\nFILE\nshort\n1\n1\nshort\n";
    // A URL past its buffer; then, where the system opens paths that long,
    // a local path past its buffer.
    for (int local : {0, 1}) {
        if (local && fs_longest_path() < CATALOG_TEXT_SIZE) {
            continue;
        }
        ::testing::internal::CaptureStderr();
        load(catalog, local ? long_prefix.c_str() : "", local ? "" : long_prefix.c_str());
        const std::string messages = ::testing::internal::GetCapturedStderr();
        ASSERT_NE(head, nullptr);
        EXPECT_STREQ(head->file_name, "short");
        EXPECT_EQ(head->next, nullptr);
        EXPECT_NE(messages.find("too long"), std::string::npos);
    }

    // The longest name a line holds (1022 characters and the LF) fits alone.
    const std::string longest(1022, 'a');
    load("FILE\n" + longest + "\n1\n1\nshort\n");
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(std::string(head->url), longest);
}

TEST_F(CatalogTest, PrintWritesTheDumpInListOrder)
{
    load("FILE\na\n10\n1F\nfa\nNOTES\nn\n2\nABCDEF12\nfn\nEXE\ne\n-1\n0\nfe\n", "d", "http://h");
    head->update = 1;
    ::testing::internal::CaptureStdout();
    catalog_print(head);
    std::fflush(stdout);
    const std::string dump = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(dump, "Exe\nURL: http://h/e\nFILE: d/fe\nSIZE: -1\nCRC:        0\nUpdate: 1\n"
                    "Notas\nURL: http://h/n\nFILE: d/fn\nSIZE: 2\nCRC: ABCDEF12\nUpdate: 0\n"
                    "File\nURL: http://h/a\nFILE: d/fa\nSIZE: 10\nCRC:       1F\nUpdate: 0\n");
}

TEST_F(CatalogTest, WrittenFormRoundTripsInReverseOrder)
{
    const std::string digest(64, 'c');
    const std::string blocks_a = "BLOCKS 44 " + std::string(64, 'd') + " maps/fa.qblocks\n";
    const std::string blocks_n = "BLOCKS 7 " + std::string(64, 'e') + " fn.qblocks\n";
    load("FILE\na\n3221225472\n1F\nfa\n" + blocks_a + "NOTES\nn\n2\nabcdef12\nfn\nSHA256 " +
             digest + "\n" + blocks_n + "EXE\ne\n3\n0\nfe\n",
         "dir", "http://h");
    ASSERT_EQ(catalog_write(head, path("written.txt").c_str()), 0);
    // The composed URLs and local paths (and the map's composed URL): loaded
    // again with empty prefixes, the list holds the same URLs and paths.
    const std::string notes = "NOTES\nhttp://h/n\n2\nABCDEF12\ndir/fn\nSHA256 " + digest +
                              "\nBLOCKS 7 " + std::string(64, 'e') + " http://h/fn.qblocks\n";
    EXPECT_EQ(read_file(path("written.txt")),
              "EXE\nhttp://h/e\n3\n       0\ndir/fe\n\n\n" + notes +
                  "\n\nLARGE FILE\nhttp://h/a\n3221225472\n      1F\ndir/fa\nBLOCKS 44 " +
                  std::string(64, 'd') + " http://h/maps/fa.qblocks\n\n\n");

    CatalogEntry* back = catalog_load(path("written.txt").c_str(), "", "");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(urls(back), (std::vector<std::string>{"http://h/a", "http://h/n", "http://h/e"}));
    EXPECT_STREQ(back->local_path, "dir/fa");
    EXPECT_STREQ(back->next->local_path, "dir/fn");
    EXPECT_EQ(back->crc, 0x1Fu);
    EXPECT_EQ(back->size, 3221225472);
    EXPECT_EQ(back->next->crc, 0xABCDEF12u);
    EXPECT_EQ(back->next->next->size, 3);
    EXPECT_EQ(back->has_blocks, 1);
    EXPECT_EQ(back->blocks_size, 44);
    EXPECT_EQ(back->blocks_sha256[31], 0xDD);
    char map_url[CATALOG_TEXT_SIZE];
    ASSERT_EQ(catalog_blocks_url(back, map_url, sizeof map_url), 1);
    EXPECT_STREQ(map_url, "http://h/maps/fa.qblocks");
    EXPECT_EQ(back->next->has_blocks, 1);
    EXPECT_EQ(back->next->blocks_sha256[0], 0xEE);
    EXPECT_EQ(back->next->has_sha256, 1);
    EXPECT_EQ(back->next->next->has_blocks, 0);
    catalog_free(&back);

    CatalogEntry odd = {};
    odd.kind = ENTRY_NONE;
    ASSERT_EQ(catalog_write(&odd, path("odd.txt").c_str()), 0);
    EXPECT_EQ(read_file(path("odd.txt")), "UNKNOW\n\n0\n       0\n\n\n\n");

    // Not created: 0, as the close's status is on success; no file is left.
    const std::string nowhere = dir + "/no/such/folder/x.txt";
    EXPECT_EQ(catalog_write(head, nowhere.c_str()), 0);
    EXPECT_EQ(std::fopen(nowhere.c_str(), "rb"), nullptr);
    // Created but not written out (a full disk): the close's failure.
    // Wine opens /dev/full as a file that takes every byte.
    std::FILE* full = std::fopen("/dev/full", "wb");
    if (full == nullptr || (std::fputc('x', full), std::fclose(full) == 0)) {
        GTEST_SKIP() << "no device here that refuses every write";
    }
    EXPECT_EQ(catalog_write(head, "/dev/full"), EOF);
}

// The BLOCKS line stands right after the record, or after its SHA256 line;
// a line that is not one whole is no map, and the record stays.
TEST_F(CatalogTest, BlocksLineAfterTheRecord)
{
    const std::string hex = std::string(62, 'a') + "0F";
    const std::string sha = "SHA256 " + std::string(64, 'b') + "\n";
    const std::string largest = std::to_string(BLOCK_MAP_SIZE_MAX);
    const std::string too_large = std::to_string(BLOCK_MAP_SIZE_MAX + 1);
    const struct {
        const char* name;
        std::string lines;
        std::int64_t blocks_size; // 0: no map
        int has_sha256;
    } cases[] = {
        {"after the SHA256 line", sha + "BLOCKS 44 " + hex + " maps/a.qblocks\n", 44, 1},
        {"with no SHA256 line", "BLOCKS 44 " + hex + " maps/a.qblocks\n", 44, 0},
        {"the largest map taken", "BLOCKS " + largest + " " + hex + " maps/a.qblocks\n",
         BLOCK_MAP_SIZE_MAX, 0},
        {"before the SHA256 line", "BLOCKS 44 " + hex + " maps/a.qblocks\n" + sha, 44, 0},
        {"after a blank line", sha + "\nBLOCKS 44 " + hex + " maps/a.qblocks\n", 0, 1},
        {"lower case", "blocks 44 " + hex + " m\n", 0, 0},
        {"no size", "BLOCKS  " + hex + " m\n", 0, 0},
        {"size 0", "BLOCKS 0 " + hex + " m\n", 0, 0},
        {"negative size", "BLOCKS -44 " + hex + " m\n", 0, 0},
        {"size past the largest map", "BLOCKS " + too_large + " " + hex + " m\n", 0, 0},
        {"eleven digits", "BLOCKS 00000000044 " + hex + " m\n", 0, 0},
        {"digest one digit short", "BLOCKS 44 " + hex.substr(1) + " m\n", 0, 0},
        {"digest one digit long", "BLOCKS 44 " + hex + "0 m\n", 0, 0},
        {"digest not hex", "BLOCKS 44 g" + hex.substr(1) + " m\n", 0, 0},
        {"no name", "BLOCKS 44 " + hex + "\n", 0, 0},
        {"empty name", "BLOCKS 44 " + hex + " \n", 0, 0},
    };
    for (const auto& c : cases) {
        load("FILE\nu\n1\n1\na.pak\n" + c.lines + "FILE\nv\n2\n2\nb.pak\n", "", "http://h/d");
        ASSERT_NE(head, nullptr) << c.name;
        ASSERT_NE(head->next, nullptr) << c.name;
        const CatalogEntry* e = head->next;
        EXPECT_STREQ(head->file_name, "b.pak") << c.name;
        EXPECT_EQ(head->has_blocks, 0) << c.name;
        EXPECT_STREQ(e->file_name, "a.pak") << c.name;
        EXPECT_EQ(e->has_sha256, c.has_sha256) << c.name;
        EXPECT_EQ(e->has_blocks, c.blocks_size > 0 ? 1 : 0) << c.name;
        char url[CATALOG_TEXT_SIZE];
        EXPECT_EQ(catalog_blocks_url(e, url, sizeof url), e->has_blocks) << c.name;
        if (e->has_blocks) {
            EXPECT_EQ(e->blocks_size, c.blocks_size) << c.name;
            EXPECT_EQ(e->blocks_sha256[0], 0xAA) << c.name;
            EXPECT_EQ(e->blocks_sha256[31], 0x0F) << c.name;
            EXPECT_STREQ(e->blocks_name, "maps/a.qblocks") << c.name;
            EXPECT_STREQ(url, "http://h/d/maps/a.qblocks") << c.name;
        }
    }

    // The map's URL shares the record's prefix, or stands alone without one;
    // a URL that does not fit is none.
    load("FILE\nsub/u\n1\n1\na.pak\nBLOCKS 44 " + hex + " a.qblocks\n");
    ASSERT_NE(head, nullptr);
    char url[CATALOG_TEXT_SIZE];
    EXPECT_EQ(catalog_blocks_url(head, url, sizeof url), 1);
    EXPECT_STREQ(url, "a.qblocks");
    EXPECT_EQ(catalog_blocks_url(head, url, 9), 0);
    EXPECT_STREQ(url, "");
    EXPECT_EQ(catalog_blocks_url(head, url, 10), 1);
}

TEST_F(CatalogTest, WindowsDeviceNamesAreRefusedInEveryComponent)
{
    ::testing::internal::CaptureStderr();
    load("FILE\nu1\n1\n1\nmaps/NUL.pak\nFILE\nu2\n1\n1\nmaps/ok.pak\n", "data", "");
    const std::string messages = ::testing::internal::GetCapturedStderr();
    ASSERT_NE(head, nullptr);
    EXPECT_STREQ(head->file_name, "maps/ok.pak");
    EXPECT_EQ(head->next, nullptr);
    EXPECT_NE(messages.find("Windows device name"), std::string::npos) << messages;
}

// Names Windows takes for one file are one file: the first record keeps it.
// A backslash is a folder separator on every build.
TEST_F(CatalogTest, RecordsNamingOneFileAreOneEntry)
{
    // The same contents under one name (letter case and separator aside)
    // are one file with every role its records give; other contents: the
    // later record stands, with one line.
    ::testing::internal::CaptureStderr();
    load("FILE\nu1\n1\n1\nmaps\\A.pak\n"
         "FILE\ng1\n7\n7\ngame.exe\n"
         "NOTES\nu2\n2\n2\nnotes.txt\n"
         "FILE\nu3\n3\n3\nMAPS/a.PAK\n"
         "EXE\ng2\n7\n7\nGame.exe\n"
         "FILE\nu4\n2\n2\nNotes.txt\n"
         "FILE\nu5\n5\n5\nmaps/b.pak\n",
         "data", "");
    const std::string messages = ::testing::internal::GetCapturedStderr();
    std::vector<std::string> kept;
    for (const CatalogEntry* e = head; e != nullptr; e = e->next) {
        kept.push_back(e->local_path);
    }
    EXPECT_EQ(kept, (std::vector<std::string>{"data/maps/b.pak", "data/Notes.txt", "data/Game.exe",
                                              "data/MAPS/a.PAK"}));
    ASSERT_NE(catalog_find_exe(head), nullptr);
    EXPECT_STREQ(catalog_find_exe(head)->url, "g2");
    EXPECT_EQ(catalog_find_exe(head)->kind, ENTRY_EXE);
    ASSERT_NE(catalog_find_role(head, ENTRY_NOTES), nullptr);
    EXPECT_STREQ(catalog_find_role(head, ENTRY_NOTES)->url, "u4");
    EXPECT_NE(messages.find("\"MAPS/a.PAK\" replaces an earlier one"), std::string::npos)
        << messages;
    EXPECT_EQ(messages.find("Game.exe"), std::string::npos) << messages;
    EXPECT_EQ(messages.find("Notes.txt"), std::string::npos) << messages;

    // The last EXE record of the catalog is still what Play starts when an
    // earlier one's file is named again after it; when that record is
    // dropped, Play starts nothing rather than an EXE it replaced.
    load("EXE\na\n1\n1\na.exe\nEXE\nb\n1\n1\nb.exe\nFILE\na2\n1\n1\na.exe\n");
    ASSERT_NE(catalog_find_exe(head), nullptr);
    EXPECT_STREQ(catalog_find_exe(head)->file_name, "b.exe");
    ::testing::internal::CaptureStderr();
    load("EXE\nold\n1\n1\nold.exe\nNOTES\nn\n1\n1\nn.txt\nEXE\nnew\n2\n2\nCON.exe\n");
    EXPECT_EQ(catalog_find_exe(head), nullptr);
    EXPECT_NE(catalog_find_role(head, ENTRY_NOTES), nullptr);
    // 8-bit letters in the ANSI code page's cases name one file on Windows.
    load("FILE\nu1\n1\n1\n\xE9t\xE9.pak\nFILE\nu2\n2\n2\n\xC9T\xC9.pak\n");
    ::testing::internal::GetCapturedStderr();
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->next, nullptr);
    EXPECT_STREQ(head->url, "u2");

    // Where the system opens no longer path, a longer one is dropped.
    const std::string deep(static_cast<std::size_t>(fs_longest_path()) - 4, 'd');
    if (deep.size() + 8 < CATALOG_TEXT_SIZE) {
        ::testing::internal::CaptureStderr();
        load("FILE\nu\n1\n1\n" + deep + "\nFILE\nu\n1\n1\n" + deep.substr(6) + "\n", "data", "");
        const std::string long_messages = ::testing::internal::GetCapturedStderr();
        ASSERT_NE(head, nullptr);
        EXPECT_EQ(std::strlen(head->local_path), deep.size() - 1);
        EXPECT_EQ(head->next, nullptr);
        EXPECT_NE(long_messages.find("local path too long"), std::string::npos);
    }
}

TEST_F(CatalogTest, OnlyRecordsOrBlankLinesReadAsACatalog)
{
    const struct {
        const char* text;
        int is_catalog;
    } cases[] = {
        {"", 1},
        {"\n\r\n \t\n", 1},
        {"FILE\nu\n1\n1\na\n", 1},
        {"# made by hand\nEXE\nu\n1\n1\ngame.exe\n", 1},
        {"<html><body>Sign in to the hotel network</body></html>\n", 0},
        {"\n\nnot a record\n", 0},
        {"FILE\nu\n1\n1\na\n\nsee the notes\n", 1},
        {"VERSION 7\nEXPIRES 2030-01-01T00:00:00Z\nSIGNATURE ed25519 AAAA\n", 1},
        {"VERSION 7\nFILE\nu\n12\n   C0FFEE\na\nSHA256 00\n\n\nSIGNATURE ed25519 A\n", 1},
        {"NOTE: back up your saves\nfirst\nsecond\nthird\nfourth\n", 0},
        {"EXE\ngame.exe\n3000\n", 0},
        {"FILE\nu\nabc\n1\na\n", 0},
        {"FILE\nu\n1\nxyz\na\n", 0},
        {"FILE\nu\n+\n1\na\n", 0},
        {"FILE\nu\n \t\n1\na\n", 0},
        {"FILE\nu\n-x9\n1\na\n", 0},
        {"FILE\nu\n9\n-\na\n", 0},
        {"FILE\nu\n9\n \na\n", 0},
    };
    for (const auto& c : cases) {
        write_file(dir + "/c.txt", c.text);
        EXPECT_EQ(catalog_text_is_catalog((dir + "/c.txt").c_str()), c.is_catalog) << c.text;
    }
    EXPECT_EQ(catalog_text_is_catalog((dir + "/missing.txt").c_str()), 0);
    EXPECT_EQ(catalog_text_is_catalog(dir.c_str()), 0);
}

// Size and CRC lines count as numbers exactly when the loader reads one
// from them: a catalog it reads right is never thrown away as no catalog.
TEST_F(CatalogTest, NumbersReadAsTheLoaderReadsThem)
{
    const struct {
        const char* size_line;
        const char* crc_line;
        std::int64_t size;
        std::uint32_t crc;
    } cases[] = {
        {"9 ", "1F", 9, 0x1F},       {"+9", "1F", 9, 0x1F},
        {"\t9", "\t1f", 9, 0x1F},    {"  12 bytes", "C0FFEE ok", 12, 0xC0FFEE},
        {"-3", "+1F", -3, 0x1F},     {"3221225472\t", "  ABCDEF12", 3221225472, 0xABCDEF12},
        {"\v\f 7", "0x2a", 7, 0x2A},
    };
    for (const auto& c : cases) {
        const std::string text =
            std::string("FILE\nu\n") + c.size_line + "\n" + c.crc_line + "\na\n";
        load(text);
        EXPECT_EQ(catalog_text_is_catalog(path("catalog.txt").c_str()), 1) << c.size_line;
        ASSERT_NE(head, nullptr) << c.size_line;
        EXPECT_EQ(head->size, c.size) << c.size_line;
        EXPECT_EQ(head->crc, c.crc) << c.crc_line;
    }
}

TEST(CatalogFree, ToleratesNullAndClearsHead)
{
    catalog_free(nullptr);
    CatalogEntry* none = nullptr;
    catalog_free(&none);
    EXPECT_EQ(none, nullptr);
    CatalogEntry* one = entry_new();
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->kind, ENTRY_NONE);
    EXPECT_EQ(one->next, nullptr);
    EXPECT_STREQ(one->url, "");
    catalog_free(&one);
    EXPECT_EQ(one, nullptr);
}

// Entries share blocks of pages: none may overlap another, each starts in the
// fresh state even where a freed one lay, and every block goes back once its
// entries are freed, in whatever order.
// MIRROR lines count only before the first record (inside a record they
// are a file's fields), and only as web URLs without blanks.
TEST(CatalogMirrors, OnlyBeforeTheFirstRecord)
{
    const std::string text = "VERSION 3\nMIRROR http://a.example/g\nMIRROR ftp://b/g\n"
                             "MIRROR http://p:114457/g\nMIRROR http://p:48921abc/g\n"
                             "MIRROR https://p:+48921/g\nMIRROR http://p:0\nMIRROR http://p:/g\n"
                             "MIRROR https://c.example/g/\nMIRROR http://d e\nmirror http://e/\n"
                             "\nMIRROR https://f.example:65535\nFILE\nMIRROR http://g/\n1\n1\na\n"
                             "MIRROR http://h.example\n";
    char mirrors[CATALOG_MIRRORS_MAX][CATALOG_TEXT_SIZE];
    ASSERT_EQ(catalog_mirrors(text.data(), static_cast<std::int64_t>(text.size()), mirrors,
                              CATALOG_MIRRORS_MAX),
              3);
    EXPECT_STREQ(mirrors[0], "http://a.example/g");
    EXPECT_STREQ(mirrors[1], "https://c.example/g/"); // no bad port taken as another
    EXPECT_STREQ(mirrors[2], "https://f.example:65535");
    EXPECT_EQ(catalog_mirrors(text.data(), static_cast<std::int64_t>(text.size()), mirrors, 1), 1);
}

// Every entry is one heap allocation: free() releases one from entry_new,
// and catalog_free a list built by hand from malloc'd entries (under
// AddressSanitizer any other release is a fault). Each starts fresh, even
// where a freed one lay.
TEST(CatalogFree, EntriesAreOneHeapAllocationEach)
{
    std::free(entry_new());
    CatalogEntry* hand = nullptr;
    for (int i = 0; i < 3; ++i) {
        auto* e = static_cast<CatalogEntry*>(std::malloc(sizeof(CatalogEntry)));
        ASSERT_NE(e, nullptr);
        std::memset(e, 0, sizeof *e);
        e->size = i;
        e->next = hand;
        hand = e;
    }
    catalog_free(&hand);
    EXPECT_EQ(hand, nullptr);

    std::vector<CatalogEntry*> entries;
    for (int i = 0; i < 300; ++i) {
        CatalogEntry* e = entry_new();
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->size, 0);
        EXPECT_EQ(e->next, nullptr);
        EXPECT_STREQ(e->local_path, "");
        std::memset(e, 0x5a, sizeof(CatalogEntry));
        if (i % 3 == 1) {
            std::free(e); // as a dropped record is, the next may take its place
            continue;
        }
        entries.push_back(e);
    }
    for (CatalogEntry* e : entries) {
        EXPECT_EQ(reinterpret_cast<const unsigned char*>(e)[sizeof(CatalogEntry) - 1], 0x5a);
        std::free(e);
    }
}

} // namespace

// Signed catalogs: every check a signed build makes, each failing alone.
TEST_F(CatalogTest, SealedCatalogChecks)
{
    std::uint8_t seed[ED25519_KEY_SIZE] = {1, 2, 3};
    std::uint8_t other_seed[ED25519_KEY_SIZE] = {9};
    std::uint8_t keys[2][ED25519_KEY_SIZE];
    ASSERT_EQ(ed25519_public_key(other_seed, keys[0]), 1);
    ASSERT_EQ(ed25519_public_key(seed, keys[1]), 1); // a rotated-in second key
    const std::int64_t now = 1800000000;
    const std::string records = "FILE\na\n1\n1\na\nSHA256 " + std::string(64, 'a') + "\n\n\n";

    auto seal = [&](const std::string& text, std::int64_t version, std::int64_t expires,
                    const std::uint8_t* with) {
        std::FILE* out = std::fopen(path("sealed.txt").c_str(), "wb");
        EXPECT_EQ(catalog_write_sealed(text.data(), static_cast<std::int64_t>(text.size()), version,
                                       expires, with, out),
                  1);
        std::fclose(out);
        return read_file(path("sealed.txt"));
    };
    auto check = [&](const std::string& bytes, std::int64_t lowest) {
        std::int64_t version = -1;
        std::int64_t signed_length = 0;
        return catalog_check_sealed_text(bytes.data(), static_cast<std::int64_t>(bytes.size()),
                                         keys, 2, lowest, now, &version, &signed_length);
    };

    const std::string good = seal(records, 5, now + 60, seed);
    EXPECT_EQ(good.rfind("VERSION 5\nEXPIRES 2027-01-15T08:01:00Z\nFILE\n", 0), 0u) << good;
    EXPECT_EQ(check(good, 5), CATALOG_CHECK_OK);
    // Loaded like any catalog, with its digest.
    write_file(path("check.txt"), good);
    load(good, "", "");
    ASSERT_NE(head, nullptr);
    EXPECT_EQ(head->has_sha256, 1);
    EXPECT_EQ(head->sha256[31], 0xAA);

    std::string changed = good;
    changed[changed.find("FILE\na\n1") + 7] = '2';
    const std::string unsigned_text = good.substr(0, good.rfind("SIGNATURE"));
    // Forgeries that keep the genuine signature over the genuine bytes and
    // hide more lines where another reading might find them.
    const std::string padded_signature = good.substr(0, good.size() - 1);
    auto nul_padded = [](const std::string& line) {
        return line + std::string(1023 - line.size(), '\0');
    };
    std::string hidden_record =
        padded_signature + std::string(1023 - (good.size() - 1 - good.rfind("SIGNATURE")), '\0');
    for (const char* line : {"EXE", "evil", "1", "1", "evil.exe", "SHA256 0000"}) {
        hidden_record += nul_padded(line);
    }
    std::string seal_named = "FILE\nSIGNATURE x\n1\n1\nVERSION 9\nSHA256 ";
    seal_named.append(64, 'b').append("\n");
    std::string split_signature = good;
    split_signature.insert(good.rfind("SIGNATURE") + 40, "\n");
    const struct {
        const char* name;
        std::string bytes;
        std::int64_t lowest;
        CatalogCheck expected;
    } cases[] = {
        {"no signature line", unsigned_text, 0, CATALOG_CHECK_UNSIGNED},
        {"one byte changed after signing", changed, 0, CATALOG_CHECK_BAD_SIGNATURE},
        {"signed by another key", seal(records, 5, now + 60, keys[0]), 0,
         CATALOG_CHECK_BAD_SIGNATURE},
        {"an older version replayed", good, 6, CATALOG_CHECK_ROLLBACK},
        {"expired", seal(records, 5, now, seed), 0, CATALOG_CHECK_EXPIRED},
        {"a record without SHA256", seal("FILE\na\n1\n1\na\n\n\n", 5, now + 60, seed), 0,
         CATALOG_CHECK_NO_SHA256},
        {"text after the signature line", good + "FILE\nb\n1\n1\nb\n", 0, CATALOG_CHECK_UNSIGNED},
        {"a blank line after the signature line", good + "\n", 0, CATALOG_CHECK_UNSIGNED},
        {"zero bytes padding the signature line", padded_signature + std::string(40, '\0') + "\n",
         0, CATALOG_CHECK_UNSIGNED},
        {"a record hidden in zero-padded lines after the signature", hidden_record, 0,
         CATALOG_CHECK_UNSIGNED},
        {"the signature line split in two", split_signature, 0, CATALOG_CHECK_UNSIGNED},
        {"game files named like the seal's lines", seal(seal_named + records, 5, now + 60, seed), 5,
         CATALOG_CHECK_OK},
        {"a second SIGNATURE line", seal(records + "SIGNATURE ed25519 x\n", 5, now + 60, seed), 0,
         CATALOG_CHECK_SECOND_SIGNATURE},
        {"a zero byte in the signed text",
         seal(records + std::string(1, '\0') + "x\n", 5, now + 60, seed), 0,
         CATALOG_CHECK_NUL_BYTE},
        {"a line the reader would split",
         seal(records + std::string(1023, 'x') + "\n", 5, now + 60, seed), 0,
         CATALOG_CHECK_LONG_LINE},
        {"a line the reader would split before its CR LF",
         seal(records + std::string(1022, 'x') + "\r\n", 5, now + 60, seed), 0,
         CATALOG_CHECK_LONG_LINE},
        {"CR-only line ends", seal("FILE\rb\r1\r1\rb\r" + records, 5, now + 60, seed), 0,
         CATALOG_CHECK_LONE_CR},
        {"the longest line the reader keeps whole",
         seal(records + std::string(1022, 'x') + "\n", 5, now + 60, seed), 0, CATALOG_CHECK_OK},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(check(c.bytes, c.lowest), c.expected) << c.name;
    }
    EXPECT_EQ(check("", 0), CATALOG_CHECK_UNSIGNED);

    std::int64_t seconds = 0;
    char text[21];
    for (std::int64_t t :
         {std::int64_t{0}, std::int64_t{951782400}, now, std::int64_t{4102444799}}) {
        utc_seconds_to_text(t, text);
        ASSERT_EQ(utc_text_to_seconds(text, &seconds), 1) << text;
        EXPECT_EQ(seconds, t) << text;
    }
    for (const char* bad : {"2026-02-30T00:00:00Z", "2026-1-01T00:00:00Z", "2026-01-01T24:00:00Z",
                            "2026-01-01T00:00:00", "2026-01-01T00:00:00Z "}) {
        EXPECT_EQ(utc_text_to_seconds(bad, &seconds), 0) << bad;
    }
}
