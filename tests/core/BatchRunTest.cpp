// The batch engine against the fake SDK backend: order of starts and questions, the answers,
// stopping on cancel and on failure, and the output names.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "BatchRun.h"
#include "FakeEdsBackend.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using tarn::test::ReadFileBytes;
using tarn::test::TempDir;
using tarn::test::WriteFileBytes;

TEST(OutputPathForTest, FormsTheDpxNameInTheFolder) {
  const struct {
    const char* folder;
    const char* input;
    const char* expected;
  } rows[] = {
      {"/out", "/raw/IMG_0001.CR2", "/out/IMG_0001.dpx"},
      {"/out", "/raw/IMG_1", "/out/IMG_1.dpx"},       // no extension: appended
      {"/out", "/raw.day1/IMG_1", "/out/IMG_1.dpx"},  // a dot in a folder is no extension
      {"/out", "/raw/a.b.cr2", "/out/a.b.dpx"},       // only the last extension goes
      {"/out", "IMG_2.nef", "/out/IMG_2.dpx"},        // bare name
      {"/", "/raw/IMG_3.cr2", "//IMG_3.dpx"},         // separator added after a root too
      {"/out/", "/raw/IMG_4.cr2", "/out//IMG_4.dpx"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(OutputPathFor(row.folder, row.input), row.expected) << row.input;
  }
}

namespace {

// Records what the engine reports and answers questions from a script.
class ScriptedObserver : public BatchObserver {
 public:
  std::vector<OverwriteAnswer> answers;  // consumed in order; Yes when exhausted
  std::vector<std::string> questions;
  std::vector<std::size_t> started;
  std::map<std::size_t, EntryOutcome> finished;
  std::function<void(std::size_t)> onFinished;

  OverwriteAnswer AskOverwrite(std::size_t, const std::string& outputPath) override {
    questions.push_back(fs::path(outputPath).filename().string());
    if (answers.empty()) return OverwriteAnswer::Yes;
    const OverwriteAnswer answer = answers.front();
    answers.erase(answers.begin());
    return answer;
  }
  void EntryStarted(std::size_t index, const std::string&) override { started.push_back(index); }
  void EntryFinished(std::size_t index, EntryOutcome outcome, const BatchFailure*) override {
    finished[index] = outcome;
    if (onFinished) onFinished(index);
  }
};

class BatchRunTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    fake = std::make_shared<FakeEdsBackend>();
    fake->SetDefaultSize(4, 2);
    fake->SetDevelopDelay(std::chrono::milliseconds(20));
    SetEdsBackend(fake);
    settings.outputFolder = out.path().string();
    settings.jobs = GetParam();
  }
  void TearDown() override { SetEdsBackend(nullptr); }

  BatchResult RunBatch(const std::vector<std::string>& inputs) {
    BatchRun run(inputs, settings);
    return run.Run(observer);
  }
  bool IsDpx(const std::string& name) {
    return ReadFileBytes(out / name).size() == 2048 + 4 * 2 * 6;
  }

  std::shared_ptr<FakeEdsBackend> fake;
  TempDir out;
  BatchSettings settings;
  ScriptedObserver observer;
};

}  // namespace

TEST_P(BatchRunTest, ConvertsEveryEntryStartingInListOrder) {
  const auto result = RunBatch({"/r/a.cr2", "/r/b.cr2", "/r/c.cr2", "/r/d.cr2"});
  EXPECT_EQ(result.converted, 4u);
  EXPECT_EQ(observer.started, (std::vector<std::size_t>{0, 1, 2, 3}));
  EXPECT_TRUE(observer.questions.empty());
  for (const char* name : {"a.dpx", "b.dpx", "c.dpx", "d.dpx"}) EXPECT_TRUE(IsDpx(name)) << name;
  EXPECT_EQ(fake->LiveObjects(), 0);
}

TEST_P(BatchRunTest, AnswersToTheOverwriteQuestion) {
  for (const char* name : {"a.dpx", "b.dpx", "c.dpx", "d.dpx"}) WriteFileBytes(out / name, "old");
  const std::vector<std::string> inputs = {"/r/a.cr2", "/r/b.cr2", "/r/c.cr2", "/r/d.cr2"};

  // Yes converts, No skips and keeps the file, Cancel ends the run keeping the file.
  observer.answers = {OverwriteAnswer::Yes, OverwriteAnswer::No, OverwriteAnswer::Cancel};
  auto result = RunBatch(inputs);
  EXPECT_EQ(observer.questions, (std::vector<std::string>{"a.dpx", "b.dpx", "c.dpx"}));
  EXPECT_TRUE(IsDpx("a.dpx"));
  EXPECT_EQ(ReadFileBytes(out / "b.dpx"), "old");
  EXPECT_EQ(ReadFileBytes(out / "c.dpx"), "old");
  EXPECT_EQ(ReadFileBytes(out / "d.dpx"), "old");
  EXPECT_TRUE(result.cancelled);
  EXPECT_EQ(result.outcomes,
            (std::vector<EntryOutcome>{EntryOutcome::Converted, EntryOutcome::Skipped,
                                       EntryOutcome::NotStarted, EntryOutcome::NotStarted}));

  // Yes to All: one question for the rest of this run, and the next run asks again.
  observer.questions.clear();
  observer.answers = {OverwriteAnswer::No, OverwriteAnswer::YesToAll};
  result = RunBatch(inputs);
  EXPECT_EQ(observer.questions, (std::vector<std::string>{"a.dpx", "b.dpx"}));
  EXPECT_EQ(result.converted, 3u);
  for (const char* name : {"b.dpx", "c.dpx", "d.dpx"}) EXPECT_TRUE(IsDpx(name)) << name;

  observer.questions.clear();
  observer.answers = {OverwriteAnswer::Cancel};
  RunBatch(inputs);
  EXPECT_EQ(observer.questions, (std::vector<std::string>{"a.dpx"}));
}

