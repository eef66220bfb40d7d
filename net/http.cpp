#include "net/http.h"

#include "net/http_internal.h"
#include "net/http_route.h"
#include "net/socket_buffers.h"
#include "platform/tls.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr int HTTP_PIECE_SIZE = 128;
constexpr int HTTP_DEFAULT_PORT = 80;
constexpr int HTTPS_DEFAULT_PORT = 443;
// The longest status or header line read (bytes before its line feed). The
// receive refuses to read once response_data holds HTTP_BUFFER_SIZE - 4
// bytes, so a longer line may never see its line feed; whether it does
// depends on how its bytes happen to arrive. Every longer line therefore
// fails the transfer, taken or not.
constexpr int HTTP_LONGEST_LINE = HTTP_BUFFER_SIZE - 5;

void copy_text(char* to, const char* from, int size)
{
    std::size_t n = std::strlen(from);
    if (n > static_cast<std::size_t>(size - 1)) {
        n = static_cast<std::size_t>(size - 1);
    }
    std::memmove(to, from, n);
    to[n] = '\0';
}

int fits(const char* text, int size)
{
    return std::strlen(text) < static_cast<std::size_t>(size) ? 1 : 0;
}

// Like http_take_line; also tells how many bytes the line held before its
// line feed (raw_length) and after the carriage returns left it (length).
int take_line_measured(char* data, int* length, char* line, int* raw_length, int* line_length)
{
    const void* found = std::memchr(data, '\n', static_cast<std::size_t>(*length));
    if (found == nullptr) {
        return 0;
    }
    const int raw = static_cast<int>(static_cast<const char*>(found) - data);
    int kept = 0;
    for (int i = 0; i < raw; ++i) {
        if (data[i] != '\r') {
            line[kept++] = data[i];
        }
    }
    line[kept] = '\0';
    const int rest = *length - raw - 1;
    std::memmove(data, data + raw + 1, static_cast<std::size_t>(rest));
    *length = rest;
    if (raw_length != nullptr) {
        *raw_length = raw;
    }
    if (line_length != nullptr) {
        *line_length = kept;
    }
    return 1;
}

// Body files write through a large stdio buffer so that a 16 KiB receive
// does not cost a system call of its own: one write per WRITE_BUFFER_SIZE
// bytes instead. The buffers are static (no heap), one per file open at a
// time; a file that finds none free keeps the runtime's default buffer.
constexpr int WRITE_BUFFER_SIZE = 256 * 1024;
constexpr int WRITE_BUFFER_COUNT = 2;
struct WriteBuffers {
    const std::FILE* owner[WRITE_BUFFER_COUNT];
    char bytes[WRITE_BUFFER_COUNT][WRITE_BUFFER_SIZE];
};
WriteBuffers write_buffers;

void attach_write_buffer(std::FILE* file)
{
    if (file == nullptr) {
        return;
    }
    for (int i = 0; i < WRITE_BUFFER_COUNT; ++i) {
        if (write_buffers.owner[i] == nullptr) {
            if (std::setvbuf(file, write_buffers.bytes[i], _IOFBF, WRITE_BUFFER_SIZE) == 0) {
                write_buffers.owner[i] = file;
            }
            return;
        }
    }
}

// Closes a body file and frees its buffer for the next one. 0 when every
// buffered byte reached the file. The flush is asked for on its own: some
// runtimes' fclose (Wine's msvcrt among them) do not report a flush that
// failed.
int close_body_file(std::FILE* file)
{
    int slot = -1;
    for (int i = 0; i < WRITE_BUFFER_COUNT; ++i) {
        if (write_buffers.owner[i] == file) {
            slot = i;
        }
    }
    int status = std::fflush(file) == 0 && std::ferror(file) == 0 ? 0 : -1;
    if (std::fclose(file) != 0) {
        status = -1;
    }
    if (slot >= 0) {
        write_buffers.owner[slot] = nullptr;
    }
    return status;
}

// Closes the connection's TLS session (when it has one) and its socket.
void drop_socket(HttpClient* client)
{
    tls_close(client->tls);
    client->tls = nullptr;
    net_close(client->socket_handle);
}

// The closing step: a socket error marks the transfer failed; an orderly
// close by the peer leaves status_code alone.
void close_connection(HttpClient* client, int failed)
{
    if (failed) {
        client->status_code = -1;
        client->failure = HTTP_FAILED_IO;
    }
    drop_socket(client);
    client->connected = 0;
}

// Ends a transfer that cannot go on: the connection is dropped, what is
// left unread is thrown away, and the next poll reports completion.
void abandon_transfer(HttpClient* client, HttpFailure failure)
{
    client->status_code = -1;
    client->failure = failure;
    if (client->connected != 0) {
        drop_socket(client);
        client->connected = 0;
    }
    client->response_len = 0;
}

// Whether a 206's head gives exactly what was asked: a Content-Range from
// range_from (to range_to - 1 for a span, of expected_total bytes when that
// is known), and a Content-Length, when there is one, of that range's
// length. A multipart/byteranges reply has no Content-Range of its own.
int range_reply_fits(const HttpClient* client)
{
    return client->range_start == client->range_from &&
           (client->range_to <= 0 || client->range_end == client->range_to - 1) &&
           (client->expected_total < 0 || client->range_total == client->expected_total) &&
           (client->content_length < 0 ||
            client->content_length == client->range_end - client->range_start + 1);
}

