// The natives that reach outside the evaluator: stats and recycle, wait, now, the environment
// (set-env, get-env, list-env), size?, to-local-file and browse (call is the OS layer's).
#include "evaluator/natives_system.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string>
#include <string_view>

#include "datatypes/block.h"
#include "datatypes/date.h"
#include "datatypes/file.h"
#include "datatypes/float.h"
#include "datatypes/integer.h"
#include "datatypes/none.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/symbol.h"
#include "datatypes/time.h"
#include "datatypes/url.h"
#include "datatypes/word.h"
#include "evaluator/interpreter.h"
#include "evaluator/natives.h"
#include "evaluator/natives_internal.h"
#include "lexer/lexer.h"
#include "runtime/collector.h"
#include "runtime/hooks.h"
#include "runtime/memory.h"
#include "runtime/platform.h"
#include "runtime/roots.h"

extern char** environ;

namespace kiv::natives {

using namespace detail;

namespace {

[[noreturn]] void not_done() { raise_error(ErrorCategory::internal, "not-done"); }

// The result cell of a native without arguments, kept below the cells it pushes for its work
// (the caller may leave the top at the arguments base).
Cell* own_result_cell() {
  if (stack::top <= stack::arguments) stack::push_cell();
  return stack::arguments;
}

// A byte count as stats gives it: integer! up to 2147483647, float! above.
Cell* count_at(Cell* out, double bytes) {
  if (bytes <= 2147483647.0) return integer::box(out, static_cast<i32>(bytes));
  return float_::box(out, bytes);
}

// ---- stats ----

// An entry block of the statistics: the numbers, the block starting a new line.
void append_entry(Cell* part, std::initializer_list<double> numbers) {
  Cell* entry = stack::push_cell();
  block::make_at(entry, static_cast<i32>(numbers.size()));
  for (double n : numbers) count_at(cell::append_slot(entry), n);
  entry->header |= header::new_line;
  block::append_value(part, entry);
  stack::drop(1);
}

// The statistics block of the memory manager into `out` (a cell that stays put): the node frames
// [free used capacity], the series frames [free used total], the big series' footprints, then the
// bytes of everything and the bytes of the tracked blocks.
void statistics_block(Cell* out) {
  // The figures describe one moment: no collection may run while they are turned into values.
  collector::Suspend quiet;
  const memory::MemoryFigures f = memory::stats_figures();
  block::make_at(out, 5);
  Cell* part = stack::push_cell();
  block::make_at(part, static_cast<i32>(f.node_frames.size()));
  for (const auto& n : f.node_frames) append_entry(part, {double(n.free), double(n.used), double(n.capacity)});
  block::append_value(out, part);
  block::make_at(part, static_cast<i32>(f.series_frames.size()));
  for (const auto& s : f.series_frames) append_entry(part, {double(s.free), double(s.used), double(s.total)});
  block::append_value(out, part);
  block::make_at(part, static_cast<i32>(f.big_series.size()));
  for (u32 footprint : f.big_series) {
    Cell* c = count_at(cell::append_slot(part), footprint);
    c->header |= header::new_line;
  }
  block::append_value(out, part);
  stack::drop(1);
  count_at(cell::append_slot(out), f.all_bytes);
  count_at(cell::append_slot(out), f.tracked_bytes);
}

// ---- now ----

Exit date_result(u32 packed, double stored_time) {
  Cell d;
  return result(*date::box(&d, packed, stored_time));
}

// ---- Text arguments ----

// The name of an environment variable: a string's text or a word's spelling.
std::string name_text(const Cell* v, i32 position) {
  if (string::any_string_q(v->type())) return string::to_utf8(v);
  if (word::any_word_q(v->type())) return std::string(symbol::name(word::symbol_of(v)));
  actions::raise_expect_arg(v->type(), position);
}

bool holds_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

// ---- browse ----

// Hands the text to the desktop's default handler. The opener runs detached (its own session, in
// the background of a shell that ends at once), so nothing waits for the application it starts
// and no child is left to reap. False when no opener could be started.
bool open_with_desktop(const std::string& text) {
  static const char script[] =
      "command -v xdg-open >/dev/null 2>&1 || exit 127\n"
      "xdg-open \"$1\" </dev/null >/dev/null 2>&1 &\n";
  const char* argv[] = {"sh", "-c", script, "kiv-browse", text.c_str(), nullptr};
  posix_spawnattr_t attr;
  if (posix_spawnattr_init(&attr) != 0) return false;
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = 0;
  const int error = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attr);
  if (error != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

// ---- Calendar fields ----

NowFields now_fields(i64 epoch_seconds, i32 nanoseconds, bool utc) {
  const std::time_t t = static_cast<std::time_t>(epoch_seconds);
  std::tm tm{};
  if (utc) {
    ::gmtime_r(&t, &tm);
  } else {
    ::tzset();  // a TZ changed through set-env applies from the next call on
    ::localtime_r(&t, &tm);
  }
  NowFields f{};
  f.year = tm.tm_year + 1900;
  f.month = tm.tm_mon + 1;
  f.day = tm.tm_mday;
  f.hour = tm.tm_hour;
  f.minute = tm.tm_min;
  f.second = tm.tm_sec;
  f.nanoseconds = nanoseconds;
  f.weekday = tm.tm_wday == 0 ? 7 : tm.tm_wday;
  f.yearday = tm.tm_yday + 1;
  f.zone_minutes = utc ? 0 : static_cast<i32>(tm.tm_gmtoff / 60);
  return f;
}

double zone_seconds(i32 zone_minutes) {
  const u32 bits = platform::zone_bits(zone_minutes);
  const double magnitude = (bits >> 2 & 15) * 3600.0 + (bits & 3) * 900.0;
  return (bits & 0x40) ? -magnitude : magnitude;
}

// ---- Memory ----

Exit stats(bool, i32 show, i32 info) {
  Cell* a = own_result_cell();
  if (show < 0 && info < 0) {
    count_at(a, memory::stats_total());
    return Exit::none;
  }
  Cell* block = stack::push_cell();
  statistics_block(block);
  if (show < 0) return result(*block);
  Cell name = word::load("show-memory-stats");
  RootCell keep_name(name);
  const Cell* fn = stack::push_value(word::get_value(&name));
  if (!has(any_function, fn->type())) raise_error(ErrorCategory::script, "no-value", name);
  Cell* out = stack::push_cell();
  const Exit e = interpreter::call_function(fn, {block, 1}, out, &name);
  if (e != Exit::none) return e;
  return result_unset();
}

Exit recycle(bool, i32 on, i32 off) {
  if (on >= 0) collector::enabled = true;
  if (off >= 0) collector::enabled = false;
  if (on >= 0 || off >= 0) return result_unset();
  count_at(stack::arguments, collector::recycle());
  return Exit::none;
}

// ---- Time ----

Exit wait(bool check, i32) {
  if (check) check_args({bit(type::integer) | bit(type::float_) | bit(type::percent) | bit(type::time) |
                         bit(type::block) | bit(type::none)});
  Cell* a = stack::arguments;
  double seconds;
  switch (a->type()) {
    case type::integer: seconds = integer::get(a); break;
    case type::float_:
    case type::percent:
    case type::time: seconds = a->as_double(); break;
    case type::block:
    case type::none: raise_error(ErrorCategory::script, "invalid-arg", *a);
    default: actions::raise_expect_arg(a->type(), 0);
  }
  platform::sleep(seconds);
  if (hooks::gui_do_events) hooks::gui_do_events(true);
  return result_none();
}

Exit now(bool, i32 year, i32 month, i32 day, i32 time_of_day, i32 zone, i32 date_only, i32 weekday, i32 yearday,
         i32 precise, i32 utc) {
  const i32 used = (year >= 0) + (month >= 0) + (day >= 0) + (time_of_day >= 0) + (zone >= 0) + (date_only >= 0) +
                   (weekday >= 0) + (yearday >= 0) + (precise >= 0);
  if (used > 1 && !(used == 2 && time_of_day >= 0 && precise >= 0)) raise_error(ErrorCategory::script, "bad-refines");
  // One reading of the clock for every field, so that no field comes from another second (or day).
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  const NowFields f = now_fields(ts.tv_sec, static_cast<i32>(ts.tv_nsec), utc >= 0);
  Cell* a = stack::arguments;
  if (year >= 0) return result(*integer::box(a, f.year));
  if (month >= 0) return result(*integer::box(a, f.month));
  if (day >= 0) return result(*integer::box(a, f.day));
  if (weekday >= 0) return result(*integer::box(a, f.weekday));
  if (yearday >= 0) return result(*integer::box(a, f.yearday));
  const double zone_offset = zone_seconds(f.zone_minutes);
  if (zone >= 0) return result(*time::box(a, zone_offset));
  double local = f.hour * 3600.0 + f.minute * 60.0 + f.second;
  // Fractions in steps of 100 ns, as the clock of the platform layer gives them.
  if (precise >= 0) local += static_cast<double>(f.nanoseconds / 100 * 100) / 1e9;
  if (time_of_day >= 0) return result(*time::box(a, local));
  const u32 day_word = platform::pack_date(f.year, f.month, f.day, 0) & ~0x7Fu;
  if (date_only >= 0) return date_result(day_word, 0.0);
  return date_result(day_word | date::has_time_bit | platform::zone_bits(f.zone_minutes), local - zone_offset);
}

// ---- Environment ----

Exit set_env(bool check) {
  if (check) check_args({any_string | any_word, bit(type::string) | bit(type::none)});
  Cell* a = stack::arguments;
  const std::string name = name_text(a, 0);
  // The system would store a name with "=" or a NUL as some other variable: refuse it.
  if (name.empty() || name.find('=') != std::string::npos || holds_nul(name))
    raise_error(ErrorCategory::script, "invalid-arg", a[0]);
  bool done;
  if (a[1].type() == type::none) {
    done = platform::set_env(name.c_str(), nullptr);
  } else {
    if (!string::any_string_q(a[1].type())) actions::raise_expect_arg(a[1].type(), 1);
    const std::string value = string::to_utf8(a + 1);
    if (holds_nul(value)) raise_error(ErrorCategory::script, "invalid-arg", a[1]);
    done = platform::set_env(name.c_str(), value.c_str());
  }
  if (!done) raise_error(ErrorCategory::script, "invalid-arg", a[0]);
  return result(a[1]);
}

Exit get_env(bool check) {
  if (check) check_args({any_string | any_word});
  Cell* a = stack::arguments;
  const std::string name = name_text(a, 0);
  // A name holding "=" would match the text of another variable.
  if (name.empty() || name.find('=') != std::string::npos || holds_nul(name)) return result_none();
  const char* value = std::getenv(name.c_str());
  if (!value || !*value) return result_none();
  string::make_from_utf8(a, value);
  return Exit::none;
}

Exit list_env(bool) {
  Cell* a = own_result_cell();
  i32 count = 0;
  for (char** e = environ; e && *e; ++e) ++count;
  block::make_at(a, count * 2);
  Cell* text = stack::push_cell();
  for (char** e = environ; e && *e; ++e) {
    const std::string_view entry(*e);
    // A name that starts with "=" keeps it: the first "=" after its first character ends it.
    const std::size_t cut = entry.size() > 1 ? entry.find('=', 1) : std::string_view::npos;
    const std::string_view name = entry.substr(0, cut);
    const std::string_view value = cut == std::string_view::npos ? std::string_view{} : entry.substr(cut + 1);
    block::append_value(a, string::make_from_utf8(text, name));
    block::append_value(a, string::make_from_utf8(text, value));
  }
  stack::drop(1);
  // The name/value block becomes the map in place, once map! is there.
  if (!datatype::makers::map || !datatype::makers::map(a)) not_done();
  return Exit::none;
}

// ---- Files ----

Exit to_local_file(bool check, i32 full) {
  if (check) check_args({bit(type::file) | bit(type::string)});
  Cell* a = stack::arguments;
  if (!string::any_string_q(a->type())) actions::raise_expect_arg(a->type(), 0);
  Cell* out = stack::push_cell();
  string::make_at(out, string::length(a) + 1);
  file::to_local_path(a, out, full >= 0);
  return result(*out);
}

Exit size_q(bool check) {
  if (check) check_args({bit(type::file)});
  Cell* a = stack::arguments;
  if (!string::any_string_q(a->type())) actions::raise_expect_arg(a->type(), 0);
  const std::string path = file::to_os_path(a);
  if (path == "." || path == ".." || (!path.empty() && path.back() == '/')) return result_none();
  // Opened for reading as any reader would (a file the process may not read has no size for it);
  // O_NONBLOCK keeps a FIFO from blocking the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return result_none();
  struct stat st {};
  const bool measured = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  if (!measured) return result_none();
  // A size past the integer range is still the size: it comes as a float! then.
  count_at(a, static_cast<double>(st.st_size));
  return Exit::none;
}

Exit browse(bool check) {
  if (check) check_args({bit(type::url) | bit(type::file)});
  Cell* a = stack::arguments;
  Cell* text = stack::push_cell();
  string::make_at(text, string::length(a) + 16);
  if (a->type() == type::file) {
    // A relative name that starts with "-" would reach the opener as an option.
    if (string::length(a) > 0 && string::char_at(a, string::head_index(a)) == '-') string::append_utf8(text, "./");
    file::to_local_path(a, text, false);
  } else if (a->type() == type::url) {
    // A url! holds decoded text: the handler gets it encoded again, as the address is written.
    url::encode(a, text, url::mode_url);
  } else {
    actions::raise_expect_arg(a->type(), 0);
  }
  const std::string target = string::to_utf8(text);
  if (holds_nul(target)) raise_error(ErrorCategory::script, "invalid-arg", *a);
  if (!open_with_desktop(target)) raise_error(ErrorCategory::access, "cannot-open", *a);
  return result_unset();
}

}  // namespace kiv::natives
