// The update rules as the launcher and quorvelctl sync drive them: the
// catalog fetch's limits and the downloads' retries, against scripted
// servers on 127.0.0.1.
#include "catalog/verify.h"
#include "tests/support/http_driver.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_files.h"
#include "update/update_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A server that keeps sending header lines, a few bytes at a time, never
// ending its head: the catalog fetch ends at its time limit, as any failed
// fetch, and the catalog in place stays. Downloads have no time limit.
TEST(CatalogFetch, EndsAtItsTimeLimitAndLeavesTheCatalogInPlace)
{
    const std::string dir = make_scratch_dir();
    const std::string catalog = dir + "/catalog.txt";
    const std::string temporary = dir + "/catalog.txt.new";
    const std::string in_place = "FILE\na.dat\n1\n0\na.dat\n";
    write_file(catalog, in_place);
    std::vector<ServerStep> drip = {send_step("HTTP/1.0 200 OK\r\n")};
    for (int i = 0; i < 60; ++i) {
        drip.push_back(pause_step(50));
        drip.push_back(send_step("X-Drip: 1\r\n"));
    }
    drip.push_back(close_step());
    ScriptedServer server(drip);
    auto client = new_http_client();
    update_fetch_begin(client.get(), server.url("/catalog.php").c_str(), temporary.c_str());
    EXPECT_EQ(client->time_limit_ms, CATALOG_TIME_LIMIT_MS);
    client->time_limit_ms = 300; // the same end, sooner
    ASSERT_TRUE(poll_to_end(client.get(), 2000));
    server.finish();
    EXPECT_EQ(client->failure, HTTP_FAILED_TIME);
    EXPECT_EQ(update_fetch_end(client.get(), temporary.c_str(), catalog.c_str()), 0);
    EXPECT_EQ(read_file(catalog), in_place);
    EXPECT_FALSE(fs_exists(temporary.c_str()));

    DownloadRun run = {};
    download_begin(&run, client.get(), nullptr, dir.c_str(), 0);
    EXPECT_EQ(client->time_limit_ms, 0);
}

// A new catalog in place: the parts of files the old one named and the
// new one does not go (the long-named file's short part too); the parts of
// files it still names, the old files themselves and anything else stay.
TEST(CatalogFetch, ThePartsOfFilesTheNewCatalogDropsGo)
{
    const std::string dir = make_scratch_dir();
    const std::string catalog = dir + "/catalog.txt";
    const std::string temporary = dir + "/catalog.txt.new";
    // Too long for "<name>.partial.qblocks": 240 bytes, or on Windows as long
    // as the longest path allows.
    const std::size_t room = static_cast<std::size_t>(fs_longest_path()) - dir.size() - 1;
    const std::string long_name(room < 240 ? room : 240, 'l');
    write_file(catalog,
               "FILE\na.dat\n1\n0\na.dat\nFILE\ngone.dat\n1\n0\ngone.dat\nFILE\nl\n1\n0\n" +
                   long_name + "\n");
    char short_part[CATALOG_TEXT_SIZE + 32];
    ASSERT_TRUE(catalog_part_path((dir + "/" + long_name).c_str(), short_part, sizeof short_part));
    ASSERT_EQ(std::string(short_part).find(dir + "/~"), 0u) << short_part;
    const std::vector<std::string> dropped = {
        dir + "/gone.dat.partial", dir + "/gone.dat.partial.meta",
        dir + "/gone.dat.partial.qblocks", short_part, std::string(short_part) + ".meta"};
    const std::vector<std::string> kept = {dir + "/a.dat.partial", dir + "/a.dat.partial.meta",
                                           dir + "/gone.dat", dir + "/other.dat.partial"};
    for (const auto& paths : {&dropped, &kept}) {
        for (const std::string& path : *paths) {
            write_file(path, "x");
        }
    }
    ScriptedServer server(
        {send_step("HTTP/1.0 200 OK\r\n\r\nFILE\na.dat\n1\n0\na.dat\n"), close_step()});
    auto client = new_http_client();
    update_fetch_begin(client.get(), server.url("/catalog.php").c_str(), temporary.c_str());
    ASSERT_TRUE(poll_to_end(client.get()));
    server.finish();
    ASSERT_EQ(update_fetch_end(client.get(), temporary.c_str(), catalog.c_str()), 1);
    for (const std::string& path : dropped) {
        EXPECT_FALSE(fs_exists(path.c_str())) << path;
    }
    for (const std::string& path : kept) {
        EXPECT_TRUE(fs_exists(path.c_str())) << path;
    }
}