TEST_P(BatchRunTest, SameOutputNameTwiceAsksAboutTheFirstOnesFile) {
  observer.answers = {OverwriteAnswer::No};
  const auto result = RunBatch({"/r1/x.cr2", "/r2/x.nef", "/r3/y.cr2"});
  // The second entry waits for the first to finish, then finds its file.
  EXPECT_EQ(observer.questions, (std::vector<std::string>{"x.dpx"}));
  EXPECT_EQ(result.outcomes[1], EntryOutcome::Skipped);
  EXPECT_EQ(result.converted, 2u);
}

TEST_P(BatchRunTest, FailureStopsFurtherStartsAndIsReported) {
  fake->FailPath("/r/c.cr2", 0x2D);
  const auto result = RunBatch({"/r/a.cr2", "/r/b.cr2", "/r/c.cr2", "/r/d.cr2", "/r/e.cr2"});
  ASSERT_EQ(result.failures.size(), 1u);
  EXPECT_EQ(result.failures[0].index, 2u);
  EXPECT_EQ(result.failures[0].message, "EOS Error: 0000002D");
  EXPECT_EQ(result.failures[0].code, 0x2Du);
  EXPECT_TRUE(IsDpx("a.dpx"));
  EXPECT_TRUE(IsDpx("b.dpx"));
  EXPECT_FALSE(fs::exists(out / "c.dpx"));
  EXPECT_EQ(result.outcomes[4], EntryOutcome::NotStarted);
  if (GetParam() == 1) {
    EXPECT_FALSE(fs::exists(out / "d.dpx"));
  }
  // Whatever was running when the failure came has finished whole or not at all.
  for (std::size_t i = 0; i < result.outcomes.size(); ++i) {
    if (result.outcomes[i] == EntryOutcome::Converted) {
      EXPECT_TRUE(IsDpx(std::string(1, char('a' + i)) + ".dpx"));
    }
  }
  EXPECT_EQ(fake->LiveObjects(), 0);
}

