#include "os/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "os/files.h"

extern char** environ;

namespace kiv::natives {
// The native `call` (its declaration is the core's list of natives).
Exit call(bool check, i32 wait, i32 show, i32 console, i32 shell, i32 input, i32 output, i32 error);
}  // namespace kiv::natives

namespace kiv::os::process {

namespace {

std::vector<pid_t>& running() {
  static std::vector<pid_t> children;
  return children;
}

// One standard stream of the child: what it reads from or writes to.
struct Stream {
  int child_fd = -1;      // the descriptor the child gets (-1: the parent's own stream)
  int parent_fd = -1;     // our end of its pipe (-1: no pipe)
  std::string bytes;      // input to send, or output captured
  std::size_t sent = 0;
};

int open_null(int flags) { return ::open("/dev/null", flags | O_CLOEXEC); }

// A pipe whose end on our side does not block; false when the system has none to give.
bool make_pipe(Stream& s, bool child_reads) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  s.child_fd = child_reads ? ends[0] : ends[1];
  s.parent_fd = child_reads ? ends[1] : ends[0];
  ::fcntl(s.parent_fd, F_SETFL, ::fcntl(s.parent_fd, F_GETFL) | O_NONBLOCK);
  return true;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Writes the input and drains the outputs, all in one loop, until every pipe is closed. A pipe
// stops at its end, or at any error but an interruption (a child that stops reading its input
// ends the writing).
void pump(Stream& in, Stream& out, Stream& err) {
  // A child that closes its input early must not end this process: SIGPIPE is held back while
  // writing and a pending one taken away afterwards, unless one was already pending before.
  sigset_t pipe_signal, before, pending;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &before);
  if (in.parent_fd >= 0 && in.bytes.empty()) close_fd(in.parent_fd);
  Stream* streams[3] = {&in, &out, &err};
  char buffer[65536];
  for (;;) {
    pollfd fds[3];
    Stream* which[3];
    nfds_t n = 0;
    for (i32 i = 0; i < 3; ++i) {
      if (streams[i]->parent_fd < 0) continue;
      fds[n] = {streams[i]->parent_fd, static_cast<short>(i == 0 ? POLLOUT : POLLIN), 0};
      which[n++] = streams[i];
    }
    if (n == 0) break;
    if (::poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      for (Stream* s : streams) close_fd(s->parent_fd);
      break;
    }
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      Stream& s = *which[i];
      if (&s == &in) {
        const std::size_t chunk = std::min<std::size_t>(in.bytes.size() - in.sent, sizeof buffer);
        const ssize_t w = ::write(in.parent_fd, in.bytes.data() + in.sent, chunk);
        if (w > 0) in.sent += static_cast<std::size_t>(w);
        if ((w < 0 && errno != EINTR && errno != EAGAIN) || in.sent == in.bytes.size()) close_fd(in.parent_fd);
        continue;
      }
      const ssize_t r = ::read(s.parent_fd, buffer, sizeof buffer);
      if (r > 0) s.bytes.append(buffer, static_cast<std::size_t>(r));
      else if (r == 0 || (errno != EINTR && errno != EAGAIN)) close_fd(s.parent_fd);
    }
  }
  if (!was_pending) {
    const timespec now{};
    while (sigtimedwait(&pipe_signal, nullptr, &now) > 0) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

// The exit code of an ended child: its status, or 128 + the signal that ended it.
i32 exit_code(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

struct Launch {
  std::string command;
  bool wait = false, console = false, shell = false;
  Stream in, out, err;
  bool shell_used = false;  // the command ran through the shell
};

// Starts the child with its streams; the process id, or -1.
pid_t spawn(Launch& l) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  Stream* streams[3] = {&l.in, &l.out, &l.err};
  for (int fd = 0; fd < 3; ++fd)
    if (streams[fd]->child_fd >= 0) posix_spawn_file_actions_adddup2(&actions, streams[fd]->child_fd, fd);
  // The child starts with default signal handling, whatever this process changed for itself.
  sigset_t defaults, empty;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGHUP);
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  auto run = [&](const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int e = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    return e == 0 ? pid : -e;
  };
  const std::vector<std::string> through_shell = {"/bin/sh", "-c", l.command};
  std::vector<std::string> args = l.shell ? through_shell : split_command(l.command);
  l.shell_used = l.shell || args.empty();
  pid_t pid = run(l.shell_used ? through_shell : args);
  if (pid == -ENOENT && !l.shell_used) {
    // Not a program: perhaps something the shell knows (a built-in, a function, a path to look up).
    l.shell_used = true;
    pid = run(through_shell);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return pid > 0 ? pid : -1;
}

i32 launch(Launch& l) {
  reap();
  const i32 result = [&]() -> i32 {
    const pid_t pid = spawn(l);
    // The child has its copies now: ours would keep its pipes from ever ending.
    for (Stream* s : {&l.in, &l.out, &l.err}) close_fd(s->child_fd);
    if (pid < 0) return -1;
    pump(l.in, l.out, l.err);
    if (!l.wait) {
      running().push_back(pid);
      return pid;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0)
      if (errno != EINTR) return -1;
    return exit_code(status);
  }();
  for (Stream* s : {&l.in, &l.out, &l.err}) close_fd(s->parent_fd), close_fd(s->child_fd);
  return result;
}

bool redirect_type_q(i32 slot) {
  const api::Type t = api::type_of(slot);
  return t == api::Type::string || t == api::Type::binary || t == api::Type::file;
}

// Sets up the child's input: from a file, from the bytes through a pipe, from the null device or
// (with console) from ours. False when the file cannot be opened or no pipe be made.
bool prepare_input(i32 slot, Launch& l) {
  Stream& s = l.in;
  if (slot == api::no_slot) {
    if (!l.console) s.child_fd = open_null(O_RDONLY);
    return true;
  }
  switch (api::type_of(slot)) {
    case api::Type::file:
      s.child_fd = ::open(api::os_name_of(slot).c_str(), O_RDONLY | O_CLOEXEC);
      return s.child_fd >= 0;
    case api::Type::binary: s.bytes = api::bytes_of(slot); break;
    default: s.bytes = api::text_of(slot); break;  // text goes as UTF-8
  }
  return make_pipe(s, true);
}

// Sets up an output: appended to a file (lost when it cannot be opened), captured through a pipe,
// or to the null device or (with console) ours.
bool prepare_output(i32 slot, Stream& s, bool console) {
  if (slot == api::no_slot) {
    if (!console) s.child_fd = open_null(O_WRONLY);
    return true;
  }
  if (api::type_of(slot) == api::Type::file) {
    s.child_fd = ::open(api::os_name_of(slot).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (s.child_fd < 0) s.child_fd = open_null(O_WRONLY);
    return true;
  }
  return make_pipe(s, false);
}

// Puts captured output at the head of the target: the bytes into a binary!, or the text decoded
// as UTF-8 (CR dropped for the shell, CR LF folded otherwise).
void store_output(i32 target, std::string& bytes, bool shell_used) {
  if (target == api::no_slot || bytes.empty() || api::type_of(target) == api::Type::file) return;
  api::Scope scope;
  if (api::type_of(target) == api::Type::binary) {
    api::insert_at_head(target, api::push_binary(bytes));
    return;
  }
  if (shell_used) {
    bytes.erase(std::remove(bytes.begin(), bytes.end(), '\r'), bytes.end());
  } else {
    files::fold_line_ends(bytes);
  }
  api::insert_at_head(target, api::push_string(bytes));
}

}  // namespace

std::vector<std::string> split_command(std::string_view line) {
  std::vector<std::string> out;
  std::string word;
  bool quoted = false, any = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      any = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (any) out.push_back(word);
      word.clear();
      any = false;
    } else {
      word += c;
      any = true;
    }
  }
  if (any) out.push_back(word);
  return out;
}

