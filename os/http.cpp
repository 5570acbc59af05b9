#include "os/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "os/files.h"
#include "runtime/hooks.h"

namespace kiv::os::http {

namespace {

// Header names compare without regard to case.
bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool holds_line_break(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// A header's name or value as sent: a word by its name, a string as it is, anything else formed.
std::string header_text(i32 slot) {
  switch (api::type_of(slot)) {
    case api::Type::word: return api::word_name(slot);
    case api::Type::string: return api::text_of(slot);
    default: break;
  }
  const std::string_view type = api::type_name(slot);
  if (type == "set-word!" || type == "lit-word!" || type == "get-word!") return api::word_name(slot);
  return api::form_of(slot);
}

// The header lines to send: the given ones, in block order, or the defaults.
std::vector<std::string> header_lines(i32 headers) {
  if (headers == api::no_slot || api::type_of(headers) != api::Type::block)
    return {"Content-Type: application/x-www-form-urlencoded", "Accept-Charset: UTF-8",
            "User-Agent: Mozilla/5.0 (Linux; x86-64)"};
  std::vector<std::string> lines;
  const i32 n = api::length_of(headers);
  for (i32 i = 0; i + 1 < n; i += 2) {
    api::Scope pair;
    const i32 name = api::push_element(headers, i);
    const i32 value = api::push_element(headers, i + 1);
    const std::string a = header_text(name), b = header_text(value);
    // A line break would let the text start a header or a request of its own.
    if (holds_line_break(a)) api::raise(ErrorCategory::script, "invalid-arg", name);
    if (holds_line_break(b)) api::raise(ErrorCategory::script, "invalid-arg", value);
    lines.push_back(a + ": " + b);
  }
  return lines;
}

struct Response {
  std::string body;
  std::string headers;  // the final response's header lines only
};

size_t on_body(char* bytes, size_t size, size_t count, void* user) {
  static_cast<Response*>(user)->body.append(bytes, size * count);
  return size * count;
}

size_t on_header(char* bytes, size_t size, size_t count, void* user) {
  auto* r = static_cast<Response*>(user);
  const std::string_view line(bytes, size * count);
  // Each response of a redirection starts with its status line: only the last one's headers stay.
  if (line.substr(0, 5) == "HTTP/") r->headers.clear();
  else r->headers.append(line);
  return size * count;
}

struct CurlFree {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

long timeout_from_environment(long fallback) {
  const char* text = std::getenv("KIV_HTTP_TIMEOUT");
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const long seconds = std::strtol(text, &end, 10);
  return *end == '\0' && seconds > 0 ? seconds : fallback;
}

// The response headers as names (words) and values (strings); a name that comes again gathers
// its values in a block, in order of arrival. Names compare without regard to case.
i32 headers_value(const std::string& text) {
  std::vector<std::pair<std::string, std::vector<std::string>>> grouped;
  for (auto& [name, value] : parse_header_lines(text)) {
    // a lambda may not capture a structured binding under clang 14, hence the plain reference
    const std::string& wanted = name;
    auto same = [&](const auto& g) { return same_name(g.first, wanted); };
    auto found = std::find_if(grouped.begin(), grouped.end(), same);
    if (found == grouped.end()) grouped.push_back({name, {}}), found = grouped.end() - 1;
    found->second.push_back(value);
  }
  const i32 block = api::push_block(static_cast<i32>(grouped.size() * 2));
  for (const auto& [name, values] : grouped) {
    api::Scope entry;
    api::append(block, api::push_word(name));
    if (values.size() == 1) {
      api::append(block, api::push_string(values[0]));
      continue;
    }
    const i32 all = api::push_block(static_cast<i32>(values.size()));
    for (const std::string& v : values) {
      api::Scope one;
      api::append(all, api::push_string(v));
    }
    api::append(block, all);
  }
  api::to_map(block);
  return block;
}

}  // namespace

Timeouts& timeouts() {
  static Timeouts limits;
  return limits;
}

std::vector<std::pair<std::string, std::string>> parse_header_lines(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::size_t colon = line.find(':');
    // A name must make a word: plain ASCII, not empty.
    if (colon == 0 || colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    if (std::any_of(name.begin(), name.end(), [](char c) { return c <= ' ' || (c & 0x80); })) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    out.emplace_back(name, value);
  }
  return out;
}

std::string wire_url(std::string_view text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= ' ' || c >= 0x7F || std::string_view("\"<>\\^`{|}").find(ch) != std::string_view::npos) {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

i32 request(i32 method, i32 url, i32 headers, i32 body, bool binary, bool lines, bool info) {
  std::string verb = api::word_name(method);
  for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string address = wire_url(api::text_of(url));
  const std::vector<std::string> lines_out = header_lines(headers);
  const bool sends_body = verb != "GET" && verb != "HEAD";
  std::string payload;
  bool has_payload = false;
  if (sends_body && body != api::no_slot && !api::none_q(body)) {
    const api::Type t = api::type_of(body);
    payload = t == api::Type::binary ? api::bytes_of(body) : t == api::Type::string ? api::text_of(body)
                                                                                     : api::form_of(body);
    has_payload = true;
  }

  std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  if (!curl) return api::push_none();
  std::unique_ptr<curl_slist, CurlFree> list;
  for (const std::string& line : lines_out) {
    curl_slist* grown = curl_slist_append(list.get(), line.c_str());
    if (!grown) return api::push_none();
    (void)list.release();
    list.reset(grown);
  }
  // Only the headers given (or the defaults) go out: libcurl's own Accept and form Content-Type
  // are taken away when not given, and its Expect, which would hold a body back for a
  // 100-continue answer, always.
  auto given = [&](std::string_view name) {
    return std::any_of(lines_out.begin(), lines_out.end(), [&](const std::string& line) {
      return line.size() > name.size() && line[name.size()] == ':' && same_name(line.substr(0, name.size()), name);
    });
  };
  for (const char* removal : {"Accept:", "Content-Type:", "Expect:"}) {
    const std::string_view name(removal, std::strlen(removal) - 1);
    if (name != "Expect" && given(name)) continue;
    curl_slist* grown = curl_slist_append(list.get(), removal);
    if (!grown) return api::push_none();
    (void)list.release();
    list.reset(grown);
  }
  CURL* c = curl.get();
  Response response;
  const Timeouts limits = timeouts();
  curl_easy_setopt(c, CURLOPT_URL, address.c_str());
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.get());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 10L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, timeout_from_environment(limits.connect));
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, timeout_from_environment(limits.low_speed));
  curl_easy_setopt(c, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &response);
  if (verb == "GET") {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else if (verb == "HEAD") {
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
  } else {
    if (verb != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, verb.c_str());
    if (verb == "POST" || has_payload) {
      curl_easy_setopt(c, CURLOPT_POST, 1L);
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(payload.size()));
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, payload.data());
    }
  }
  if (curl_easy_perform(c) != CURLE_OK) return api::push_none();
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl.reset();

  if (!info) return files::text_or_bytes(response.body, binary, lines);
  const i32 result = api::push_block(3);
  api::Scope parts;
  api::append(result, api::push_integer(status));
  api::append(result, headers_value(response.headers));
  api::append(result, files::text_or_bytes(response.body, binary, lines));
  return result;
}

namespace {

Cell* request_hook(const Cell* method, const Cell* url, const Cell* headers, const Cell* body, bool binary, bool lines,
                   bool info, Cell* out) {
  api::Scope scope;
  const i32 m = api::push_cell(method);
  const i32 u = api::push_cell(url);
  const i32 h = api::push_cell(headers);
  const i32 b = api::push_cell(body);
  api::store(request(m, u, h, b, binary, lines, info), out);
  return out;
}

}  // namespace

void install() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
  hooks::http_request = request_hook;
}

}  // namespace kiv::os::http
