#include "tests/support/test_files.h"
#include "update/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(Settings, ReadsKeysSkipsWhatItCannotTakeAndChoosesTheProxy)
{
    const std::string dir = make_scratch_dir();
    const std::string path = dir + "/" + SETTINGS_FILE_NAME;
    UpdateSettings settings;
    EXPECT_EQ(settings_load(path.c_str(), &settings), 1); // missing: no settings
    EXPECT_EQ(settings.max_rate_kib, 0);
    EXPECT_EQ(settings.has_proxy, 0);

    write_file(path, "# a comment\r\n[launcher]\n\n  max_rate_kib =  512  \r\n"
                     "proxy = http://u:p@127.0.0.1:3128\ncolour = blue\nmax_rate_kib = -5\n"
                     "max_rate_kib = 99999999999999\nno equals sign\n");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(settings_load(path.c_str(), &settings), 1);
    const std::string messages = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(settings.max_rate_kib, 512);
    EXPECT_STREQ(settings.proxy, "http://u:p@127.0.0.1:3128");
    EXPECT_NE(messages.find("line 6 left out: unknown key"), std::string::npos) << messages;
    EXPECT_NE(messages.find("line 7 left out: max_rate_kib"), std::string::npos) << messages;
    EXPECT_NE(messages.find("line 8 left out: max_rate_kib"), std::string::npos) << messages;
    EXPECT_NE(messages.find("line 9 left out: no"), std::string::npos) << messages;

    // The file's proxy wins over the system's; an empty value means none.
    setenv("http_proxy", "http://127.0.0.1:9", 1);
    setenv("no_proxy", "localhost", 1);
    HttpProxy proxy;
    ASSERT_EQ(settings_proxy(&settings, 0, &proxy), 1);
    EXPECT_EQ(proxy.port, 3128);
    EXPECT_EQ(http_proxy_serves(&proxy, "localhost"), 0);
    settings.proxy[0] = '\0';
    EXPECT_EQ(settings_proxy(&settings, 0, &proxy), 0);
    settings.has_proxy = 0;
    ASSERT_EQ(settings_proxy(&settings, 0, &proxy), 1);
    EXPECT_EQ(proxy.port, 9);
    EXPECT_EQ(settings_proxy(&settings, 1, &proxy), 0) << "https has a variable of its own";
    setenv("https_proxy", "http://127.0.0.1:8", 1);
    ASSERT_EQ(settings_proxy(&settings, 1, &proxy), 1);
    EXPECT_EQ(proxy.port, 8);
    unsetenv("https_proxy");
    unsetenv("http_proxy");
    unsetenv("no_proxy");
    EXPECT_EQ(settings_proxy(&settings, 0, &proxy), 0);
}