// Opens the body's file when the body starts, replacing what stood there.
// Only a reply that got this far replaces it: one that failed sooner
// (refused, silent, cut in its head) leaves the old file whole. A transfer
// that asked for the rest of a file appends a 206 for exactly that rest
// (one that is not was refused with its head), starts again on a 200, and
// stores no other reply's body.
void open_body_file(HttpClient* client)
{
    std::FILE* file = nullptr;
    const int asked_range = client->range_from > 0 || client->range_to > 0;
    if (asked_range && client->status_code == 206) {
        file = fs_open_append(client->out_path);
    } else if (asked_range && client->status_code != 200) {
        client->out_path[0] = '\0'; // an error page: the part kept stays whole
        return;
    } else {
        file = std::fopen(client->out_path, "wb");
    }
    client->out_path[0] = '\0';
    if (file == nullptr) {
        abandon_transfer(client, HTTP_FAILED_WRITE);
        return;
    }
    attach_write_buffer(file);
    client->out_file = file;
    if (client->body_starts != nullptr) {
        client->body_starts(client, client->body_starts_context);
    }
}

// A server that accepts and then says nothing, one that sends a byte now
// and then, and one that sends without end at any pace must not hold the
// caller forever. Every limit counts real time, not the wall clock.
void check_time_limits(HttpClient* client, int bytes_arrived)
{
    const std::int64_t now = clock_monotonic_ms();
    if (bytes_arrived) {
        client->last_activity_ms = now;
    }
    if (client->connected == 0) {
        return;
    }
    if (now - client->last_activity_ms > client->idle_timeout_ms) {
        abandon_transfer(client, HTTP_FAILED_SILENT);
    } else if (client->time_limit_ms > 0 && now - client->started_ms > client->time_limit_ms) {
        abandon_transfer(client, HTTP_FAILED_TIME);
    } else if (client->low_rate_window_ms > 0 &&
               now - client->window_start_ms >= client->low_rate_window_ms) {
        if (client->window_bytes < client->low_rate_bytes) {
            abandon_transfer(client, HTTP_FAILED_SLOW);
        }
        client->window_start_ms = now;
        client->window_bytes = 0;
    }
}

void read_status_line(HttpClient* client, char* line)
{
    // The version and reason phrase are kept cut to their 128-byte pieces;
    // the code token is read in place, whole, so a long token still gives
    // its number.
    char version[HTTP_PIECE_SIZE];
    char reason[HTTP_PIECE_SIZE];
    text_split(line, " ", version, sizeof version, line, HTTP_BUFFER_SIZE);
    text_split(line, " ", line, HTTP_BUFFER_SIZE, reason, sizeof reason);
    client->status_code = text_to_int(line);
    client->reply_status = client->status_code;
}

// The value of a "Content-Length:" header line (name in any case), or -1
// for any other line and for a value that is not a plain decimal number.
std::int64_t content_length_of(const char* line)
{
    static const char name[] = "content-length:";
    for (int i = 0; name[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) {
            return -1;
        }
    }
    const char* c = line + sizeof name - 1;
    while (*c == ' ' || *c == '\t') {
        ++c;
    }
    if (*c < '0' || *c > '9') {
        return -1;
    }
    std::int64_t value = 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        // Past 63 bits the length is held at the largest value: more than
        // any body limit, never a wrapped small one.
        value = value <= (INT64_MAX - 9) / 10 ? value * 10 + (*c - '0') : INT64_MAX;
    }
    while (*c == ' ' || *c == '\t') {
        ++c;
    }
    return *c == '\0' ? value : -1;
}

// The value of a header line named name (lower case, with its colon) with
// blanks around it removed, or null when the line has another name.
const char* header_value(const char* line, const char* name)
{
    for (int i = 0; name[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) {
            return nullptr;
        }
    }
    const char* value = line + std::strlen(name);
    while (*value == ' ' || *value == '\t') {
        ++value;
    }
    return value;
}

void copy_value(char* to, const char* value, int size)
{
    std::size_t n = std::strlen(value);
    while (n > 0 && (value[n - 1] == ' ' || value[n - 1] == '\t')) {
        --n;
    }
    if (n >= static_cast<std::size_t>(size)) {
        to[0] = '\0'; // cut, it would name another thing
        return;
    }
    std::memcpy(to, value, n);
    to[n] = '\0';
}

// "bytes START-END/TOTAL" into the client (-1 for what it does not give).
void read_content_range(HttpClient* client, const char* value)
{
    long long start = -1;
    long long end = -1;
    long long total = -1;
    char total_text[32] = "";
    if (std::sscanf(value, "bytes %lld-%lld/%31s", &start, &end, total_text) == 3 && start >= 0 &&
        end >= start) {
        client->range_start = start;
        client->range_end = end;
        if (std::sscanf(total_text, "%lld", &total) == 1 && total > end) {
            client->range_total = total;
        }
    }
}

int text_is_identity(const char* value)
{
    static const char identity[] = "identity";
    int i = 0;
    for (; identity[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(value[i])) != identity[i]) {
            return 0;
        }
    }
    return value[i] == '\0' || value[i] == ' ' || value[i] == '\t';
}

// Keeps what resume and redirects need of one header line.
void read_header(HttpClient* client, const char* line)
{
    const char* value = nullptr;
    if ((value = header_value(line, "location:")) != nullptr) {
        copy_value(client->location, value, HTTP_TEXT_SIZE);
    } else if ((value = header_value(line, "content-range:")) != nullptr) {
        read_content_range(client, value);
    } else if ((value = header_value(line, "transfer-encoding:")) != nullptr) {
        client->coded_body = text_is_identity(value) ? client->coded_body : 1;
    } else if ((value = header_value(line, "etag:")) != nullptr) {
        // A weak ETag may not stand in If-Range; Last-Modified then serves.
        if (value[0] == '"') {
            copy_value(client->validator, value, HTTP_VALIDATOR_SIZE);
        }
    } else if ((value = header_value(line, "last-modified:")) != nullptr &&
               client->validator[0] != '"') {
        copy_value(client->validator, value, HTTP_VALIDATOR_SIZE);
    }
}

