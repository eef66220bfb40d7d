// A polled HTTP/1.0 GET client: one URL at a time over one TCP connection,
// the response body streamed into a file. The caller starts a transfer, calls
// http_poll once per pass of its loop until it returns 0, then reads
// status_code and body_bytes. Only the start blocks (resolve and connect).
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <cstdio>

constexpr int HTTP_BUFFER_SIZE = 16384;
constexpr int HTTP_TEXT_SIZE = 4096;
constexpr int HTTP_USER_AGENT_SIZE = 128;

enum HttpState : std::int32_t {
    HTTP_IDLE = 0,
    HTTP_CONNECTING = 1,
    HTTP_STATUS_LINE = 2,
    HTTP_HEADERS = 3,
    HTTP_BODY = 4,
};

struct HttpClient {
    NetSocket socket_handle;
    char request_text[HTTP_BUFFER_SIZE];
    std::int32_t request_pending;
    char response_data[HTTP_BUFFER_SIZE];
    std::int32_t response_len;
    HttpState transfer_state;
    std::int32_t active;
    std::int32_t connected;
    std::int32_t status_code;
    char user_agent[HTTP_USER_AGENT_SIZE];
    char url[HTTP_TEXT_SIZE];
    char host_name[HTTP_TEXT_SIZE];
    std::int32_t port;
    char request_path[HTTP_TEXT_SIZE];
    std::FILE* out_file;
    std::int64_t body_bytes;
};

void http_init(HttpClient* client);
void http_set_user_agent(HttpClient* client, const char* text);
int http_get_to_file(HttpClient* client, const char* url, const char* output_path);
int http_get(HttpClient* client, const char* url);
int http_poll(HttpClient* client);
int http_is_active(const HttpClient* client);
