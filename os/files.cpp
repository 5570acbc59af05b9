#include "os/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <vector>

#include "os/descriptor.h"
#include "runtime/hooks.h"

namespace kiv::os::files {

namespace {

constexpr std::size_t piece = 65536;

[[noreturn]] void cannot_open(i32 file) { api::raise(ErrorCategory::access, "cannot-open", file); }

// An integer refinement argument, nothing when the refinement is absent.
std::optional<i64> integer_arg(i32 slot) {
  if (slot == api::no_slot) return std::nullopt;
  if (api::type_of(slot) != api::Type::integer) api::raise(ErrorCategory::script, "invalid-arg", slot);
  return api::integer_of(slot);
}

// ---- Reading ----

// Reads to the end in pieces: for files whose size the system does not know (/proc, /sys, pipes).
bool read_to_end(int fd, std::string& out) {
  for (;;) {
    const std::size_t had = out.size();
    out.resize(had + piece);
    std::size_t got = 0;
    const bool ok = read_fully(fd, out.data() + had, piece, got);
    out.resize(had + got);
    if (!ok) return false;
    if (got < piece) return true;
  }
}

// One string per line: a line ends at LF, which it loses with one CR just before it; text after
// the last LF is the last line (a CR there is kept); bytes ending in LF give no empty last line.
i32 split_lines(std::string_view bytes) {
  const i32 block = api::push_block(static_cast<i32>(std::count(bytes.begin(), bytes.end(), '\n')) + 1);
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    const bool last = end == std::string_view::npos;
    std::size_t stop = last ? bytes.size() : end;
    if (!last && stop > start && bytes[stop - 1] == '\r') --stop;
    api::Scope line;
    api::append(block, api::push_string(bytes.substr(start, stop - start)));
    if (last) break;
    start = end + 1;
  }
  return block;
}

// The value read, or -1 when the file cannot be opened or read.
i32 read_file(const std::string& path, std::optional<i64> part, std::optional<i64> seek, bool binary, bool lines) {
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  struct stat st {};
  if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || S_ISDIR(st.st_mode)) return -1;
  // A reported size of 0 is not trusted: such files only tell their length by being read.
  const bool measured = S_ISREG(st.st_mode) && st.st_size > 0;
  std::string whole;
  if (!measured && !read_to_end(file.fd, whole)) return -1;
  const i64 size = measured ? static_cast<i64>(st.st_size) : static_cast<i64>(whole.size());
  const i64 start = std::max<i64>(seek.value_or(0), 0);
  i64 count = std::max<i64>(size - start, 0);  // from beyond the end: nothing
  if (part && *part >= 0 && *part < count) count = *part;
  if (!measured) {
    std::string_view chosen = std::string_view(whole).substr(static_cast<std::size_t>(std::min(start, size)),
                                                             static_cast<std::size_t>(count));
    std::string bytes(chosen);
    return text_or_bytes(bytes, binary, lines);
  }
  if (count > 0 && start > 0 && ::lseek(file.fd, start, SEEK_SET) < 0) return -1;
  const auto n = static_cast<std::size_t>(count);
  bool ok = true;
  if (binary) {
    // Straight into the binary's own buffer: a large file is held once.
    const i32 bytes = api::push_binary_filled(n, [&](char* into, std::size_t room) {
      std::size_t got = 0;
      ok = read_fully(file.fd, into, room, got);
      return got;
    });
    return ok ? bytes : -1;
  }
  std::string text(n, '\0');
  std::size_t got = 0;
  if (!read_fully(file.fd, text.data(), n, got)) return -1;
  text.resize(got);  // the file may have shrunk meanwhile
  return text_or_bytes(text, false, lines);
}

// The names in a folder, sorted by their bytes, folders with a "/" after them.
i32 read_dir(i32 file, std::string path) {
  if (!path.empty() && path.back() == '.') path += '/';  // "." and ".." list as folders
  DIR* dir = ::opendir(path.c_str());
  if (!dir) cannot_open(file);
  if (path.back() != '/') path += '/';
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name == "." || name == "..") continue;
    bool folder = e->d_type == DT_DIR;
    if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
      // The type the listing gives is not the target's: ask the disk, following links.
      struct stat st {};
      folder = ::stat((path + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }
    names.emplace_back(name);
    if (folder) names.back() += '/';
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  const i32 block = api::push_block(static_cast<i32>(names.size()));
  for (const std::string& name : names) {
    api::Scope entry;
    api::append(block, api::push_file(name));
  }
  return block;
}

// ---- Writing ----

// Writes one value: text as UTF-8 (at most `part` characters), a binary! as its bytes (at most
// `part`), anything else molded. False when the system refuses the bytes.
bool write_value(int fd, i32 value, std::optional<i64> part) {
  const api::Type t = api::type_of(value);
  if (t == api::Type::binary) {
    bool ok = true;
    api::see_bytes(value, [&](const char* bytes, std::size_t n) {
      if (part && *part < static_cast<i64>(n)) n = static_cast<std::size_t>(*part);
      ok = write_fully(fd, bytes, n);
    });
    return ok;
  }
  std::string text = t == api::Type::string ? api::text_of(value) : api::mold_of(value);
  if (part && t == api::Type::string) text.resize(utf8_prefix_length(text, *part));
  return write_fully(fd, text.data(), text.size());
}

// ---- The hooks of file!'s actions ----

Cell* read_hook(Cell* file, Cell* part, Cell* seek, bool binary, bool lines, Cell* out) {
  api::Scope scope;
  const i32 f = api::push_cell(file);
  const i32 p = part ? api::push_cell(part) : api::no_slot;
  const i32 s = seek ? api::push_cell(seek) : api::no_slot;
  api::store(read(f, p, s, binary, lines), out);
  return out;
}

