// Runs a program the way a user or a farm would, and collects what it printed.
#pragma once

#include <sys/types.h>

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

// Starts a program in the background (output discarded); returns its process id.
pid_t StartProcess(const std::vector<std::string>& argv);
// Waits for it; the exit code, or -signal when a signal ended it.
int WaitProcess(pid_t pid);

}  // namespace tarn::test