TEST(DownloadRetries, EachWaitsTwiceTheLastUpToTheLongestPlusAFifthAtMost)
{
    auto client = new_http_client();
    DownloadRun run = {};
    download_begin(&run, client.get(), nullptr, ".", 0);
    EXPECT_EQ(run.first_wait_ms, DOWNLOAD_FIRST_WAIT_MS);
    EXPECT_EQ(run.longest_wait_ms, DOWNLOAD_LONGEST_WAIT_MS);
    EXPECT_EQ(download_retry_in_ms(&run), 0);
    const std::pair<std::int32_t, std::int64_t> waits[] = {
        {1, 1000}, {2, 2000}, {3, 4000}, {6, 32000}, {7, 60000}, {8, 60000}, {100000, 60000},
    };
    for (const auto& [retry, wait] : waits) {
        SCOPED_TRACE(retry);
        EXPECT_EQ(download_retry_wait_ms(&run, retry, 0), wait);
        EXPECT_EQ(download_retry_wait_ms(&run, retry, 0x80000000u), wait + wait / 10);
        EXPECT_EQ(download_retry_wait_ms(&run, retry, 0xFFFFFFFFu), wait + (wait - 1) / 5);
    }
}

// One entry of ten bytes to download into a scratch folder, with short
// waits: 40 ms before the first retry, 320 ms at most.
class Downloads : public ::testing::Test {
protected:
    std::string dir = make_scratch_dir();
    std::unique_ptr<HttpClient> client = new_http_client();
    CatalogEntry* entry = entry_new();
    DownloadRun run = {};

    void SetUp() override
    {
        ASSERT_NE(entry, nullptr);
        entry->kind = ENTRY_FILE;
        std::snprintf(entry->file_name, sizeof entry->file_name, "%s", "game.pak");
        std::snprintf(entry->local_path, sizeof entry->local_path, "%s/game.pak", dir.c_str());
        write_file(entry->local_path, "0123456789");
        entry_refresh(entry);
        std::remove(entry->local_path);
        entry->update = 1;
    }

    void TearDown() override { entry_free(entry); }

    void begin(const std::string& url, std::int32_t max_tries)
    {
        std::snprintf(entry->url, sizeof entry->url, "%s", url.c_str());
        download_begin(&run, client.get(), entry, dir.c_str(), max_tries);
        run.first_wait_ms = 40;
        run.longest_wait_ms = 320;
    }

    // Steps until the answer is not DOWNLOAD_RUNNING or a retry is waited for.
    DownloadStep step_to_a_wait_or_end()
    {
        const std::int64_t deadline = clock_monotonic_ms() + 5000;
        CatalogEntry* finished = nullptr;
        DownloadStep step = DOWNLOAD_RUNNING;
        while (step == DOWNLOAD_RUNNING && download_retry_in_ms(&run) == 0) {
            if (clock_monotonic_ms() > deadline) {
                ADD_FAILURE() << "the try did not end";
                break;
            }
            step = download_step(&run, client.get(), &finished);
            http_wait(client.get(), 5);
        }
        return step;
    }
};

std::string refused_url()
{
    int port = 0;
    {
        ScriptedServer gone({close_step()});
        port = gone.port();
    }
    return "http://127.0.0.1:" + std::to_string(port) + "/game.pak";
}

// A server that refuses every try: each retry comes only after its wait,
// and sync's limit of tries still ends the run.
TEST_F(Downloads, AFileThatNeverArrivesWaitsLongerBeforeEachTry)
{
    begin(refused_url(), 5);
    std::vector<std::int64_t> tried_at;
    CatalogEntry* finished = nullptr;
    DownloadStep step = DOWNLOAD_RUNNING;
    const std::int64_t deadline = clock_monotonic_ms() + 10000;
    std::int32_t tries = 0;
    while (step == DOWNLOAD_RUNNING && clock_monotonic_ms() < deadline) {
        step = download_step(&run, client.get(), &finished);
        if (run.tries != tries) {
            tries = run.tries;
            tried_at.push_back(clock_monotonic_ms());
        }
        sleep_ms(1);
    }
    EXPECT_EQ(step, DOWNLOAD_GAVE_UP);
    ASSERT_EQ(tried_at.size(), 5u);
    const std::int64_t least_gaps[] = {40, 80, 160, 320};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_GE(tried_at[i + 1] - tried_at[i], least_gaps[i]) << "before try " << i + 2;
    }
}

