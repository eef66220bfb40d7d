// Some 400 raw replies of real-world shapes (from curl's test suite, in
// tests/data/http-replies), each served whole and then in small
// irregular pieces. The client's status, byte count and file are compared
// with a plain reading of the same bytes written here, apart from the
// client's code.
#include "net/http.h"
#include "tests/support/http_driver.h"
#include "tests/support/scripted_server.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <random>
#include <string>
#include <vector>

#ifndef QUORVEL_HTTP_REPLIES_DIR
#error "QUORVEL_HTTP_REPLIES_DIR must name the folder of recorded replies"
#endif

namespace {

struct Expected {
    int status;
    std::string body;
    // Whether the body file is made: not for a reply that fails before
    // its body starts.
    bool stored = true;
};

// A head line this long or longer (bytes before its line feed, or up to the
// close when it has none) is one the client can never read; the transfer
// then fails with -1 and no body.
constexpr std::size_t unreadable_line = 16380;

int leading_number(const std::string& token)
{
    std::size_t i = 0;
    while (i < token.size() && (token[i] == ' ' || (token[i] >= '\t' && token[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
        negative = token[i] == '-';
        ++i;
    }
    long long value = 0;
    while (i < token.size() && token[i] >= '0' && token[i] <= '9') {
        value = std::min(value * 10 + (token[i] - '0'), 10000000000LL);
        ++i;
    }
    value = negative ? -value : value;
    return static_cast<int>(
        std::clamp(value, static_cast<long long>(INT_MIN), static_cast<long long>(INT_MAX)));
}

std::string without_cr(const std::string& line)
{
    std::string kept;
    for (char c : line) {
        if (c != '\r') {
            kept += c;
        }
    }
    return kept;
}

// The first "Content-Length:" header (name in any case) holding a plain
// decimal number, or -1.
long long announced_length(const std::string& line)
{
    static const std::string name = "content-length:";
    if (line.size() < name.size()) {
        return -1;
    }
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) {
            return -1;
        }
    }
    const std::size_t first = line.find_first_not_of(" \t", name.size());
    if (first == std::string::npos || line[first] < '0' || line[first] > '9') {
        return -1;
    }
    std::size_t last = first;
    long long value = 0;
    while (last < line.size() && line[last] >= '0' && line[last] <= '9') {
        value = std::min(value * 10 + (line[last] - '0'), 100000000000LL);
        ++last;
    }
    return line.find_first_not_of(" \t", last) == std::string::npos ? value : -1;
}

// The reading the client must give: the status is the leading number of the
// token after the first space of the first line (the line read as text, so
// up to a zero byte); header lines are skipped up to the first line that is
// empty once its CRs are gone; the body is every byte after that line. A
// reply that ends inside its head fails with no body (and no file); so does one announcing
// a body past the largest a file may be, and one whose head (through its
// empty line) is longer than HTTP_HEAD_LIMIT. A body shorter than its
// Content-Length fails (status -1) with the bytes that came.
Expected reference_reading(const std::string& reply)
{
    std::size_t end = reply.find('\n');
    if (end == std::string::npos) {
        return {-1, "", false};
    }
    if (end >= unreadable_line) {
        return {-1, "", false};
    }
    std::string first = without_cr(reply.substr(0, end));
    first = first.substr(0, first.find('\0'));
    int status = 0;
    const std::size_t space = first.find(' ');
    if (space != std::string::npos) {
        const std::string rest = first.substr(space + 1);
        status = leading_number(rest.substr(0, rest.find(' ')));
    }
    const bool has_body = !(status >= 100 && status < 200) && status != 204 && status != 304;
    long long length = -1;
    std::size_t start = end + 1;
    for (;;) {
        end = reply.find('\n', start);
        if (end == std::string::npos) {
            return {-1, "", false};
        }
        if (end - start >= unreadable_line || end + 1 > HTTP_HEAD_LIMIT) {
            return {-1, "", false};
        }
        const std::string line = without_cr(reply.substr(start, end - start));
        if (line.empty()) {
            const std::string body = reply.substr(end + 1);
            if (has_body && length > INT_MAX) {
                return {-1, "", false};
            }
            if (has_body && length >= 0 && static_cast<long long>(body.size()) < length) {
                return {-1, body};
            }
            return {status, body};
        }
        if (length < 0) {
            length = announced_length(line.substr(0, line.find('\0')));
        }
        start = end + 1;
    }
}

void list_reply(const char* name, int is_dir, void* context)
{
    const std::string text = name;
    if (!is_dir && text.size() > 4 && text.compare(text.size() - 4, 4, ".bin") == 0) {
        static_cast<std::vector<std::string>*>(context)->push_back(text);
    }
}

std::vector<std::string> reply_names()
{
    std::vector<std::string> names;
    fs_list_dir(QUORVEL_HTTP_REPLIES_DIR, list_reply, &names);
    std::sort(names.begin(), names.end());
    return names;
}

// Small pieces through the head, then larger ones; a short pause now and
// then, so that the client really meets lines cut at many places.
std::vector<ServerStep> in_pieces(const std::string& reply, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<ServerStep> steps;
    std::size_t at = 0;
    int count = 0;
    while (at < reply.size()) {
        const std::size_t most = at < 4096 ? 29 : 7000;
        const std::size_t size = std::min<std::size_t>(reply.size() - at, 1 + rng() % most);
        steps.push_back(send_step(reply.substr(at, size)));
        at += size;
        if (++count % 16 == 0 && at < 4096) {
            steps.push_back(pause_step(1));
        }
    }
    steps.push_back(close_step());
    return steps;
}

TEST(HttpReplies, ReferenceReadingOfKnownShapes)
{
    EXPECT_EQ(reference_reading("HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody").body, "body");
    EXPECT_EQ(reference_reading("HTTP/1.1 404 x\n\r\r\n\nz").status, 404);
    EXPECT_EQ(reference_reading("HTTP/1.1 404 x\n\r\r\n\nz").body, "\nz");
    EXPECT_EQ(reference_reading("no line feed").status, -1);
    EXPECT_EQ(reference_reading("HTTP/1.1 302 x\r\nA: b").status, -1);
    EXPECT_EQ(reference_reading("HTTP/1.1 302 x\r\nA: b").body, "");
    EXPECT_EQ(reference_reading("HTTP/1.1 200 x\r\nContent-length: 5\r\n\r\n1234").status, -1);
    EXPECT_EQ(reference_reading("HTTP/1.1 200 x\r\nContent-length: 5\r\n\r\n1234").body, "1234");
    EXPECT_EQ(reference_reading("HTTP/1.1 " + std::string(20000, '1') + "\n\n").status, -1);
}

TEST(HttpReplies, EveryReplyWholeAndInPieces)
{
    const std::vector<std::string> names = reply_names();
    // The folder must be there: a missing folder is a broken checkout, not a
    // reason to pass.
    ASSERT_GE(names.size(), 300u) << "replies not found in " << QUORVEL_HTTP_REPLIES_DIR;

    const std::string out = make_scratch_dir() + "/body.bin";
    for (std::size_t n = 0; n < names.size(); ++n) {
        const std::string reply = read_file(std::string(QUORVEL_HTTP_REPLIES_DIR) + "/" + names[n]);
        ASSERT_NE(reply, "<missing>") << names[n];
        const Expected expected = reference_reading(reply);
        for (int pieces = 0; pieces < 2; ++pieces) {
            SCOPED_TRACE(names[n] + (pieces ? " in pieces" : " whole"));
            ScriptedServer server(pieces ? in_pieces(reply, static_cast<unsigned>(n))
                                         : std::vector<ServerStep>{send_step(reply), close_step()});
            auto client = new_http_client();
            // Their redirects name hosts of other tests' worlds: none is
            // followed here (following is tested on loopback servers).
            client->redirect_limit = 0;
            std::remove(out.c_str()); // a reply failing before its body makes no file
            ASSERT_EQ(http_get_to_file(client.get(), server.url("/reply").c_str(), out.c_str()), 1);
            ASSERT_TRUE(poll_to_end(client.get()));
            server.finish();
            EXPECT_EQ(client->status_code, expected.status);
            EXPECT_EQ(client->body_bytes, static_cast<std::int64_t>(expected.body.size()));
            const std::string written = read_file(out);
            EXPECT_TRUE(written == (expected.stored ? expected.body : "<missing>"))
                << "file holds " << written.size() << " bytes, expected " << expected.body.size();
        }
    }
}

} // namespace
