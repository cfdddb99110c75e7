// raw2dpx: the converter's command-line face, for scripts and render farms.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <system_error>
#include <thread>
#include <utility>

#include "BatchRun.h"
#include "CommandLine.h"
#include "RawFiles.h"
#include "SystemResources.h"
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

// Expands folders and the --list file; returns false when an input could not be read. A folder
// without RAW files and a list without paths are reported: usually a mistyped path.
bool ExpandInputs(const CliOptions& options, std::vector<std::string>& paths) {
  bool ok = true;
  auto add = [&](const std::string& input) {
    std::error_code ec;
    if (fs::is_directory(input, ec)) {
      try {
        const auto files = options.recursive ? RawFilesInTree(input) : RawFilesInFolder(input);
        if (files.empty()) ReportError(input, "no RAW files found in this folder");
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
    const std::vector<std::string> listed = ParsePathList(text.str());
    if (listed.empty()) {
      ReportError(options.listFile == "-" ? "standard input" : options.listFile,
                  "no paths in the list");
    }
    for (const std::string& path : listed) add(path);
  }
  return ok;
}

// Reports every input sharing an output file with an earlier one; true when there are any.
bool ReportNameClashes(const std::vector<PlannedFrame>& frames) {
  const std::vector<NameClash> clashes = FindNameClashes(frames);
  for (const NameClash& clash : clashes) {
    ReportError(clash.second, "same output file as " + clash.first + " (" + clash.output + ")");
  }
  if (!clashes.empty()) {
    std::cerr << "raw2dpx: every input needs an output file name of its own; nothing converted\n";
  }
  return !clashes.empty();
}

// Why folder cannot take the output files, or "" when it can (or can be made). Looks only:
// --dry-run creates nothing.
std::string OutputFolderProblem(const std::string& folder) {
  std::error_code ec;
  fs::path existing = fs::absolute(folder, ec);
  if (ec) return ec.message();
  // The nearest part of the path that exists must be a folder for the rest to be made in it.
  while (!fs::exists(fs::symlink_status(existing, ec)) && existing.has_relative_path()) {
    existing = existing.parent_path();
  }
  if (!fs::is_directory(existing, ec)) {
    return std::error_code(ENOTDIR, std::generic_category()).message();
  }
  return "";
}

// Opens the RAW file the way its conversion does first, so that a missing or unreadable input
// is reported with the same code and text.
void CheckInputOpens(const std::string& path) {
  struct Stream {
    EdsStreamRef ref = nullptr;
    ~Stream() {
      if (ref != nullptr) EdsRelease(ref);
    }
  } stream;
  CheckEdsError(EdsCreateFileStream(path.c_str(), kEdsFileCreateDisposition_OpenExisting,
                                    kEdsAccess_Read, &stream.ref));
}

// One line a file: path and size; with --verbose also the develop path it takes. Scripts read
// the size as the last field of the plain form, so the path is added only on request.
// The colour of a file on indented lines below its --info line, where scripts that read the
// line's fields do not look.
void PrintCameraColour(const std::string& path) {
  const TCameraColour colour = CameraColour(path);
  const auto& m = colour.asShot.multipliers;
  char line[160];
  std::snprintf(line, sizeof line, "  white balance as shot: %.6f,%.6f,%.6f", m[0], m[1], m[2]);
  std::cout << line;
  if (colour.hasMatrix) {
    std::snprintf(line, sizeof line, " (about %.0f K, tint %+.1f)", colour.kelvin, colour.tint);
    std::cout << line << "\n  camera matrix (camera RGB to linear Rec.709):";
    for (const auto& row : colour.cameraToRec709) {
      std::snprintf(line, sizeof line, " %.4f,%.4f,%.4f", row[0], row[1], row[2]);
      std::cout << line << (&row == &colour.cameraToRec709.back() ? "" : ";");
    }
  }
  std::cout << "\n";
}

int PrintInfo(const std::vector<std::string>& paths, const TConvertOptions& convert, bool verbose) {
  int status = kExitOk;
  for (const std::string& path : paths) {
    try {
      const TRawImageSize size = GetRawImageSize(path);
      std::cout << path << "\t" << size.Width << "x" << size.Height;
      if (verbose) std::cout << "\t" << (UsesOwnDevelopPath(path, convert) ? "rcd" : "ahd");
      std::cout << "\n";
      if (verbose) PrintCameraColour(path);
    } catch (const EosError& e) {
      ReportError(path, e.what(), e.code());
      status = kExitFailed;
    }
  }
  return status;
}

// Lines typed at standard input, read so that Interrupt() from another thread ends a wait for
// one at once: Ctrl-C at the overwrite question must not wait for Enter.
class AnswerReader {
 public:
  AnswerReader() {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category());
  }
  ~AnswerReader() {
    ::close(wake_[0]);
    ::close(wake_[1]);
  }
  AnswerReader(const AnswerReader&) = delete;
  AnswerReader& operator=(const AnswerReader&) = delete;

  // Safe from any thread (and from the signal watcher): the waiting and every later read end.
  void Interrupt() {
    interrupted_ = true;
    (void)!::write(wake_[1], "x", 1);
  }
  bool Interrupted() const { return interrupted_; }

  // The next line without its line break; nullopt at the end of the input or when interrupted.
  std::optional<std::string> ReadLine() {
    for (;;) {
      if (interrupted_) return std::nullopt;
      if (const std::size_t end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      if (endOfInput_) {
        if (pending_.empty()) return std::nullopt;
        return std::exchange(pending_, std::string());
      }
      pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {wake_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        endOfInput_ = true;
        continue;
      }
      if (fds[1].revents != 0) continue;  // interrupted
      if (fds[0].revents == 0) continue;
      char buffer[256];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        endOfInput_ = true;
      } else {
        pending_.append(buffer, static_cast<std::size_t>(n));
      }
    }
  }

 private:
  int wake_[2] = {-1, -1};
  std::atomic<bool> interrupted_{false};
  bool endOfInput_ = false;
  std::string pending_;
};

class TerminalReport : public BatchObserver {
 public:
  TerminalReport(const std::vector<std::string>& inputs, OverwriteMode mode)
      : inputs_(inputs), mode_(mode), live_(isatty(STDERR_FILENO) != 0) {}

  OverwriteAnswer AskOverwrite(std::size_t, const std::string& outputPath) override {
    if (mode_ == OverwriteMode::Never) return OverwriteAnswer::No;
    ClearLine();
    asking_ = true;
    struct Asked {
      std::atomic<bool>& asking;
      ~Asked() { asking = false; }
    } asked{asking_};
    for (;;) {
      std::cerr << "Overwrite \"" << outputPath
                << "\"? [y]es, [n]o, [c]ancel, yes to [a]ll: " << std::flush;
      const std::optional<std::string> line = answers_.ReadLine();
      if (!line) {
        if (!answers_.Interrupted()) {
          std::cerr << "\nraw2dpx: no answer to the question (standard input ended); stopping\n";
        }
        return OverwriteAnswer::Cancel;
      }
      std::string answer = *line;
      answer.erase(0, answer.find_first_not_of(" \t"));
      answer.erase(answer.find_last_not_of(" \t\r") + 1);
      std::transform(answer.begin(), answer.end(), answer.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      if (answer == "y" || answer == "yes") return OverwriteAnswer::Yes;
      if (answer == "n" || answer == "no") return OverwriteAnswer::No;
      if (answer == "c" || answer == "cancel") return OverwriteAnswer::Cancel;
      if (answer == "a" || answer == "all") return OverwriteAnswer::YesToAll;
      std::cerr << "Answer y (yes: replace it), n (no: keep it), c (cancel: stop the run) or a "
                   "(yes to all: replace it and every other one).\n";
    }
  }

  // Ctrl-C: an open question ends unanswered (as Cancel), and a question to come is not asked.
  void Interrupt() {
    if (asking_) {
      std::cerr << "\n";
    } else {
      ClearLine();
    }
    answers_.Interrupt();
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
  AnswerReader answers_;
  std::atomic<bool> asking_{false};
  std::size_t done_ = 0;
  std::string current_;
};

// What the run would do, and what it would refuse, without converting or creating anything.
int DryRun(const std::vector<PlannedFrame>& frames, OverwriteMode mode) {
  int status = kExitOk;
  for (const PlannedFrame& frame : frames) {
    try {
      CheckInputOpens(frame.input);
    } catch (const EosError& e) {
      ReportError(frame.input, e.what(), e.code());
      status = kExitFailed;
      continue;
    }
    std::cout << frame.input << " -> " << frame.output;
    if (OutputFileExists(frame.output)) {
      std::cout << (mode == OverwriteMode::Never    ? "  (exists: would be skipped)"
                    : mode == OverwriteMode::Always ? "  (exists: would be replaced)"
                                                    : "  (exists: would ask)");
    }
    std::cout << "\n";
  }
  return status;
}

std::string ShardLabel(const CliOptions& options) {
  if (!options.shard) return "";
  return " shard " + std::to_string(options.shard->index) + "/" +
         std::to_string(options.shard->count);
}

// --verbose: what this process may use, as found in its affinity mask, its control groups and
// the system's available memory.
void ReportResources(std::optional<int> jobs) {
  const std::optional<std::int64_t> memory = UsableMemoryBytes();
  const int cpus = UsableCpuCount();
  std::cerr << "raw2dpx: " << cpus << (cpus == 1 ? " CPU" : " CPUs") << " usable, "
            << (memory ? std::to_string(*memory >> 20) + " MiB" : std::string("unknown"))
            << " of memory available";
  if (jobs)
    std::cerr << "; " << *jobs << (*jobs == 1 ? " conversion" : " conversions") << " at once";
  std::cerr << "\n";
}

// Ctrl-C and SIGTERM, taken by a thread of their own so that the batch stops cleanly: the
// first lets running conversions finish and starts no new one, the second stops at once. The
// signals must be blocked in every thread before it starts.
class SignalWatcher {
 public:
  SignalWatcher(const sigset_t& signals, BatchRun& run, TerminalReport& report)
      : signals_(signals) {
    try {
      thread_ = std::thread([this, &run, &report] { Watch(run, report); });
    } catch (const std::system_error& e) {
      throw Exception("cannot start the thread that takes Ctrl-C: " + e.code().message());
    }
  }
  ~SignalWatcher() {
    pthread_kill(thread_.native_handle(), SIGUSR1);  // the run is over
    thread_.join();
  }
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

  bool Interrupted() const { return interrupted_; }

 private:
  void Watch(BatchRun& run, TerminalReport& report) {
    int signal = 0;
    while (sigwait(&signals_, &signal) == 0) {
      if (signal == SIGUSR1) return;
      if (interrupted_.exchange(true)) {
        report.ClearLine();
        std::cerr << "raw2dpx: stopped\n";
        _exit(kExitInterrupted);
      }
      run.RequestCancel();
      report.Interrupt();
      std::cerr << "raw2dpx: interrupted; letting running conversions finish (again to stop "
                   "at once)\n";
    }
  }

  sigset_t signals_;
  std::atomic<bool> interrupted_{false};
  std::thread thread_;
};

SequenceSettings EffectiveSequence(const CliOptions& options) {
  SequenceSettings sequence = options.sequence;
  if (!options.orderGiven && (!sequence.pattern.empty() || options.shard)) {
    sequence.order = FileOrder::Name;
  }
  return sequence;
}

int Convert(const CliOptions& options) {
  EdsInitializeSDK();
  struct SdkGuard {
    ~SdkGuard() { EdsTerminateSDK(); }
  } sdkGuard;

  std::vector<std::string> paths;
  const bool inputsOk = ExpandInputs(options, paths);
  if (paths.empty()) {
    std::cerr << "raw2dpx: nothing found to " << (options.info ? "show" : "convert") << "\n";
    return kExitFailed;
  }
  if (options.info) {
    // A shard lists the frames it would convert, in the order it would convert them.
    if (options.shard) {
      try {
        const SequencePlan plan =
            PlanSequence(paths, options.outputFolder, EffectiveSequence(options));
        paths.clear();
        for (const PlannedFrame& frame :
             PlanSlice(plan.frames, options.shard->index, options.shard->count)) {
          paths.push_back(frame.input);
        }
      } catch (const Exception& e) {
        std::cerr << "raw2dpx: " << e.what() << "\n";
        return kExitUsage;
      }
    }
    if (options.verbose) ReportResources(std::nullopt);
    const int status = PrintInfo(paths, options.convert, options.verbose);
    return inputsOk ? status : kExitFailed;
  }

  // The whole list is ordered, named and numbered before a shard takes its slice, so that the
  // shards of a farm job write exactly the names one run would.
  std::vector<PlannedFrame> frames;
  try {
    SequencePlan plan = PlanSequence(paths, options.outputFolder, EffectiveSequence(options));
    for (const std::string& warning : plan.warnings) std::cerr << "raw2dpx: " << warning << "\n";
    frames = std::move(plan.frames);
  } catch (const Exception& e) {
    std::cerr << "raw2dpx: " << e.what() << "; nothing was converted\n";
    return kExitUsage;
  }
  // Checked on the whole list, also for a shard: the clashing inputs may fall into different
  // shards, which could write the one file at the same time.
  if (ReportNameClashes(frames)) return kExitUsage;
  if (options.shard) frames = PlanSlice(frames, options.shard->index, options.shard->count);
  paths.clear();
  for (const PlannedFrame& frame : frames) paths.push_back(frame.input);

  OverwriteMode mode = options.overwrite;
  if (mode == OverwriteMode::Default) {
    mode =
        isatty(STDIN_FILENO) && isatty(STDERR_FILENO) ? OverwriteMode::Ask : OverwriteMode::Never;
  }
  if (const std::string problem = OutputFolderProblem(options.outputFolder); !problem.empty()) {
    ReportError(options.outputFolder, "cannot use as output folder: " + problem);
    return kExitFailed;
  }
  // One balance for the whole sequence, read once before any frame: a reference frame that
  // cannot be read stops the run before anything is written.
  TConvertOptions convert = options.convert;
  if (!options.whiteBalanceFrom.empty()) {
    try {
      const TWhiteBalance balance = AsShotWhiteBalance(options.whiteBalanceFrom);
      convert.WhiteBalance = kWhiteBalanceMultipliers;
      convert.WhiteBalanceMultipliers = balance.multipliers;
      if (options.verbose) {
        const auto& m = balance.multipliers;
        char line[128];
        std::snprintf(line, sizeof line, "white balance for every frame: %.6f,%.6f,%.6f", m[0],
                      m[1], m[2]);
        std::cerr << "raw2dpx: " << line << " (as shot in " << options.whiteBalanceFrom << ")\n";
      }
    } catch (const EosError& e) {
      ReportError(options.whiteBalanceFrom,
                  std::string("cannot read the --wb-from white balance: ") + e.what(), e.code());
      return kExitFailed;
    }
  }
  if (options.dryRun) {
    if (options.verbose) ReportResources(std::nullopt);
    const int status = DryRun(frames, mode);
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
  settings.options = convert;
  settings.overwriteAll = mode == OverwriteMode::Always;
  settings.keepGoing = options.keepGoing;
  settings.jobs = options.jobs;
  settings.output = options.sequence.output;
  for (PlannedFrame& frame : frames) {
    settings.outputPaths.push_back(frame.output);
    settings.frames.push_back(std::move(frame.info));
  }
  if (settings.jobs == 0) {
    std::int64_t pixels = 0;
    try {
      // Only a batch has a number of jobs to choose: a single file is not opened twice.
      if (paths.size() > 1) {
        const TRawImageSize size = GetRawImageSize(paths.front());
        pixels = std::int64_t{size.Width} * size.Height;
      }
    } catch (const std::exception&) {
      // The conversion itself reports the file.
    }
    settings.jobs = SuggestedJobs(pixels);
  }
  if (options.verbose) ReportResources(settings.jobs);

  // From here Ctrl-C and SIGTERM go to the watcher; SIGUSR1 tells it the run is over.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  BatchRun run(paths, settings);
  TerminalReport report(paths, mode);
  BatchResult result;
  bool interrupted = false;
  {
    SignalWatcher watcher(stopSignals, run, report);
    result = run.Run(report);
    interrupted = watcher.Interrupted();
  }

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
  if (options.version) {
    std::cout << VersionText();
    return kExitOk;
  }
  try {
    return Convert(options);
  } catch (const std::exception& e) {
    // e.g. no thread for the signal watcher: said, not ended in std::terminate.
    std::cerr << "raw2dpx: " << e.what() << "\n";
    return kExitFailed;
  }
}