int is_redirect(int status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Replies to a GET that carry no body whatever their headers say.
int status_has_body(int status)
{
    return !(status >= 100 && status < 200) && status != 204 && status != 304;
}

// The end of a transfer once its connection is gone and every byte read:
// a reply cut short anywhere before the end of what it announced has failed.
void finish_transfer(HttpClient* client)
{
    client->active = 0;
    if (client->status_code != -1) {
        if (client->transfer_state == HTTP_STATUS_LINE || client->transfer_state == HTTP_HEADERS) {
            client->status_code = -1;
            client->failure = HTTP_FAILED_HEAD;
        } else if ((client->content_length >= 0 && status_has_body(client->status_code) &&
                    client->body_received < client->content_length) ||
                   (client->status_code == 206 && client->range_start >= 0 &&
                    client->body_received < client->range_end - client->range_start + 1)) {
            // A 206 with no length that closes before its range's end is
            // cut short as well.
            client->status_code = -1;
            client->failure = HTTP_FAILED_SHORT_BODY;
        } else if (client->tls_cut && client->content_length < 0 &&
                   status_has_body(client->status_code)) {
            // Over TLS only the closing message ends such a body whole: a
            // bare TCP close could have cut it inside a line.
            std::fprintf(stderr,
                         "https: %.200s: the connection closed without TLS's closing message: "
                         "the reply may be cut\n",
                         client->host_name);
            client->status_code = -1;
            client->failure = HTTP_FAILED_SHORT_BODY;
        }
    }
    if (client->out_file != nullptr) {
        // The last buffered bytes reach the disk here: a file that could
        // not be completed (a full disk) must not pass for a good body.
        if (close_body_file(client->out_file) != 0) {
            client->status_code = -1;
            client->failure = HTTP_FAILED_WRITE;
        }
        client->out_file = nullptr;
    }
}

} // namespace

int text_split(const char* input, const char* separator, char* before, int before_size, char* after,
               int after_size)
{
    if (before_size <= 0 || after_size <= 0) {
        return 0;
    }
    const char* found = separator[0] != '\0' ? std::strstr(input, separator) : nullptr;
    const std::size_t input_length = std::strlen(input);
    std::size_t before_length =
        found != nullptr ? static_cast<std::size_t>(found - input) : input_length;
    const char* after_start =
        found != nullptr ? found + std::strlen(separator) : input + input_length;
    std::size_t after_length = std::strlen(after_start);
    if (before_length > static_cast<std::size_t>(before_size - 1)) {
        before_length = static_cast<std::size_t>(before_size - 1);
    }
    if (after_length > static_cast<std::size_t>(after_size - 1)) {
        after_length = static_cast<std::size_t>(after_size - 1);
    }
    // Whichever part lives in the input's own buffer is written last, once
    // the other part has been read out of it.
    if (after == input) {
        std::memmove(before, input, before_length);
        before[before_length] = '\0';
        std::memmove(after, after_start, after_length);
        after[after_length] = '\0';
    } else {
        std::memmove(after, after_start, after_length);
        after[after_length] = '\0';
        std::memmove(before, input, before_length);
        before[before_length] = '\0';
    }
    return found != nullptr ? 1 : 0;
}

void text_to_upper(char* text)
{
    for (; *text != '\0'; ++text) {
        *text = static_cast<char>(std::toupper(static_cast<unsigned char>(*text)));
    }
}