TEST_P(BatchRunTest, FailureWhileAQuestionIsOpenStartsNothingMore) {
  // a is still developing when b's question comes (with two workers), and fails before the
  // answer.
  WriteFileBytes(out / "b.dpx", "old");
  fake->FailAt("GetPointer", 0x2D);
  struct WaitingObserver : ScriptedObserver {
    std::shared_ptr<FakeEdsBackend> fake;
    OverwriteAnswer AskOverwrite(std::size_t index, const std::string& outputPath) override {
      const auto failed = [&] {
        const auto ops = fake->Ops();
        return std::find(ops.begin(), ops.end(), "Release") != ops.end();
      };
      for (int i = 0; i < 500 && !failed(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      // The failure travels from the SDK call to the run's bookkeeping in microseconds.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      return ScriptedObserver::AskOverwrite(index, outputPath);
    }
  } waiting;
  waiting.fake = fake;
  const auto result = BatchRun({"/r/a.cr2", "/r/b.cr2", "/r/c.cr2"}, settings).Run(waiting);
  ASSERT_EQ(result.failures.size(), 1u);
  EXPECT_EQ(result.failures[0].index, 0u);
  EXPECT_EQ(ReadFileBytes(out / "b.dpx"), "old");
  EXPECT_EQ(result.outcomes[1], EntryOutcome::NotStarted);
  EXPECT_EQ(result.outcomes[2], EntryOutcome::NotStarted);
  EXPECT_EQ(fake->LiveObjects(), 0);
}

TEST_P(BatchRunTest, FolderInPlaceOfTheOutputIsNoFileToAskAbout) {
  fs::create_directory(out / "b.dpx");
  const auto result = RunBatch({"/r/a.cr2", "/r/b.cr2", "/r/c.cr2"});
  EXPECT_TRUE(observer.questions.empty());
  ASSERT_EQ(result.failures.size(), 1u);
  EXPECT_EQ(result.failures[0].index, 1u);
  EXPECT_EQ(result.failures[0].message.rfind("Cannot create file \"" + (out / "b.dpx").string(), 0),
            0u)
      << result.failures[0].message;
  EXPECT_TRUE(fs::is_directory(out / "b.dpx"));
}

TEST_P(BatchRunTest, KeepGoingConvertsTheRestAndListsEveryFailure) {
  settings.keepGoing = true;
  fake->FailPath("/r/b.cr2", 0x2C);
  fake->FailPath("/r/d.cr2", 0x22);
  const auto result = RunBatch({"/r/a.cr2", "/r/b.cr2", "/r/c.cr2", "/r/d.cr2", "/r/e.cr2"});
  EXPECT_EQ(result.converted, 3u);
  ASSERT_EQ(result.failures.size(), 2u);
  EXPECT_EQ(result.failures[0].index, 1u);
  EXPECT_EQ(result.failures[1].message, "EOS Error: 00000022");
}

TEST_P(BatchRunTest, CancelStartsNothingMoreAndLetsRunningEntriesFinish) {
  BatchRun run({"/r/a.cr2", "/r/b.cr2", "/r/c.cr2", "/r/d.cr2", "/r/e.cr2", "/r/f.cr2"}, settings);
  observer.onFinished = [&](std::size_t) { run.RequestCancel(); };
  const auto result = run.Run(observer);
  EXPECT_TRUE(result.cancelled);
  // At most the entries already running when the first one finished get converted.
  EXPECT_LE(observer.started.size(), static_cast<std::size_t>(GetParam()) + 1);
  EXPECT_EQ(result.converted, observer.started.size());
  EXPECT_EQ(result.outcomes.back(), EntryOutcome::NotStarted);
}

INSTANTIATE_TEST_SUITE_P(Workers, BatchRunTest, ::testing::Values(1, 2),
                         [](const auto& info) { return "jobs" + std::to_string(info.param); });

TEST(SuggestedJobsTest, FitsTheMemoryAndStaysWithinTheCores) {
  const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  EXPECT_GE(SuggestedJobs(24'000'000), 1);
  EXPECT_LE(SuggestedJobs(24'000'000), cores);
  EXPECT_EQ(SuggestedJobs(std::int64_t{1} << 40), 1);  // a picture no memory holds twice
}

namespace {

// Notes each outcome and wakes the test at the first failure.
class FailureWatch : public BatchObserver {
 public:
  std::promise<void> failed;
  std::string message;

  OverwriteAnswer AskOverwrite(std::size_t, const std::string&) override {
    return OverwriteAnswer::Yes;
  }
  void EntryFinished(std::size_t, EntryOutcome outcome, const BatchFailure* failure) override {
    if (outcome == EntryOutcome::Failed && message.empty()) {
      message = failure->message;
      failed.set_value();
    }
  }
};

}  // namespace

// The user's process limit is reached (ulimit -u) while a conversion runs: the entry that gets
// no thread fails with the reason, no further entry starts, and the run waits for the running
// conversion instead of ending the process.
TEST(BatchRunThreadLimitTest, AnEntryWithoutAThreadFailsWhileAnotherConverts) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run under a user of its own";
  TempDir dir;
  fs::permissions(dir.path(), fs::perms::all);
  int channel[2];
  ASSERT_EQ(pipe(channel), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(channel[0]);
    std::string summary;
    // A user no other process has, allowed this process and one thread more.
    const uid_t user = 3'000'000 + static_cast<uid_t>(getpid() % 1'000'000);
    const rlimit limit{2, 2};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0 || setgroups(0, nullptr) != 0 || setgid(user) != 0 ||
        setuid(user) != 0) {
      summary = "cannot run as a user of its own";
    } else {
      auto fake = std::make_shared<FakeEdsBackend>();
      fake->SetDefaultSize(4, 2);
      FailureWatch watch;
      // The first conversion holds its thread until the second entry has failed.
      std::shared_future<void> failed = watch.failed.get_future().share();
      fake->OnDevelop([failed] { failed.wait(); });
      SetEdsBackend(fake);
      BatchSettings settings;
      settings.outputFolder = dir.path().string();
      settings.jobs = 3;
      settings.keepGoing = true;
      const BatchResult result = BatchRun({"a.cr2", "b.cr2", "c.cr2"}, settings).Run(watch);
      SetEdsBackend(nullptr);
      for (EntryOutcome outcome : result.outcomes) {
        summary += outcome == EntryOutcome::Converted ? "converted "
                   : outcome == EntryOutcome::Failed  ? "failed "
                   : outcome == EntryOutcome::Skipped ? "skipped "
                                                      : "not started ";
      }
      summary += "| " + watch.message;
    }
    (void)!write(channel[1], summary.data(), summary.size());
    _exit(0);
  }
  close(channel[1]);
  std::string summary;
  char buffer[512];
  for (ssize_t n; (n = read(channel[0], buffer, sizeof buffer)) > 0;) summary.append(buffer, n);
  close(channel[0]);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the run ended the process, signal " << WTERMSIG(status);
  EXPECT_EQ(summary,
            "converted failed not started | cannot start a conversion thread: Resource "
            "temporarily unavailable");
  EXPECT_TRUE(fs::exists(dir / "a.dpx"));
  EXPECT_FALSE(fs::exists(dir / "b.dpx"));
}