// Which tries count: only one whose part grew and is kept for resume (a
// validator came, so a sidecar stands) does not (toward sync's limit, or
// toward a longer wait: the next wait is the first one again); every other
// failed try does. A resumed case starts from a part of four bytes that a
// first try, cut short, left with its sidecar.
TEST_F(Downloads, OnlyATryWhosePartGrewAndIsKeptIsNotCounted)
{
    struct Case {
        const char* name;
        bool resumed;
        std::string reply;
        int counted;
        std::int64_t part_after; // -1: no part left
        bool sidecar_after;
    };
    const std::string etag_head = "HTTP/1.0 200 OK\r\nETag: \"v1\"\r\nContent-Length: 10\r\n\r\n";
    const Case cases[] = {
        {"200 with a validator, cut short", false, etag_head + "01234", 0, 5, true},
        {"200 without a validator, cut short", false,
         "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n01234", 1, -1, false},
        {"206 for the rest, cut short", true,
         "HTTP/1.1 206 Partial Content\r\nETag: \"v1\"\r\nContent-Range: bytes 4-9/10\r\n"
         "Content-Length: 6\r\n\r\n45",
         0, 6, true},
        {"200 from the first byte again (Range ignored), cut short", true, etag_head + "012", 1, 3,
         true},
        {"416 to the Range", true,
         "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n", 1, -1, false},
        {"400 to the Range", true, "HTTP/1.0 400 Bad Request\r\nContent-Length: 5\r\n\r\nnope\n", 1,
         -1, false},
        {"a resumed try cut in its head", true, "HTTP/1.0 200 OK\r\nContent-Le", 1, 4, true},
        {"no reply to a resumed try", true, "", 1, 4, true},
        {"an error page cut short", false,
         "HTTP/1.0 404 Not Found\r\nContent-Length: 10\r\n\r\n<h1>", 1, -1, false},
        {"200 whole, other bytes", false, "HTTP/1.0 200 OK\r\n\r\nabcdefghij", 1, -1, false},
        {"200 past the record's size", false,
         "HTTP/1.0 200 OK\r\nETag: \"v1\"\r\n\r\n0123456789abc", 1, -1, false},
        {"200 cut in its head", false, "HTTP/1.0 200 OK\r\nContent-Le", 1, -1, false},
    };
    const std::string part = entry->local_path + std::string(".partial");
    const std::string sidecar = part + ".meta";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.resumed) {
            ScriptedServer first({send_step(etag_head + "0123"), close_step()});
            begin(first.url("/game.pak"), 1);
            EXPECT_EQ(step_to_a_wait_or_end(), DOWNLOAD_RUNNING);
            first.finish();
            ASSERT_EQ(fs_file_size(part.c_str()), 4);
            ASSERT_TRUE(fs_is_file(sidecar.c_str()));
            client = new_http_client();
        }
        ScriptedServer server({send_step(c.reply), close_step()});
        begin(server.url("/game.pak"), 1);
        run.retries = 3; // three failed tries before this one
        const DownloadStep step = step_to_a_wait_or_end();
        server.finish();
        if (c.resumed) {
            EXPECT_NE(server.request().find("Range: bytes=4-"), std::string::npos)
                << server.request();
        }
        EXPECT_EQ(run.tries, c.counted);
        if (c.counted) {
            EXPECT_EQ(step, DOWNLOAD_GAVE_UP);
        } else {
            EXPECT_EQ(step, DOWNLOAD_RUNNING);
            EXPECT_GT(download_retry_in_ms(&run), 0);
            EXPECT_LE(download_retry_in_ms(&run), 48); // the first wait
            EXPECT_EQ(download_transfer_bytes(&run, client.get()), 0);
        }
        EXPECT_EQ(fs_file_size(part.c_str()), c.part_after);
        EXPECT_EQ(fs_is_file(sidecar.c_str()), c.sidecar_after ? 1 : 0);
        std::remove(part.c_str());
        std::remove(sidecar.c_str());
        client = new_http_client();
    }
}

