#include "Subprocess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace tarn::test {

namespace {

std::vector<char*> ArgvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const std::string& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

// In the child: restore what a freshly started program expects, then exec.
[[noreturn]] void ExecChild(const std::vector<std::string>& argv) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  auto pointers = ArgvPointers(argv);
  execv(pointers[0], pointers.data());
  _exit(127);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (options.fileSizeLimit) {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
      const rlim_t limit = static_cast<rlim_t>(*options.fileSizeLimit);
      const rlimit rl{limit, limit};
      setrlimit(RLIMIT_FSIZE, &rl);
    }
    if (options.processLimit) {
      const rlim_t limit = static_cast<rlim_t>(*options.processLimit);
      const rlimit rl{limit, limit};
      setrlimit(RLIMIT_NPROC, &rl);
    }
    if (options.runAs) {
      if (setgroups(0, nullptr) != 0 || setgid(*options.runAs) != 0 ||
          setuid(*options.runAs) != 0) {
        _exit(126);
      }
    }
    ExecChild(argv);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (!options.input.empty()) {
    (void)!write(in[1], options.input.data(), options.input.size());
  }
  close(in[1]);

  ProcessResult result;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  const int status = WaitProcess(pid);
  if (status < 0) {
    result.signal = -status;
  } else {
    result.exitCode = status;
  }
  return result;
}

std::string TextFromChild(const std::function<std::string()>& inChild) {
  int channel[2];
  if (::pipe(channel) != 0) return "pipe failed";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(channel[0]);
    const std::string text = inChild();
    for (std::size_t sent = 0; sent < text.size();) {
      const ssize_t n = ::write(channel[1], text.data() + sent, text.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(channel[1]);
  std::string text;
  char buffer[512];
  for (ssize_t n; (n = ::read(channel[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(channel[0]);
  ::waitpid(child, nullptr, 0);
  return text;
}

pid_t StartProcess(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, STDIN_FILENO);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    ExecChild(argv);
  }
  return pid;
}

TerminalProcess::TerminalProcess(const std::vector<std::string>& argv) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
    if (master_ >= 0) close(master_);
    throw std::runtime_error("no pseudo-terminal");
  }
  const std::string terminal = ptsname(master_);
  pid_ = fork();
  if (pid_ < 0) {
    close(master_);
    throw std::runtime_error("fork failed");
  }
  if (pid_ == 0) {
    // A session of its own whose controlling terminal is the pseudo-terminal, so that Ctrl-C
    // typed there reaches the program as SIGINT.
    setsid();
    const int slave = open(terminal.c_str(), O_RDWR);
    if (slave < 0) _exit(126);
    dup2(slave, STDIN_FILENO);
    dup2(slave, STDOUT_FILENO);
    dup2(slave, STDERR_FILENO);
    if (slave > STDERR_FILENO) close(slave);
    signal(SIGINT, SIG_DFL);
    ExecChild(argv);
  }
}

TerminalProcess::~TerminalProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    WaitProcess(pid_);
  }
  close(master_);
}

bool TerminalProcess::ReadSome(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd fd{master_, POLLIN, 0};
  const int ready = poll(&fd, 1, static_cast<int>(std::max<long long>(0, left.count())));
  if (ready < 0) return errno == EINTR;
  if (ready == 0) return true;
  char buffer[4096];
  const ssize_t n = read(master_, buffer, sizeof buffer);
  if (n <= 0) return n < 0 && errno == EINTR;  // EIO: the program closed the terminal
  output_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

bool TerminalProcess::WaitForOutput(const std::string& text, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (const std::size_t at = output_.find(text, seen_); at != std::string::npos) {
      seen_ = at + text.size();
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline || !ReadSome(deadline)) return false;
  }
}

void TerminalProcess::Type(const std::string& keys) {
  (void)!write(master_, keys.data(), keys.size());
}

std::optional<int> TerminalProcess::WaitForExit(std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  // Keep reading, so that a program with much to say is not held by a full terminal.
  while (ReadSome(deadline) && std::chrono::steady_clock::now() < deadline) {
  }
  // The terminal closes as the program ends; wait for its exit status within what is left.
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      pid_ = -1;
      return WIFSIGNALED(status) ? -WTERMSIG(status) : WEXITSTATUS(status);
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int WaitProcess(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1000;
  }
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace tarn::test