int text_to_int(const char* text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') {
        ++text;
    }
    std::int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        if (value <= INT32_MAX) {
            value = value * 10 + (*text - '0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int>(value);
}

int http_take_line(char* data, int* length, char* line)
{
    return take_line_measured(data, length, line, nullptr, nullptr);
}

int http_parse_url(const char* url, char* host_name, int* port, char* request_path)
{
    // A URL longer than the record's fields is refused rather than cut: a cut
    // URL would fetch some other file.
    if (!fits(url, HTTP_TEXT_SIZE)) {
        return 0;
    }
    char scheme[HTTP_TEXT_SIZE];
    char address[HTTP_TEXT_SIZE];
    text_split(url, "://", scheme, sizeof scheme, address, sizeof address);
    int default_port = HTTP_DEFAULT_PORT;
    if (address[0] != '\0') {
        text_to_upper(scheme);
        if (std::strcmp(scheme, "HTTPS") == 0) {
            default_port = HTTPS_DEFAULT_PORT;
        } else if (std::strcmp(scheme, "HTTP") != 0) {
            return 0;
        }
    } else {
        copy_text(address, url, sizeof address);
    }

    char host_and_port[HTTP_TEXT_SIZE];
    char tail[HTTP_TEXT_SIZE];
    text_split(address, "/", host_and_port, sizeof host_and_port, tail, sizeof tail);
    char port_text[HTTP_TEXT_SIZE];
    // A port that is not plain digits in range is refused, not read as
    // far as it goes: ":114457" or ":48921abc" would reach another server.
    char host[HTTP_TEXT_SIZE];
    const int has_port =
        text_split(host_and_port, ":", host, sizeof host, port_text, sizeof port_text);
    int parsed_port = default_port;
    if (has_port && !http_parse_port(port_text, std::strlen(port_text), &parsed_port)) {
        return 0;
    }
    copy_text(host_name, host, HTTP_TEXT_SIZE);
    *port = parsed_port;
    // The address holds at least the host and a "/" ahead of the tail, so
    // "/" and the tail always fit.
    request_path[0] = '/';
    copy_text(request_path + 1, tail, HTTP_TEXT_SIZE - 1);
    return 1;
}

namespace {

// The GET request's head with extra header lines (each ending in CR LF)
// before the empty line that ends it; snprintf's result.
int format_head(char* out, int size, const char* request_path, const char* host_name,
                const char* user_agent, const char* extra, const char* version = "HTTP/1.0")
{
    return std::snprintf(out, static_cast<std::size_t>(size),
                         "GET %s %s\r\nHost: %s\r\nAccept: */*\r\nConnection: "
                         "close\r\nUser-Agent: %s\r\n%s\r\n",
                         request_path, version, host_name, user_agent, extra);
}

} // namespace

int http_format_request(char* out, int size, const char* request_path, const char* host_name,
                        const char* user_agent)
{
    if (size <= 0) {
        return 0;
    }
    const int length = format_head(out, size, request_path, host_name, user_agent, "");
    if (length < 0) {
        out[0] = '\0';
        return 0;
    }
    return length < size ? length : size - 1;
}

void http_init(HttpClient* client)
{
    client->response_len = 0;
    client->request_pending = 0;
    client->active = 0;
    client->connected = 0;
    client->status_code = 0;
    client->reply_status = 0;
    client->transfer_state = HTTP_IDLE;
    copy_text(client->user_agent, "HTTP-Client", HTTP_USER_AGENT_SIZE);
    client->url[0] = '\0';
    client->host_name[0] = '\0';
    client->request_path[0] = '\0';
    client->port = 0;
    client->out_path[0] = '\0';
    client->out_file = nullptr;
    client->body_bytes = 0;
    client->body_received = 0;
    client->content_length = -1;
    client->failure = HTTP_FAILED_NONE;
    client->body_limit = HTTP_BODY_LIMIT;
    client->connect_timeout_ms = HTTP_CONNECT_TIMEOUT_MS;
    client->idle_timeout_ms = HTTP_IDLE_TIMEOUT_MS;
    client->time_limit_ms = 0;
    client->low_rate_window_ms = HTTP_LOW_RATE_WINDOW_MS;
    client->low_rate_bytes = HTTP_LOW_RATE_BYTES;
    client->started_ms = 0;
    client->last_activity_ms = 0;
    client->window_start_ms = 0;
    client->window_bytes = 0;
    client->head_bytes = 0;
    client->range_from = 0;
    client->range_to = 0;
    client->expected_total = -1;
    client->if_range[0] = '\0';
    client->validator[0] = '\0';
    client->range_start = -1;
    client->range_end = -1;
    client->coded_body = 0;
    client->range_total = -1;
    client->location[0] = '\0';
    client->redirects = 0;
    client->redirect_limit = HTTP_REDIRECT_LIMIT;
    client->proxy = nullptr;
    client->rate_limit = nullptr;
    client->via_proxy = 0;
    client->secure_proxy = nullptr;
    client->secure = 0;
    client->tls = nullptr;
    client->tls_failure[0] = '\0';
    client->body_starts = nullptr;
    client->body_starts_context = nullptr;
    client->tls_cut = 0;
}

void http_set_user_agent(HttpClient* client, const char* text)
{
    // Text longer than the field is refused and the previous agent kept: a
    // cut header would still be sent as if it were whole.
    if (text != nullptr && fits(text, HTTP_USER_AGENT_SIZE)) {
        copy_text(client->user_agent, text, HTTP_USER_AGENT_SIZE);
    }
}

int http_url_is_https(const char* url)
{
    static const char scheme[] = "https://";
    for (int i = 0; scheme[i] != '\0'; ++i) {
        if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) {
            return 0;
        }
    }
    return 1;
}

namespace {

// A handshake that cannot go on: one line on the error stream says why,
// and the transfer fails as a failed fetch.
void tls_refused(HttpClient* client, const char* host_name, const char* why)
{
    copy_text(client->tls_failure, why, sizeof client->tls_failure);
    std::fprintf(stderr, "https: %.200s: %s\n", host_name, why);
    client->status_code = -1;
    client->failure = HTTP_FAILED_TLS;
}

// The TLS session over the connected socket; the handshake follows in the
// polls. 0 when no session could be made (the transfer has then failed).
int begin_tls(HttpClient* client, const char* host_name)
{
    client->tls = tls_open(client->socket_handle, host_name);
    if (client->tls == nullptr) {
        tls_refused(client, host_name, tls_open_failure());
        return 0;
    }
    client->transfer_state = HTTP_HANDSHAKE;
    return 1;
}

} // namespace