i32 reap() {
  std::vector<pid_t>& children = running();
  std::erase_if(children, [](pid_t pid) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    return r == pid || (r < 0 && errno == ECHILD);
  });
  return static_cast<i32>(children.size());
}

}  // namespace kiv::os::process

namespace kiv::natives {

Exit call(bool, i32 wait, i32, i32 console, i32 shell, i32 input, i32 output, i32 error) {
  using namespace os::process;
  const api::Type command_type = api::type_of(0);
  if (command_type != api::Type::string && command_type != api::Type::file) api::raise_expect_arg(0);
  for (i32 slot : {input, output, error})
    if (slot != api::no_slot && !redirect_type_q(slot)) api::raise(ErrorCategory::script, "invalid-arg", slot);
  Launch l;
  // A file! names the program as the local file name does, which is its own text here.
  l.command = api::os_name_of(0);
  if (api::length_of(0) == 0) return api::result(api::push_integer(0));
  l.console = console >= 0;
  l.shell = shell >= 0;
  // A redirected stream is always waited for: its data lives only as long as this call.
  l.wait = wait >= 0 || input >= 0 || output >= 0 || error >= 0;
  i32 code = -1;
  if (prepare_input(input, l) && prepare_output(output, l.out, l.console) && prepare_output(error, l.err, l.console)) {
    code = launch(l);
  } else {
    for (Stream* s : {&l.in, &l.out, &l.err}) close_fd(s->parent_fd), close_fd(s->child_fd);
  }
  store_output(output, l.out.bytes, l.shell_used);
  store_output(error, l.err.bytes, l.shell_used);
  return api::result(api::push_integer(code));
}

}  // namespace kiv::natives
