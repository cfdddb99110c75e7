// Runs a program the way a user or a farm would, and collects what it printed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tarn::test {

struct ProcessOptions {
  std::optional<uid_t> runAs;              // drop to this user (and its group) before exec
  std::optional<long long> fileSizeLimit;  // RLIMIT_FSIZE in bytes; SIGXFSZ is ignored
  std::string input;                       // standard input
  // RLIMIT_NPROC: threads and processes the user may have (with runAs; root is not bound)
  std::optional<long long> processLimit;
};

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal
  int signal = 0;
  std::string out;
  std::string err;
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Runs inChild in a forked child (for limits or a user that must not touch this process) and
// returns the text it returned.
std::string TextFromChild(const std::function<std::string()>& inChild);

// Starts a program in the background (output discarded); returns its process id.
pid_t StartProcess(const std::vector<std::string>& argv);
// Waits for it; the exit code, or -signal when a signal ended it.
int WaitProcess(pid_t pid);

// A program on a terminal of its own (a pseudo-terminal, as when a user runs it in a shell): its
// output can be waited for, and keys typed, Ctrl-C included.
class TerminalProcess {
 public:
  explicit TerminalProcess(const std::vector<std::string>& argv);
  ~TerminalProcess();  // kills the program if it still runs
  TerminalProcess(const TerminalProcess&) = delete;
  TerminalProcess& operator=(const TerminalProcess&) = delete;

  // Reads the program's output until text appears after what earlier waits have taken; false
  // when the program ends or the limit passes first.
  bool WaitForOutput(const std::string& text, std::chrono::seconds limit);
  void Type(const std::string& keys);
  // The exit code, -signal when a signal ended it, or nullopt when it still runs at the limit.
  std::optional<int> WaitForExit(std::chrono::seconds limit);
  // Everything the program wrote so far.
  const std::string& Output() const { return output_; }

 private:
  // Reads what is there within the time left; false when the terminal has closed.
  bool ReadSome(std::chrono::steady_clock::time_point deadline);

  int master_ = -1;
  pid_t pid_ = -1;
  std::string output_;
  std::size_t seen_ = 0;
};

}  // namespace tarn::test
