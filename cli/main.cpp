// raw2dpx: the converter's command-line face, for scripts and render farms.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "BatchRun.h"
#include "CommandLine.h"
#include "RawFiles.h"
#include "edsdk/EDSDKApi.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

std::string Describe(const std::string& message, EdsError code) {
  return code != 0 ? message + " (" + EdsErrorDescription(code) + ")" : message;
}

void ReportError(const std::string& file, const std::string& message, EdsError code = 0) {
  std::cerr << "raw2dpx: " << file << ": " << Describe(message, code) << "\n";
}

// Expands folders and the --list file; returns false when an input could not be read.
bool ExpandInputs(const CliOptions& options, std::vector<std::string>& paths) {
  bool ok = true;
  auto add = [&](const std::string& input) {
    std::error_code ec;
    if (fs::is_directory(input, ec)) {
      try {
        const auto files = RawFilesInFolder(input);
        paths.insert(paths.end(), files.begin(), files.end());
      } catch (const std::exception& e) {
        std::cerr << "raw2dpx: " << e.what() << "\n";
        ok = false;
      }
    } else {
      paths.push_back(input);  // the developer reports a missing or unreadable file
    }
  };
  for (const std::string& input : options.inputs) add(input);
  if (!options.listFile.empty()) {
    std::ostringstream text;
    if (options.listFile == "-") {
      text << std::cin.rdbuf();
    } else {
      std::ifstream list(options.listFile);
      if (!list) {
        ReportError(
            options.listFile,
            "cannot read the list: " + std::error_code(errno, std::generic_category()).message());
        return false;
      }
      text << list.rdbuf();
    }
    for (const std::string& path : ParsePathList(text.str())) add(path);
  }
  return ok;
}

// Reports inputs sharing an output file; true when there are any.
bool ReportOutputClashes(const std::vector<std::string>& paths, const std::string& outputFolder) {
  constexpr std::size_t kShown = 10;
  const std::vector<OutputClash> clashes = OutputClashes(paths, outputFolder);
  for (std::size_t i = 0; i < std::min(clashes.size(), kShown); ++i) {
    ReportError(clashes[i].second,
                "same output file as " + clashes[i].first + " (" + clashes[i].output + ")");
  }
  if (clashes.size() > kShown) {
    std::cerr << "raw2dpx: and " << clashes.size() - kShown << " more inputs like these\n";
  }
  if (!clashes.empty()) {
    std::cerr << "raw2dpx: with --shard every input needs an output file name of its own\n";
  }
  return !clashes.empty();
}

int PrintInfo(const std::vector<std::string>& paths, const TConvertOptions& convert) {
  int status = kExitOk;
  for (const std::string& path : paths) {
    try {
      const TRawImageSize size = GetRawImageSize(path);
      const bool own = UsesOwnDevelopPath(path, convert);
      std::cout << path << "\t" << size.Width << "x" << size.Height << "\t" << (own ? "rcd" : "ahd")
                << "\n";
    } catch (const EosError& e) {
      ReportError(path, e.what(), e.code());
      status = kExitFailed;
    }
  }
  return status;
}

class TerminalReport : public BatchObserver {
 public:
  TerminalReport(const std::vector<std::string>& inputs, OverwriteMode mode)
      : inputs_(inputs), mode_(mode), live_(isatty(STDERR_FILENO) != 0) {}

  OverwriteAnswer AskOverwrite(std::size_t, const std::string& outputPath) override {
    if (mode_ == OverwriteMode::Never) return OverwriteAnswer::No;
    ClearLine();
    for (;;) {
      std::cerr << "Overwrite \"" << outputPath
                << "\"? [y]es, [n]o, [c]ancel, yes to [a]ll: " << std::flush;
      std::string answer;
      if (!std::getline(std::cin, answer)) return OverwriteAnswer::Cancel;
      if (answer == "y" || answer == "yes") return OverwriteAnswer::Yes;
      if (answer == "n" || answer == "no") return OverwriteAnswer::No;
      if (answer == "c" || answer == "cancel") return OverwriteAnswer::Cancel;
      if (answer == "a" || answer == "all") return OverwriteAnswer::YesToAll;
    }
  }

  void EntryStarted(std::size_t index, const std::string&) override {
    current_ = fs::path(inputs_[index]).filename().string();
    Show();
  }

  void EntryFinished(std::size_t index, EntryOutcome outcome,
                     const BatchFailure* failure) override {
    ++done_;
    if (failure != nullptr) {
      ClearLine();
      ReportError(failure->input, failure->message, failure->code);
    } else if (outcome == EntryOutcome::Skipped) {
      ClearLine();
      std::cerr << "raw2dpx: " << inputs_[index] << ": skipped, the output file exists\n";
    } else if (!live_ && outcome == EntryOutcome::Converted) {
      std::cerr << "[" << done_ << "/" << inputs_.size() << "] " << inputs_[index] << "\n";
    }
    Show();
  }

  void ClearLine() {
    if (live_) std::cerr << "\r\033[K" << std::flush;
  }

