#include "BatchRun.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>

#include "SystemResources.h"
#include "develop/HugePageBuffer.h"

namespace fs = std::filesystem;

std::string OutputPathFor(const std::string& outputFolder, const std::string& inputPath) {
  const std::size_t nameStart = inputPath.find_last_of(fs::path::preferred_separator);
  std::string name = nameStart == std::string::npos ? inputPath : inputPath.substr(nameStart + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot != std::string::npos) name.erase(dot);
  return outputFolder + static_cast<char>(fs::path::preferred_separator) + name + ".dpx";
}

bool OutputFileExists(const std::string& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  return fs::exists(status) && !fs::is_directory(status);
}

struct BatchRun::Shared {
  struct Completion {
    std::size_t index;
    std::optional<BatchFailure> failure;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Completion> completions;
  std::multiset<std::string> runningOutputs;
  std::size_t running = 0;
};

BatchRun::BatchRun(std::vector<std::string> inputs, BatchSettings settings)
    : inputs_(std::move(inputs)),
      settings_(std::move(settings)),
      shared_(std::make_shared<Shared>()) {
  if ((!settings_.outputPaths.empty() && settings_.outputPaths.size() != inputs_.size()) ||
      (!settings_.frames.empty() && settings_.frames.size() != inputs_.size())) {
    throw Exception("BatchRun: one output path and one frame description per input");
  }
}

void BatchRun::RequestCancel() {
  {
    std::lock_guard lock(shared_->mutex);
    cancel_ = true;
  }
  shared_->changed.notify_all();
}

BatchResult BatchRun::Run(BatchObserver& observer) {
  const auto start = std::chrono::steady_clock::now();
  BatchResult result;
  result.outcomes.assign(inputs_.size(), EntryOutcome::NotStarted);
  const std::size_t jobs = static_cast<std::size_t>(std::max(1, settings_.jobs));
  bool overwriteAll = settings_.overwriteAll;
  bool stopOnFailure = false;
  bool noThread = false;  // a worker could not be started: stop whatever keepGoing says
  std::vector<std::string> outputs(inputs_.size());
  Shared& shared = *shared_;
  std::vector<std::thread> workers;
  workers.reserve(inputs_.size());  // so that only the thread itself can fail to start
  // However Run ends, also by an exception from the observer, the running conversions finish
  // first: a thread still joinable when its object goes away ends the whole process.
  struct JoinAll {
    std::vector<std::thread>& threads;
    ~JoinAll() {
      for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
      }
    }
  } joinAll{workers};

  // Reports finished conversions to the observer; called with the lock released.
  auto drain = [&](std::unique_lock<std::mutex>& lock) {
    while (!shared.completions.empty()) {
      std::vector<Shared::Completion> done;
      done.swap(shared.completions);
      lock.unlock();
      for (Shared::Completion& c : done) {
        if (c.failure) {
          result.outcomes[c.index] = EntryOutcome::Failed;
          ++result.failed;
          observer.EntryFinished(c.index, EntryOutcome::Failed, &*c.failure);
          result.failures.push_back(std::move(*c.failure));
          if (!settings_.keepGoing) stopOnFailure = true;
        } else {
          result.outcomes[c.index] = EntryOutcome::Converted;
          ++result.converted;
          observer.EntryFinished(c.index, EntryOutcome::Converted, nullptr);
        }
      }
      lock.lock();
    }
  };
  auto mustStop = [&] { return cancel_.load() || stopOnFailure || noThread; };

