// The HTTP client: one synchronous request per call on libcurl, its response turned into values.
#pragma once
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/api.h"

namespace kiv::os::http {

// The time limits of a request, in seconds: to connect, and for a transfer that moves less than a
// byte a second. A positive whole number in the environment variable KIV_HTTP_TIMEOUT, read at
// each request, sets both instead.
struct Timeouts {
  long connect = 60;
  long low_speed = 30;
};
Timeouts& timeouts();

// A request: method (a word!), url (a url!), headers (a block! of names and values, or none: the
// default headers are sent), body (none, string!, binary! or another value, which is formed; GET
// and HEAD send none). The result is the body (text with line ends folded, lines, or bytes) or,
// with info, the block [status headers body]; none when no response came (no connection, a time
// out). A header name or value holding CR or LF raises script invalid-arg.
i32 request(i32 method, i32 url, i32 headers, i32 body, bool binary, bool lines, bool info);

// The response header lines ("Name: value", CR LF or LF ended) as names and values, in order of
// arrival; lines without a colon are left out.
std::vector<std::pair<std::string, std::string>> parse_header_lines(std::string_view text);

// The url text as it goes on the wire: bytes that cannot stand in a URL percent-encoded.
std::string wire_url(std::string_view text);

// Installs the hook of url!'s read and write; starts libcurl.
void install();

}  // namespace kiv::os::http