 private:
  void Show() {
    if (!live_) return;
    const std::size_t total = inputs_.size();
    std::cerr << "\r\033[K[" << done_ << "/" << total << "] " << (done_ * 100 / total) << "%  "
              << current_ << std::flush;
  }

  const std::vector<std::string>& inputs_;
  OverwriteMode mode_;
  bool live_;
  std::size_t done_ = 0;
  std::string current_;
};

int DryRun(const std::vector<std::string>& paths, const CliOptions& options, OverwriteMode mode) {
  for (const std::string& path : paths) {
    const std::string output = OutputPathFor(options.outputFolder, path);
    std::cout << path << " -> " << output;
    if (OutputFileExists(output)) {
      std::cout << (mode == OverwriteMode::Never    ? "  (exists: would be skipped)"
                    : mode == OverwriteMode::Always ? "  (exists: would be replaced)"
                                                    : "  (exists: would ask)");
    }
    std::cout << "\n";
  }
  return kExitOk;
}

std::string ShardLabel(const CliOptions& options) {
  if (!options.shard) return "";
  return " shard " + std::to_string(options.shard->index) + "/" +
         std::to_string(options.shard->count);
}

}  // namespace

int main(int argc, char** argv) {
  CliOptions options;
  try {
    options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const UsageError& e) {
    std::cerr << "raw2dpx: " << e.what() << "\nTry 'raw2dpx --help'.\n";
    return kExitUsage;
  }
  if (options.help) {
    std::cout << UsageText();
    return kExitOk;
  }

  EdsInitializeSDK();
  struct SdkGuard {
    ~SdkGuard() { EdsTerminateSDK(); }
  } sdkGuard;

  std::vector<std::string> paths;
  const bool inputsOk = ExpandInputs(options, paths);
  if (options.shard) {
    // Checked on the whole list: the clashing inputs may fall into different shards.
    if (!options.info && ReportOutputClashes(paths, options.outputFolder)) return kExitUsage;
    paths = ShardSlice(std::move(paths), *options.shard);
  }
  if (options.info) {
    const int status = PrintInfo(paths, options.convert);
    return inputsOk ? status : kExitFailed;
  }

  OverwriteMode mode = options.overwrite;
  if (mode == OverwriteMode::Default) {
    mode =
        isatty(STDIN_FILENO) && isatty(STDERR_FILENO) ? OverwriteMode::Ask : OverwriteMode::Never;
  }
  if (options.dryRun) {
    const int status = DryRun(paths, options, mode);
    return inputsOk ? status : kExitFailed;
  }

  std::error_code ec;
  fs::create_directories(options.outputFolder, ec);
  if (!fs::is_directory(options.outputFolder)) {
    ReportError(options.outputFolder,
                "cannot use as output folder" + (ec ? ": " + ec.message() : std::string()));
    return kExitFailed;
  }

  BatchSettings settings;
  settings.outputFolder = options.outputFolder;
  settings.options = options.convert;
  settings.overwriteAll = mode == OverwriteMode::Always;
  settings.keepGoing = options.keepGoing;
  settings.jobs = options.jobs;
  if (settings.jobs == 0) {
    std::int64_t pixels = 0;
    try {
      if (!paths.empty()) {
        const TRawImageSize size = GetRawImageSize(paths.front());
        pixels = std::int64_t{size.Width} * size.Height;
      }
    } catch (const std::exception&) {
      // The conversion itself reports the file.
    }
    settings.jobs = SuggestedJobs(pixels);
  }

  // From here Ctrl-C and SIGTERM are taken by a watcher thread, so that the batch stops
  // cleanly; SIGUSR1 tells the watcher the run is over. Blocked before any worker starts, so
  // every thread inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  BatchRun run(paths, settings);
  TerminalReport report(paths, mode);
  std::atomic<bool> interrupted{false};
  std::thread watcher([&] {
    int signal = 0;
    while (sigwait(&stopSignals, &signal) == 0) {
      if (signal == SIGUSR1) return;  // the run is over
      if (interrupted.exchange(true)) {
        report.ClearLine();
        std::cerr << "raw2dpx: stopped\n";
        _exit(kExitInterrupted);
      }
      run.RequestCancel();
      report.ClearLine();
      std::cerr << "raw2dpx: interrupted; letting running conversions finish (again to stop "
                   "at once)\n";
    }
  });
  const BatchResult result = run.Run(report);
  pthread_kill(watcher.native_handle(), SIGUSR1);
  watcher.join();

  report.ClearLine();
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f", result.seconds);
  std::cout << "raw2dpx" << ShardLabel(options) << ": " << result.converted << " converted, "
            << result.skipped << " skipped, " << result.failed << " failed"
            << (result.cancelled ? ", cancelled" : "") << " in " << seconds << " s\n";

  if (interrupted) return kExitInterrupted;
  if (!inputsOk || result.failed > 0 || result.cancelled) return kExitFailed;
  return kExitOk;
}
