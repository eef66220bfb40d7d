// The update rules as the launcher and quorvelctl sync drive them, against
// scripted servers on 127.0.0.1.
#include "tests/support/http_driver.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_files.h"
#include "update/update_core.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(update_fetch_end(client.get(), temporary.c_str(), catalog.c_str()), 1);
    EXPECT_EQ(read_file(catalog), in_place);
    EXPECT_FALSE(fs_exists(temporary.c_str()));

    DownloadRun run = {};
    download_begin(&run, client.get(), nullptr, dir.c_str(), 0);
    EXPECT_EQ(client->time_limit_ms, 0);
}

} // namespace