int http_start(HttpClient* client, const char* url)
{
    // A start while a transfer is under way is refused: it would lose the
    // open socket and output file.
    if (client->active != 0) {
        return 0;
    }
    char host_name[HTTP_TEXT_SIZE];
    char request_path[HTTP_TEXT_SIZE];
    int port = 0;
    if (!http_parse_url(url, host_name, &port, request_path)) {
        return 0;
    }

    client->connected = 0;
    client->failure = HTTP_FAILED_NONE;
    client->content_length = -1;
    client->body_received = 0;
    client->reply_status = 0;
    client->head_bytes = 0;
    client->validator[0] = '\0';
    client->range_start = -1;
    client->range_end = -1;
    client->range_total = -1;
    client->coded_body = 0;
    client->location[0] = '\0';
    client->secure = http_url_is_https(url);
    client->tls = nullptr;
    client->tls_failure[0] = '\0';
    client->tls_cut = 0;
    const HttpProxy* proxy = client->secure ? client->secure_proxy : client->proxy;
    client->via_proxy = proxy != nullptr && http_proxy_serves(proxy, host_name);
    if (client->redirects == 0) {
        client->started_ms = clock_monotonic_ms();
    }
    client->socket_handle = net_socket();
    client->transfer_state = HTTP_CONNECTING;
    // The connection is made without blocking and waited for with a bound:
    // a server that drops connection attempts must not hold the caller for
    // the system's minutes of retries.
    if (client->socket_handle == NET_INVALID_SOCKET ||
        net_set_nonblocking(client->socket_handle) != 0 ||
        !net_connect(client->socket_handle, client->via_proxy ? proxy->host : host_name,
                     client->via_proxy ? proxy->port : port) ||
        !net_connect_wait(client->socket_handle, client->connect_timeout_ms)) {
        if (client->socket_handle != NET_INVALID_SOCKET) {
            net_close(client->socket_handle);
        }
        client->active = 0;
        client->status_code = -1;
        client->failure = HTTP_FAILED_CONNECT;
        return 0;
    }
    client->active = 1;
    client->connected = 1;
    client->last_activity_ms = clock_monotonic_ms();
    client->window_start_ms = client->last_activity_ms;
    client->window_bytes = 0;
    client->transfer_state = HTTP_STATUS_LINE;
    client->response_len = 0;
    client->request_pending = 0;
    if (client->secure && client->via_proxy) {
        client->transfer_state = HTTP_TUNNEL; // CONNECT first, TLS inside
    } else if (client->secure && !begin_tls(client, host_name)) {
        net_close(client->socket_handle);
        client->active = 0;
        client->connected = 0;
        return 0;
    }
    copy_text(client->url, url, HTTP_TEXT_SIZE);
    copy_text(client->host_name, host_name, HTTP_TEXT_SIZE);
    client->port = port;
    copy_text(client->request_path, request_path, HTTP_TEXT_SIZE);
    return 1;
}

namespace {

// The request for the started transfer: through a proxy the absolute URL,
// then the range asked for and the proxy's credentials when there are.
int format_full_request(HttpClient* client)
{
    char target[2 * HTTP_TEXT_SIZE + 32];
    // An https request goes through the proxy's tunnel as it would go to
    // the server itself.
    const int to_proxy = client->via_proxy && !client->secure;
    if (to_proxy) {
        char port[16] = "";
        if (client->port != HTTP_DEFAULT_PORT) {
            std::snprintf(port, sizeof port, ":%d", static_cast<int>(client->port));
        }
        const int n = std::snprintf(target, sizeof target, "http://%s%s%s", client->host_name, port,
                                    client->request_path);
        if (n <= 0 || n >= HTTP_TEXT_SIZE) {
            return 0; // a cut URL would ask for another file
        }
    } else {
        copy_text(target, client->request_path, sizeof target);
    }
    // The range asked for and the proxy's credentials; a request that does
    // not fit is refused rather than cut.
    char extra[HTTP_VALIDATOR_SIZE + HTTP_TEXT_SIZE + 160] = "";
    int used = 0;
    if (client->range_to > 0) {
        used += std::snprintf(extra, sizeof extra, "Range: bytes=%lld-%lld\r\n",
                              static_cast<long long>(client->range_from),
                              static_cast<long long>(client->range_to - 1));
    } else if (client->range_from > 0) {
        used += std::snprintf(extra, sizeof extra, "Range: bytes=%lld-\r\n",
                              static_cast<long long>(client->range_from));
    }
    if (client->range_from > 0 || client->range_to > 0) {
        if (client->if_range[0] != '\0') {
            used += std::snprintf(extra + used, sizeof extra - static_cast<std::size_t>(used),
                                  "If-Range: %s\r\n", client->if_range);
        }
    }
    if (to_proxy && client->proxy->authorization[0] != '\0') {
        std::snprintf(extra + used, sizeof extra - static_cast<std::size_t>(used),
                      "Proxy-Authorization: %s\r\n", client->proxy->authorization);
    }
    // A request for a range says HTTP/1.1: lighttpd answers Range in no
    // other. Such a request still closes after one reply, and a reply in
    // chunks is refused (nothing is stored).
    const int ranged = client->range_from > 0 || client->range_to > 0;
    const int length =
        format_head(client->request_text, HTTP_BUFFER_SIZE, target, client->host_name,
                    client->user_agent, extra, ranged ? "HTTP/1.1" : "HTTP/1.0");
    return length > 0 && length < HTTP_BUFFER_SIZE ? length : 0;
}

// The CONNECT request that opens a tunnel through the proxy to the https
// server, with the proxy's credentials when there are.
int format_connect(HttpClient* client)
{
    char authorization[HTTP_TEXT_SIZE + 32] = "";
    if (client->secure_proxy->authorization[0] != '\0') {
        std::snprintf(authorization, sizeof authorization, "Proxy-Authorization: %s\r\n",
                      client->secure_proxy->authorization);
    }
    const int length =
        std::snprintf(client->request_text, HTTP_BUFFER_SIZE,
                      "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\nUser-Agent: %s\r\n%s\r\n",
                      client->host_name, static_cast<int>(client->port), client->host_name,
                      static_cast<int>(client->port), client->user_agent, authorization);
    return length > 0 && length < HTTP_BUFFER_SIZE ? length : 0;
}

// Steps 1 to 3 shared by both GET operations.
int start_get(HttpClient* client, const char* url)
{
    if (!http_start(client, url)) {
        return 0;
    }
    client->request_pending = client->transfer_state == HTTP_TUNNEL ? format_connect(client)
                                                                    : format_full_request(client);
    client->status_code = 0;
    if (client->request_pending <= 0) {
        drop_socket(client);
        client->active = 0;
        client->connected = 0;
        client->status_code = -1;
        client->failure = HTTP_FAILED_CONNECT;
        return 0;
    }
    return 1;
}

// A redirect with a Location: the same request again at the target, on a
// new connection (which blocks as any start does). 0 when it cannot be
// followed: a sixth hop (a loop ends here too), a target that is not
// http://, or one that does not resolve.
int follow_redirect(HttpClient* client)
{
    char target[HTTP_TEXT_SIZE];
    if (client->redirects >= client->redirect_limit ||
        !http_resolve_location(client->url, client->location, target, sizeof target)) {
        return 0;
    }
    // http:// may lead to https://, never the other way: a server reached
    // over TLS does not hand its player to a link anyone could change.
    const int plain_target =
        std::strncmp(target, "http://", 7) == 0 || std::strncmp(target, "HTTP://", 7) == 0;
    if (!http_url_is_https(target) && !(plain_target && !client->secure)) {
        return 0;
    }
    drop_socket(client);
    client->connected = 0;
    client->active = 0;
    ++client->redirects;
    return start_get(client, target);
}

} // namespace

