// The HTTP client's inner steps, exposed for its tests and for nothing else:
// the launcher uses http.h alone.
#pragma once

#include "net/http.h"

// The common start of both GET operations: parses the URL, connects (this
// blocks) and fills the record. 1 when connected, else 0.
int http_start(HttpClient* client, const char* url);

// Splits a URL into host name, port and request path (each HTTP_TEXT_SIZE
// bytes). 0 (nothing written) for a scheme other than http or https, a port
// that http_parse_port refuses, or a URL too long for the record.
int http_parse_url(const char* url, char* host_name, int* port, char* request_path);

// Writes the GET request for the parsed pieces into out (size bytes, at least
// 1) and returns its length without the terminator.
int http_format_request(char* out, int size, const char* request_path, const char* host_name,
                        const char* user_agent);

// Takes the first complete line (up to a line feed) off the front of data:
// the line goes to line without its line feed and without any carriage
// return, the rest moves to the front. line holds at least *length bytes.
// 1 when a line was taken, 0 (and nothing changed) when none is complete.
int http_take_line(char* data, int* length, char* line);

// Splits input at the first full occurrence of separator into the text ahead
// of it and the text behind it (the whole input and "" when it does not
// occur). Each part is cut to fit its buffer. before may be input itself,
// and so may after, but not both. 1 when the separator occurs, else 0 (also
// when a size leaves no room, and then nothing is written).
int text_split(const char* input, const char* separator, char* before, int before_size, char* after,
               int after_size);

// Upper-cases text in place with the C library's toupper.
void text_to_upper(char* text);

// The leading decimal number of text as atoi reads it (white space, sign,
// digits; 0 when there are none), held at INT32_MIN/INT32_MAX instead of
// overflowing.
int text_to_int(const char* text);