// The sidecar stands before the part's first byte: a process that ends
// while the body arrives (a closed window, a kill) leaves a part the next
// start resumes. Once the file verified, neither is left.
TEST_F(Downloads, TheSidecarIsWrittenBeforeThePartGrows)
{
    ScriptedServer server(
        {send_step("HTTP/1.0 200 OK\r\nETag: \"v2\"\r\nContent-Length: 10\r\n\r\n"), wait_step(),
         send_step("0123456789"), close_step()});
    begin(server.url("/game.pak"), 0);
    const std::string part = entry->local_path + std::string(".partial");
    const std::string sidecar = part + ".meta";
    CatalogEntry* finished = nullptr;
    const std::int64_t deadline = clock_monotonic_ms() + 5000;
    while (!fs_is_file(sidecar.c_str()) && clock_monotonic_ms() < deadline) {
        download_step(&run, client.get(), &finished);
        http_wait(client.get(), 5);
    }
    EXPECT_NE(read_file(sidecar).find("validator \"v2\"\n"), std::string::npos);
    EXPECT_EQ(client->body_bytes, 0);
    EXPECT_EQ(fs_file_size(part.c_str()), 0);
    server.release();
    EXPECT_EQ(step_to_a_wait_or_end(), DOWNLOAD_DONE);
    server.finish();
    EXPECT_EQ(read_file(entry->local_path), "0123456789");
    EXPECT_FALSE(fs_exists(part.c_str()));
    EXPECT_FALSE(fs_exists(sidecar.c_str()));
}

// A name of 250 bytes takes the file system, but "<name>.partial.qblocks"
// would not: its part gets a short name of its own in the same folder,
// which a later try finds again, and no record may be named like it.
TEST_F(Downloads, ALongNameDownloadsThroughAShortPartOfItsOwn)
{
    const std::string name(250, 'n');
    std::snprintf(entry->file_name, sizeof entry->file_name, "maps/%s", name.c_str());
    std::snprintf(entry->local_path, sizeof entry->local_path, "%s/maps/%s", dir.c_str(),
                  name.c_str());
    EXPECT_NE(catalog_name_problem("maps/~0123456789abcdef"), nullptr);
    EXPECT_NE(catalog_name_problem("~0123456789ABCDEF"), nullptr);
    EXPECT_EQ(catalog_name_problem("~0123456789abcde"), nullptr);
    const std::string etag_head = "HTTP/1.0 200 OK\r\nETag: \"v1\"\r\nContent-Length: 10\r\n\r\n";
    ScriptedServer first({send_step(etag_head + "0123"), close_step()});
    begin(first.url("/game.pak"), 0);
    EXPECT_EQ(step_to_a_wait_or_end(), DOWNLOAD_RUNNING);
    first.finish();
    char part[CATALOG_TEXT_SIZE + 32];
    ASSERT_TRUE(catalog_part_path(entry->local_path, part, sizeof part));
    EXPECT_EQ(std::string(part).rfind(dir + "/maps/~", 0), 0u) << part;
    EXPECT_EQ(std::strlen(part) - std::strlen(dir.c_str()), std::strlen("/maps/~") + 16 + 8);
    EXPECT_EQ(fs_file_size(part), 4);
    EXPECT_TRUE(fs_is_file((std::string(part) + ".meta").c_str()));
    client = new_http_client();
    ScriptedServer next({send_step("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 4-9/10\r\n"
                                   "Content-Length: 6\r\n\r\n456789"),
                         close_step()});
    begin(next.url("/game.pak"), 1);
    EXPECT_EQ(step_to_a_wait_or_end(), DOWNLOAD_DONE);
    next.finish();
    EXPECT_NE(next.request().find("Range: bytes=4-"), std::string::npos) << next.request();
    EXPECT_EQ(read_file(entry->local_path), "0123456789");
    EXPECT_FALSE(fs_exists(part));
}