  for (std::size_t i = 0; i < inputs_.size(); ++i) {
    const std::string& output = outputs[i] = settings_.outputPaths.empty()
                                                 ? OutputPathFor(settings_.outputFolder, inputs_[i])
                                                 : settings_.outputPaths[i];
    {
      // Wait for a free worker and for any earlier entry writing the same file to finish, so
      // that the question below sees what that entry left.
      std::unique_lock lock(shared.mutex);
      for (;;) {
        drain(lock);
        if (mustStop()) break;
        if (shared.running < jobs && shared.runningOutputs.count(output) == 0) break;
        shared.changed.wait(lock);
      }
      if (mustStop()) break;
    }

    if (!overwriteAll && OutputFileExists(output)) {
      const OverwriteAnswer answer = observer.AskOverwrite(i, output);
      if (answer == OverwriteAnswer::Cancel) {
        RequestCancel();
        break;
      }
      if (answer == OverwriteAnswer::No) {
        result.outcomes[i] = EntryOutcome::Skipped;
        ++result.skipped;
        observer.EntryFinished(i, EntryOutcome::Skipped, nullptr);
        continue;
      }
      if (answer == OverwriteAnswer::YesToAll) overwriteAll = true;
      // A cancel or a failure that came while the question was open stops the run here.
      std::unique_lock lock(shared.mutex);
      drain(lock);
      if (mustStop()) break;
    }

    {
      std::lock_guard lock(shared.mutex);
      ++shared.running;
      shared.runningOutputs.insert(output);
    }
    observer.EntryStarted(i, output);
    try {
      workers.emplace_back([this, i, &shared, &output] {
        std::optional<BatchFailure> failure;
        try {
          const std::optional<TFrameInfo>* frame =
              i < settings_.frames.size() ? &settings_.frames[i] : nullptr;
          ConvertRawFile(inputs_[i], output, settings_.options, settings_.output,
                         frame != nullptr && frame->has_value() ? &**frame : nullptr);
        } catch (const EosError& e) {
          failure = BatchFailure{i, inputs_[i], e.what(), e.code()};
        } catch (const std::exception& e) {
          failure = BatchFailure{i, inputs_[i], e.what(), 0};
        }
        {
          std::lock_guard lock(shared.mutex);
          --shared.running;
          shared.runningOutputs.erase(shared.runningOutputs.find(output));
          shared.completions.push_back({i, std::move(failure)});
        }
        shared.changed.notify_all();
      });
    } catch (const std::system_error& e) {
      // No thread for this entry (the process or user thread limit is reached): the entry
      // fails with the reason, and the run stops once the running conversions have finished.
      {
        std::lock_guard lock(shared.mutex);
        --shared.running;
        shared.runningOutputs.erase(shared.runningOutputs.find(output));
        shared.completions.push_back(
            {i, BatchFailure{i, inputs_[i],
                             std::string("cannot start a conversion thread: ") + e.code().message(),
                             0}});
      }
      noThread = true;
    }
  }

  {
    std::unique_lock lock(shared.mutex);
    for (;;) {
      drain(lock);
      if (shared.running == 0) break;
      shared.changed.wait(lock);
    }
    drain(lock);
  }
  for (std::thread& worker : workers) worker.join();
  // The frames' buffers served the batch; an idle program keeps none.
  DropSpareBuffers();

  std::sort(result.failures.begin(), result.failures.end(),
            [](const BatchFailure& a, const BatchFailure& b) { return a.index < b.index; });
  result.cancelled = cancel_.load();
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return result;
}

std::int64_t EstimatedConversionBytes(std::int64_t pixelCount) {
  // The developer holds the raw mosaic (2 bytes a pixel), its working image (4 channels of 16
  // bits) and its 16-bit RGB result, and we hold the output buffer (6 bytes a pixel): about 22
  // bytes a pixel at the peak, plus a fixed allowance for the library itself.
  constexpr std::int64_t kBytesPerPixel = 22;
  constexpr std::int64_t kFixed = 64ll << 20;
  return pixelCount * kBytesPerPixel + kFixed;
}

int SuggestedJobs(std::int64_t pixelCount) {
  const int cores = UsableCpuCount();
  const std::optional<std::int64_t> available = UsableMemoryBytes();
  if (!available || pixelCount <= 0) return cores;
  // Leave a quarter of what is free to the rest of the system.
  const std::int64_t budget = *available / 4 * 3;
  const std::int64_t fits = budget / EstimatedConversionBytes(pixelCount);
  return static_cast<int>(std::clamp<std::int64_t>(fits, 1, cores));
}
