// The batch engine behind both the window's Convert button and the command-line tool: converts
// a list of RAW files into one folder on a pool of workers.
//
// What a caller can rely on: entries start in list order; the overwrite question for an entry is
// asked in list order, when its turn comes, and never while an earlier entry that writes the same
// output path is still running; after a cancel or a failure (unless KeepGoing) no further entry
// starts, the running ones finish, and only then does Run return. Every output file appears
// complete or not at all.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RawToDpx.h"

enum class OverwriteAnswer { Yes, No, Cancel, YesToAll };

enum class EntryOutcome { NotStarted, Converted, Skipped, Failed };

struct BatchFailure {
  std::size_t index = 0;
  std::string input;
  std::string message;  // the error's own text, e.g. "EOS Error: 0000002D"
  EdsError code = 0;    // the SDK code when the failure came from the SDK, else 0
};

// The output path of one entry: the file name of inputPath with its extension replaced by
// ".dpx" (appended when there is none), in outputFolder. A dot in a folder name is no extension.
// The separator is inserted even when the folder already ends with one.
std::string OutputPathFor(const std::string& outputFolder, const std::string& inputPath);

// Whether the overwrite question applies: something other than a folder is at path.
bool OutputFileExists(const std::string& path);

struct BatchSettings {
  std::string outputFolder;
  TConvertOptions options;
  int jobs = 1;               // conversions at once (at least 1)
  bool overwriteAll = false;  // as if "Yes to All" had been answered before the first entry
  bool keepGoing = false;     // a failed entry does not stop the run
  TOutputSettings output;     // the file format
  // When set, one per input: the output path to write instead of OutputPathFor's, and what the
  // file's header carries (nullopt: a plain DPX header).
  std::vector<std::string> outputPaths;
  std::vector<std::optional<TFrameInfo>> frames;
};

// Callbacks of a run. All of them are called on the thread that called Run, one at a time.
class BatchObserver {
 public:
  virtual ~BatchObserver() = default;
  // The output file exists: may it be replaced? Asked only when its entry's turn has come.
  virtual OverwriteAnswer AskOverwrite(std::size_t index, const std::string& outputPath) = 0;
  virtual void EntryStarted(std::size_t /*index*/, const std::string& /*outputPath*/) {}
  // failure is set for EntryOutcome::Failed only.
  virtual void EntryFinished(std::size_t /*index*/, EntryOutcome /*outcome*/,
                             const BatchFailure* /*failure*/) {}
};

struct BatchResult {
  std::vector<EntryOutcome> outcomes;  // one per entry
  std::size_t converted = 0;
  std::size_t skipped = 0;
  std::size_t failed = 0;
  bool cancelled = false;              // by RequestCancel or a "Cancel" answer
  std::vector<BatchFailure> failures;  // in list order
  double seconds = 0;
};

class BatchRun {
 public:
  BatchRun(std::vector<std::string> inputs, BatchSettings settings);

  // Runs the whole batch on the calling thread (which coordinates; conversions run on workers)
  // and returns when every started conversion has finished.
  BatchResult Run(BatchObserver& observer);

  // Safe from any thread, also while Run waits for a worker: no further entry starts.
  void RequestCancel();
  bool CancelRequested() const { return cancel_.load(); }

 private:
  std::vector<std::string> inputs_;
  BatchSettings settings_;
  std::atomic<bool> cancel_{false};
  struct Shared;
  std::shared_ptr<Shared> shared_;
};

// How many conversions may run at once: one per core, fewer when the memory available would not
// hold that many pictures of pixelCount pixels at once. Never less than 1.
int SuggestedJobs(std::int64_t pixelCount);
// Bytes of memory one conversion of a pixelCount-pixel picture may take at its peak.
std::int64_t EstimatedConversionBytes(std::int64_t pixelCount);