int http_get_to_file(HttpClient* client, const char* url, const char* output_path)
{
    return http_get_range_to_file(client, url, output_path, 0, "", -1);
}

int http_get_range_to_file(HttpClient* client, const char* url, const char* output_path,
                           std::int64_t range_from, const char* validator,
                           std::int64_t expected_total)
{
    return http_get_span_to_file(client, url, output_path, range_from, 0, validator,
                                 expected_total);
}

int http_get_span_to_file(HttpClient* client, const char* url, const char* output_path,
                          std::int64_t range_from, std::int64_t range_to, const char* validator,
                          std::int64_t expected_total)
{
    // Whether the path can be written is learnt before any connection, so
    // that one that cannot (a folder in its place, a running program) makes
    // no request. Opened for appending, an existing file loses nothing: it
    // is replaced only when a reply's body starts. A file the probe made is
    // removed again: a transfer that fails before its body leaves none.
    char host_name[HTTP_TEXT_SIZE];
    char request_path[HTTP_TEXT_SIZE];
    int port = 0;
    if (client->active != 0) {
        return 0;
    }
    if (!http_parse_url(url, host_name, &port, request_path)) {
        return 0;
    }
    const int path_fits = fits(output_path, HTTP_TEXT_SIZE);
    const int existed = path_fits && fs_exists(output_path);
    std::FILE* probe = path_fits ? std::fopen(output_path, "ab") : nullptr;
    const int writable = probe != nullptr && std::fclose(probe) == 0;
    if (probe != nullptr && !existed) {
        std::remove(output_path);
    }
    if (!writable) {
        client->status_code = 0;
        client->failure = HTTP_FAILED_FILE;
        return 0;
    }
    client->range_from = range_from > 0 ? range_from : 0;
    client->range_to = range_to > client->range_from ? range_to : 0;
    client->expected_total = expected_total;
    copy_text(client->if_range, fits(validator, HTTP_VALIDATOR_SIZE) ? validator : "",
              HTTP_VALIDATOR_SIZE);
    client->redirects = 0;
    client->body_starts = nullptr;
    if (!start_get(client, url)) {
        return 0;
    }
    copy_text(client->out_path, output_path, HTTP_TEXT_SIZE);
    client->out_file = nullptr;
    client->body_bytes = 0;
    return 1;
}

int http_get(HttpClient* client, const char* url)
{
    client->range_from = 0;
    client->range_to = 0;
    client->expected_total = -1;
    client->if_range[0] = '\0';
    client->redirects = 0;
    client->body_starts = nullptr;
    if (!start_get(client, url)) {
        return 0;
    }
    client->out_path[0] = '\0';
    client->out_file = nullptr;
    client->body_bytes = 0;
    return 1;
}