void write_hook(Cell* file, Cell* data, Cell* part, Cell* seek, bool binary, bool append, bool lines) {
  api::Scope scope;
  const i32 f = api::push_cell(file);
  const i32 d = api::push_cell(data);
  const i32 p = part ? api::push_cell(part) : api::no_slot;
  const i32 s = seek ? api::push_cell(seek) : api::no_slot;
  write(f, d, p, s, binary, append, lines);
}

Cell* query_hook(Cell* file, Cell* out) {
  api::Scope scope;
  api::store(query(api::push_cell(file)), out);
  return out;
}

bool delete_hook(Cell* file) {
  api::Scope scope;
  return remove(api::push_cell(file));
}

bool rename_hook(Cell* from, Cell* to) {
  api::Scope scope;
  const i32 f = api::push_cell(from);
  return rename(f, api::push_cell(to));
}

}  // namespace

bool dir_path_q(std::string_view path) {
  if (path.empty()) return false;
  auto separator = [](char c) { return c == '/' || c == '\\'; };
  if (separator(path.back()) || path == "." || path == "..") return true;
  // A name ending in one or two dots right after a separator.
  std::size_t dots = 0;
  while (dots < path.size() && dots < 3 && path[path.size() - 1 - dots] == '.') ++dots;
  return (dots == 1 || dots == 2) && path.size() > dots && separator(path[path.size() - 1 - dots]);
}

void fold_line_ends(std::string& text) {
  char* const start = text.data();
  char* const end = start + text.size();
  char* cr = static_cast<char*>(std::memchr(start, '\r', text.size()));
  if (!cr) return;
  // Each CR becomes LF and swallows one LF after it; the runs between move down in blocks.
  char* out = cr;
  for (char* in = cr; in < end;) {
    *out++ = '\n';
    in += in + 1 < end && in[1] == '\n' ? 2 : 1;
    char* next = static_cast<char*>(std::memchr(in, '\r', static_cast<size_t>(end - in)));
    if (!next) next = end;
    std::memmove(out, in, static_cast<size_t>(next - in));
    out += next - in;
    in = next;
  }
  text.resize(static_cast<size_t>(out - start));
}

i32 text_or_bytes(std::string& bytes, bool binary, bool lines) {
  if (binary) return api::push_binary(bytes);
  if (lines) return split_lines(bytes);
  fold_line_ends(bytes);
  return api::push_string(bytes);
}

i32 read(i32 file, i32 part, i32 seek, bool binary, bool lines) {
  const std::string path = api::os_name_of(file);
  if (dir_path_q(path)) return read_dir(file, path);
  const i32 result = read_file(path, integer_arg(part), integer_arg(seek), binary, lines);
  if (result < 0) cannot_open(file);
  return result;
}

void write(i32 file, i32 data, i32 part, i32 seek, bool binary, bool append, bool lines) {
  (void)binary;  // text is written as it is either way: LF stays LF
  std::optional<i64> count;
  if (part != api::no_slot) {
    if (api::type_of(part) != api::Type::integer) {
      const Cell refinement = hooks::part_refinement();
      api::raise(ErrorCategory::script, "invalid-refine-arg", api::push_cell(&refinement), part);
    }
    count = api::integer_of(part);
    if (*count < 0) return;  // a negative part writes nothing
  }
  const std::optional<i64> offset = integer_arg(seek);
  const std::string path = api::os_name_of(file);
  // Appending and writing at an offset keep what the file holds; a plain write replaces it.
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append || offset ? 0 : O_TRUNC);
  const Descriptor out{::open(path.c_str(), flags, 0666)};
  if (out.fd < 0) cannot_open(file);
  if (offset && *offset > 0 && ::lseek(out.fd, *offset, SEEK_SET) < 0) cannot_open(file);
  if (append && ::lseek(out.fd, 0, SEEK_END) < 0) cannot_open(file);
  bool ok = true;
  if (lines && api::type_of(data) == api::Type::block) {
    const i32 n = api::length_of(data);
    for (i32 i = 0; i < n && ok; ++i) {
      api::Scope line;
      ok = write_value(out.fd, api::push_element(data, i), std::nullopt) && write_fully(out.fd, "\n", 1);
    }
  } else {
    ok = write_value(out.fd, data, count) && (!lines || write_fully(out.fd, "\n", 1));
  }
  if (!ok) cannot_open(file);
}

i32 query(i32 file) {
  const std::string path = api::os_name_of(file);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return api::push_none();
  if (!path.empty() && (path.back() == '/' || path.back() == '\\') && !S_ISDIR(st.st_mode)) return api::push_none();
  std::tm utc{};
  if (!::gmtime_r(&st.st_mtim.tv_sec, &utc)) return api::push_none();
  const i32 milliseconds = static_cast<i32>(st.st_mtim.tv_nsec / 1000000);
  return api::push_date_utc(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                            milliseconds * 1000000);
}

bool remove(i32 file) {
  const std::string path = api::os_name_of(file);
  return (dir_path_q(path) ? ::rmdir(path.c_str()) : ::unlink(path.c_str())) == 0;
}

bool rename(i32 from, i32 to) {
  const std::string a = api::os_name_of(from);
  const std::string b = api::os_name_of(to);
  return ::rename(a.c_str(), b.c_str()) == 0;
}

bool make_dir(i32 file) { return ::mkdir(api::os_name_of(file).c_str(), 0777) == 0; }

void install() {
  hooks::file_read = read_hook;
  hooks::file_write = write_hook;
  hooks::file_query = query_hook;
  hooks::file_delete = delete_hook;
  hooks::file_rename = rename_hook;
}

}  // namespace kiv::os::files
