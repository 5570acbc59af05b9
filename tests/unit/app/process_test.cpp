// Every way out of the process, seen from outside: the real executable is started with the test
// trigger KIV_TEST_EXIT and its status, standard output and standard error are checked.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct KivRun {
  int status = -1000;  // exit status, or -signal when the child was killed by a signal
  std::string out, err;
};

// Starts kiv with the given trigger and arguments. With a signal, sends it once "ready\n" has
// appeared on the child's standard output.
KivRun run_kiv(const std::string& trigger, std::vector<std::string> args = {}, int signal = 0) {
  KivRun r;
  int out_pipe[2], err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe";
    return r;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "KIV_TEST_EXIT=", 14) != 0) env_text.emplace_back(*e);
  }
  if (!trigger.empty()) env_text.push_back("KIV_TEST_EXIT=" + trigger);
  std::vector<char*> envp;
  for (auto& s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);

  args.insert(args.begin(), KIV_EXE);
  std::vector<char*> argv;
  for (auto& s : args) argv.push_back(s.data());
  argv.push_back(nullptr);

  pid_t pid = 0;
  int spawned = posix_spawn(&pid, KIV_EXE, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (spawned != 0) {
    ADD_FAILURE() << "posix_spawn: " << std::strerror(spawned);
    close(out_pipe[0]);
    close(err_pipe[0]);
    return r;
  }

  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  bool signalled = false, out_open = true, err_open = true;
  while (out_open || err_open) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << "kiv did not end in time (trigger " << trigger << ")";
      break;
    }
    pollfd fds[2] = {{out_open ? out_pipe[0] : -1, POLLIN, 0}, {err_open ? err_pipe[0] : -1, POLLIN, 0}};
    if (poll(fds, 2, 100) < 0) continue;
    char buf[4096];
    for (int i = 0; i < 2; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i ? r.err : r.out).append(buf, static_cast<std::size_t>(n));
      } else {
        (i ? err_open : out_open) = false;
      }
    }
    if (signal && !signalled && r.out.find("ready\n") != std::string::npos) {
      kill(pid, signal);
      signalled = true;
    }
  }
  close(out_pipe[0]);
  close(err_pipe[0]);
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -WTERMSIG(wstatus);
  return r;
}

// "*** Runtime Error CODE: TEXT\n*** at: XXXXXXXXh\n" with eight upper-case hex digits.
bool is_runtime_error(const std::string& err, int code, const char* text) {
  std::string head = "*** Runtime Error " + std::to_string(code) + ": " + text + "\n*** at: ";
  if (err.size() != head.size() + 10 || err.compare(0, head.size(), head) != 0) return false;
  for (std::size_t i = head.size(); i < head.size() + 8; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(err[i])) && !(err[i] >= 'A' && err[i] <= 'F')) return false;
  }
  return err.compare(head.size() + 8, 2, "h\n") == 0;
}

}  // namespace

TEST(Process, NormalEndIsSilentWithStatusZero) {
  // Without a script the line loop runs: it shows its prompt once and ends with its input.
  KivRun r = run_kiv("", {});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, ">> ");
  EXPECT_EQ(r.err, "");
}

// The ends with a status and, for fatal runtime errors, the message on standard error. Text
// written just before the end is always on standard output.
TEST(Process, EveryExitPathHasItsStatusAndMessage) {
  struct Case {
    const char* trigger;
    int status;
    const char* error_text;    // runtime-error text on stderr, or null for an empty stderr
    const char* out_after;     // what stdout holds after "before TRIGGER\n"
  };
  const Case cases[] = {
      {"print", 0, nullptr, "stdio text\n"},
      {"quit-code", 0, nullptr, ""},
      {"throw", 95, "no CATCH for THROW", ""},
      {"fault", 1, "access violation", ""},
      {"fpe", 13, "integer divide by zero", ""},
      {"ill", 23, "illegal operand", ""},
      {"stack", 19, "stack error or overflow", ""},
      {"abort", 98, "assertion failed", ""},
      {"oom", 94, "out of memory", ""},
      {"langerr", 254, nullptr, "*** Script Error: test-error\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.trigger);
    KivRun r = run_kiv(c.trigger);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, std::string("before ") + c.trigger + "\n" + c.out_after);
    if (c.error_text) {
      EXPECT_TRUE(is_runtime_error(r.err, c.status, c.error_text)) << r.err;
    } else {
      EXPECT_EQ(r.err, "");
    }
  }
}

// A fault reports the faulting instruction, not a null address.
TEST(Process, FaultReportsTheFaultingAddress) {
  KivRun r = run_kiv("fault");
  ASSERT_EQ(r.status, 1);
  EXPECT_EQ(r.err.find("*** at: 00000000h"), std::string::npos) << r.err;
}

// Termination requests end with status 0 and no message, and the text still in the console
// writer's buffer (all but "ready", which went out directly) is written out first.
TEST(Process, TerminationSignalsEndQuietlyWithoutLosingOutput) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    KivRun r = run_kiv("sleep", {}, sig);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ready\nbefore sleep\npending\n");
    EXPECT_EQ(r.err, "");
  }
}