namespace {

// The connection's receive onto response_data, through TLS when it has it:
// 1 when bytes came or none were there, 0 when 4 bytes of room or fewer
// are left, -1 at an orderly close (over TLS a close without the closing
// message too, marked in tls_cut), -2 when the connection failed.
int receive_some(HttpClient* client, int capacity)
{
    if (client->tls == nullptr) {
        const int result = net_recv_append(client->socket_handle, client->response_data,
                                           &client->response_len, capacity, 0);
        return result == -1 ? (net_last_error() != 0 ? -2 : -1) : result;
    }
    if (!tls_pending(client->tls)) {
        const int readable = net_can_read(client->socket_handle, 0);
        if (readable <= 0) {
            return readable < 0 ? -2 : 1;
        }
    }
    if (client->response_len + 4 >= capacity) {
        return 0;
    }
    const int got = tls_recv_some(client->tls, client->response_data + client->response_len,
                                  capacity - client->response_len);
    if (got == TLS_CUT) {
        client->tls_cut = 1;
        return -1;
    }
    if (got < 0) {
        return got == TLS_CLOSED ? -1 : -2;
    }
    client->response_len += got;
    return 1;
}

// Sends what the socket (or TLS) takes of the pending request: -2 when the
// connection failed.
int send_some(HttpClient* client)
{
    if (client->tls == nullptr) {
        return net_send_pending(client->socket_handle, client->request_text,
                                &client->request_pending) == -1
                   ? -2
                   : 1;
    }
    const int taken = tls_send_some(client->tls, client->request_text, client->request_pending);
    if (taken < 0) {
        return -2;
    }
    std::memmove(client->request_text, client->request_text + taken,
                 static_cast<std::size_t>(client->request_pending - taken));
    client->request_pending -= taken;
    return 1;
}

// A proxy's answer to CONNECT: on 200 the tunnel is open and TLS starts in
// it; any other answer (407 included, kept in reply_status) fails the
// transfer as a connection that could not be made.
int poll_tunnel(HttpClient* client)
{
    if (client->request_pending > 0 && net_can_write(client->socket_handle, 0) != 0 &&
        send_some(client) == -2) {
        close_connection(client, 1);
    }
    const int before = client->response_len;
    if (client->connected != 0) {
        const int received = receive_some(client, HTTP_BUFFER_SIZE);
        if (received < 0) {
            abandon_transfer(client, HTTP_FAILED_CONNECT);
        }
        check_time_limits(client, client->response_len != before);
    }
    char line[HTTP_BUFFER_SIZE];
    while (client->connected != 0 &&
           http_take_line(client->response_data, &client->response_len, line)) {
        client->head_bytes += static_cast<std::int32_t>(std::strlen(line)) + 2;
        if (client->reply_status == 0) {
            const char* code = std::strchr(line, ' ');
            client->reply_status = code != nullptr ? text_to_int(code) : -1;
        } else if (line[0] == '\0') {
            if (client->reply_status != 200 || client->response_len != 0) {
                abandon_transfer(client, HTTP_FAILED_CONNECT);
                break;
            }
            client->reply_status = 0;
            client->head_bytes = 0;
            if (!begin_tls(client, client->host_name)) {
                drop_socket(client);
                client->connected = 0;
                break;
            }
            client->request_pending = format_full_request(client);
            return 1;
        }
    }
    if (client->connected != 0 && client->head_bytes + client->response_len > HTTP_HEAD_LIMIT) {
        abandon_transfer(client, HTTP_FAILED_CONNECT);
    }
    if (client->connected == 0) {
        if (client->failure == HTTP_FAILED_NONE) {
            client->status_code = -1;
            client->failure = HTTP_FAILED_CONNECT;
        }
        client->response_len = 0;
        client->active = 0;
        return 0;
    }
    return 1;
}

// The TLS handshake, a step each poll; the request follows once it is done.
int poll_handshake(HttpClient* client)
{
    const int result = tls_handshake(client->tls);
    if (result < 0) {
        tls_refused(client, client->host_name, tls_failure(client->tls));
        drop_socket(client);
        client->connected = 0;
        client->active = 0;
        return 0;
    }
    if (result == 0) {
        check_time_limits(client, 0);
        if (client->connected == 0) {
            client->active = 0;
            return 0;
        }
        return 1;
    }
    client->transfer_state = HTTP_STATUS_LINE;
    client->last_activity_ms = clock_monotonic_ms();
    client->window_start_ms = client->last_activity_ms;
    client->window_bytes = 0;
    return 1;
}

} // namespace