// A round ends stale only when every base answered 404 or 410: then the
// catalog is fetched again; the try counts and its wait is set all the same.
TEST_F(Downloads, EveryBaseAnsweringGoneAsksForTheCatalogAgain)
{
    const std::string gone = "HTTP/1.0 404 Not Found\r\n\r\nno";
    struct Case {
        const char* name;
        std::string mirror_reply;
        DownloadStep expected;
    };
    const Case cases[] = {
        {"404 from both", gone, DOWNLOAD_CATALOG_STALE},
        {"410 from the mirror", "HTTP/1.0 410 Gone\r\n\r\nno", DOWNLOAD_CATALOG_STALE},
        {"the mirror gives other bytes", "HTTP/1.0 200 OK\r\n\r\nabcdefghij", DOWNLOAD_RUNNING},
        {"the mirror fails", "HTTP/1.0 500 Oops\r\n\r\nno", DOWNLOAD_RUNNING},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer origin({send_step(gone), close_step()});
        ScriptedServer mirror({send_step(c.mirror_reply), close_step()});
        std::snprintf(entry->url_name, sizeof entry->url_name, "%s", "game.pak");
        begin(origin.url("/game.pak"), 0);
        DownloadBases bases = {2, {}};
        std::snprintf(bases.base[0], CATALOG_TEXT_SIZE, "%s", origin.url("").c_str());
        std::snprintf(bases.base[1], CATALOG_TEXT_SIZE, "%s", mirror.url("").c_str());
        run.bases = &bases;
        DownloadStep step = DOWNLOAD_RUNNING;
        CatalogEntry* finished = nullptr;
        const std::int64_t deadline = clock_monotonic_ms() + 5000;
        while (step == DOWNLOAD_RUNNING && run.tries == 0 && clock_monotonic_ms() < deadline) {
            step = download_step(&run, client.get(), &finished);
            http_wait(client.get(), 5);
        }
        origin.finish();
        mirror.finish();
        EXPECT_EQ(step, c.expected);
        EXPECT_EQ(run.tries, 1);
        EXPECT_GT(download_retry_in_ms(&run), 0);
        std::remove(entry->local_path);
        client = new_http_client();
    }
}

// What the pre-check counts: each flagged file whole, less what its part
// already holds, and the margins; the run stops before any request when the
// folder has less room.
TEST_F(Downloads, TheRoomNeededCountsPartsAndStopsARunThatDoesNotFit)
{
    const std::int64_t fixed = DOWNLOAD_SPACE_MARGIN + DOWNLOAD_SPACE_PER_FILE;
    EXPECT_EQ(download_space_needed(entry), fixed + 10);
    write_file(std::string(entry->local_path) + ".partial", "0123");
    EXPECT_EQ(download_space_needed(entry), fixed + 6);
    entry->update = 0;
    EXPECT_EQ(download_space_needed(entry), DOWNLOAD_SPACE_MARGIN);
    entry->update = 1;
    const std::int64_t free_bytes = fs_free_bytes(dir.c_str());
    ASSERT_GT(free_bytes, 0);
    entry->size = free_bytes + (16 << 20); // 16 MiB more than there is room for
    ScriptedServer never({close_step()});
    begin(never.url("/game.pak"), 0);
    CatalogEntry* finished = nullptr;
    EXPECT_EQ(download_step(&run, client.get(), &finished), DOWNLOAD_NO_SPACE);
    EXPECT_GE(run.space_missing, 16 << 20);
    EXPECT_FALSE(never.connection_waiting(100)) << "nothing is asked for";
    EXPECT_TRUE(fs_exists((std::string(entry->local_path) + ".partial").c_str()));
}

// Behind an https base only https mirrors are taken.
TEST(DownloadBasesFromACatalog, AnHttpsBaseSkipsPlainMirrors)
{
    const std::string dir = make_scratch_dir();
    const std::string catalog = dir + "/catalog.txt";
    write_file(catalog, "MIRROR http://plain.example/game\nMIRROR https://safe.example/game\n"
                        "FILE\na.dat\n1\n0\na.dat\n");
    for (const char* base : {"https://origin.example/game", "HTTPS://origin.example/game",
                             "http://origin.example/game"}) {
        SCOPED_TRACE(base);
        DownloadBases bases = {};
        CatalogEntry* head = update_catalog_load(catalog.c_str(), dir.c_str(), base, &bases);
        ASSERT_NE(head, nullptr);
        catalog_free(&head);
        const bool https = std::string(base).rfind("http://", 0) != 0;
        ASSERT_EQ(bases.count, https ? 2 : 3);
        EXPECT_STREQ(bases.base[0], base);
        EXPECT_STREQ(bases.base[bases.count - 1], "https://safe.example/game");
    }
}

} // namespace
