#include "Subprocess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

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

int WaitProcess(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1000;
  }
  if (WIFSIGNALED(status)) return -WTERMSIG(status);
  return WEXITSTATUS(status);
}

}  // namespace tarn::test