int http_poll(HttpClient* client)
{
    if (client->active == 0) {
        return 0;
    }
    if (client->transfer_state == HTTP_TUNNEL) {
        return poll_tunnel(client);
    }
    if (client->transfer_state == HTTP_HANDSHAKE) {
        return poll_handshake(client);
    }
    if (client->transfer_state == HTTP_CONNECTING) {
        if (net_can_write(client->socket_handle, 0) == 0) {
            return 1;
        }
        client->connected = 1;
        client->transfer_state = HTTP_STATUS_LINE;
    }

    if (client->connected != 0 && client->request_pending > 0 &&
        net_can_write(client->socket_handle, 0) != 0 && send_some(client) == -2) {
        close_connection(client, 1);
    }
    // net_recv_append makes its own readiness probe: no second one here.
    if (client->connected != 0) {
        const int before = client->response_len;
        // Under a rate limit a receive takes no more than the limit allows
        // now; the rest waits in the socket, and the sender slows with it.
        int capacity = HTTP_BUFFER_SIZE;
        if (client->rate_limit != nullptr) {
            const std::int64_t allowed = rate_limit_allowance(
                client->rate_limit, clock_monotonic_ms(), HTTP_BUFFER_SIZE - before - 4);
            capacity = allowed > 0 ? before + 4 + static_cast<int>(allowed) : 0;
        }
        const int received = capacity > 0 ? receive_some(client, capacity) : 1;
        if (received < 0) {
            close_connection(client, received == -2);
        }
        if (client->response_len != before) {
            client->window_bytes += client->response_len - before;
            if (client->rate_limit != nullptr) {
                rate_limit_spend(client->rate_limit, client->response_len - before);
            }
        }
        check_time_limits(client, client->response_len != before);
    }

    if (client->connected == 0 && client->response_len == 0) {
        finish_transfer(client);
        return 0;
    }

    char line[HTTP_BUFFER_SIZE];
    int raw_length = 0;
    int line_length = 0;
    int head_refused = 0;
    if (client->transfer_state == HTTP_STATUS_LINE &&
        take_line_measured(client->response_data, &client->response_len, line, &raw_length,
                           &line_length)) {
        client->head_bytes = raw_length + 1;
        head_refused = raw_length > HTTP_LONGEST_LINE;
        if (!head_refused) {
            read_status_line(client, line);
            client->transfer_state = HTTP_HEADERS;
        }
    }
    while (!head_refused && client->transfer_state == HTTP_HEADERS &&
           take_line_measured(client->response_data, &client->response_len, line, &raw_length,
                              &line_length)) {
        // Emptiness counts the bytes kept, not the text: a line holding a
        // zero byte is not empty. Lines taken one at a time never fill the
        // buffer, so the head as a whole has a limit of its own.
        client->head_bytes += raw_length + 1;
        if (raw_length > HTTP_LONGEST_LINE || client->head_bytes > HTTP_HEAD_LIMIT) {
            head_refused = 1;
        } else if (line_length == 0) {
            client->transfer_state = HTTP_BODY;
            if (client->range_to > 0 && client->status_code == 200) {
                // The whole file instead of a span of it.
                client->body_limit = client->expected_total + 1;
            } else if (client->range_from > 0 && client->status_code == 200) {
                // The whole file instead of its rest: the limit was the rest's.
                client->body_limit += client->range_from;
            }
        } else {
            if (client->content_length < 0) {
                client->content_length = content_length_of(line);
            }
            read_header(client, line);
        }
    }
    if (client->transfer_state == HTTP_BODY && is_redirect(client->status_code) &&
        client->location[0] != '\0' && client->redirect_limit > 0) {
        // Nothing of a redirect's body is stored: the file keeps its bytes.
        if (!follow_redirect(client)) {
            if (client->active != 0 || client->connected != 0) {
                abandon_transfer(client, HTTP_FAILED_REDIRECT);
            } else if (client->failure == HTTP_FAILED_NONE) {
                client->status_code = -1;
                client->failure = HTTP_FAILED_REDIRECT;
            }
            client->active = 0;
            client->out_path[0] = '\0';
            return 0;
        }
        return 1;
    }
    if (client->transfer_state == HTTP_BODY && client->status_code == 206 &&
        (client->range_from > 0 || client->range_to > 0) && !range_reply_fits(client)) {
        // Refused before its length is weighed: a wider range is another
        // range, not merely a large body.
        client->out_path[0] = '\0';
        abandon_transfer(client, HTTP_FAILED_RANGE);
    }
    if (client->transfer_state == HTTP_BODY && client->content_length > client->body_limit &&
        client->failure == HTTP_FAILED_NONE && status_has_body(client->status_code)) {
        abandon_transfer(client, HTTP_FAILED_TOO_LARGE); // refused before a byte is stored
    }
    if (client->transfer_state == HTTP_BODY && client->coded_body && client->active != 0 &&
        client->connected != 0 && status_has_body(client->status_code) &&
        (client->range_from > 0 || client->range_to > 0)) {
        // Chunks (an HTTP/1.1 reply to a range request) would be stored
        // with their framing: refused, as a range the server cannot give.
        // An HTTP/1.0 request's reply is stored as it comes, as always.
        abandon_transfer(client, HTTP_FAILED_RANGE);
    }
    if (client->transfer_state == HTTP_BODY && client->out_path[0] != '\0' &&
        client->failure == HTTP_FAILED_NONE) {
        open_body_file(client);
    }
    if (client->transfer_state == HTTP_STATUS_LINE || client->transfer_state == HTTP_HEADERS) {
        // What is left here is part of a line without its line feed. Once
        // the peer has closed it can never be completed: it is dropped, so
        // the transfer finishes with the status read so far.
        if (head_refused || client->response_len > HTTP_LONGEST_LINE ||
            client->head_bytes + client->response_len > HTTP_HEAD_LIMIT) {
            abandon_transfer(client, HTTP_FAILED_HEAD);
        } else if (client->connected == 0) {
            client->response_len = 0;
        }
    }

    if (client->transfer_state == HTTP_BODY && client->response_len > 0) {
        if (client->body_received + client->response_len > client->body_limit) {
            abandon_transfer(client, HTTP_FAILED_TOO_LARGE);
        } else if (client->out_file != nullptr) {
            const std::size_t written =
                std::fwrite(client->response_data, 1,
                            static_cast<std::size_t>(client->response_len), client->out_file);
            client->body_bytes += static_cast<std::int64_t>(written);
            client->body_received += static_cast<std::int64_t>(written);
            if (written != static_cast<std::size_t>(client->response_len)) {
                abandon_transfer(client, HTTP_FAILED_WRITE); // the file is incomplete
            }
        } else {
            client->body_received += client->response_len;
        }
        client->response_len = 0;
    }
    return client->active;
}

int http_is_active(const HttpClient* client)
{
    return client->active;
}

void http_wait(const HttpClient* client, int timeout_ms)
{
    const int handshake =
        client->transfer_state == HTTP_TUNNEL || client->transfer_state == HTTP_HANDSHAKE;
    // Held back by the rate limit, the bytes are there at once (in the
    // socket, or inside TLS, where a receive under the limit leaves the
    // rest of a record): the wait is for the limit, not for the server.
    const int held = client->active != 0 && client->connected != 0 && !handshake &&
                             client->response_len == 0 && client->request_pending == 0 &&
                             client->rate_limit != nullptr
                         ? rate_limit_wait_ms(client->rate_limit)
                         : 0;
    if (held > 0) {
        sleep_ms(held < timeout_ms ? held : timeout_ms);
        return;
    }
    if (client->tls != nullptr && tls_pending(client->tls)) {
        return; // bytes wait inside TLS, not in the socket
    }
    if (client->active != 0 && client->connected != 0 && handshake) {
        // The handshake's next bytes; a short wait, as a message of ours
        // may still be leaving.
        net_can_read(client->socket_handle, timeout_ms < 10 ? timeout_ms : 10);
        return;
    }
    if (client->active != 0 && client->connected != 0 && client->response_len == 0 &&
        client->request_pending == 0) {
        net_can_read(client->socket_handle, timeout_ms);
    }
}
