// The Convert command against the fake SDK: the options it captures, the overwrite question and
// its answers, output names, the progress bar, Cancel, a failing file, the list held still, the
// window closed during a run and the number of conversions at once.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QTreeWidget>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <memory>

#include "AppTestSupport.h"
#include "MainForm.h"
#include "ProgressPanel.h"
#include "RawToDpx.h"
#include "TestPaths.h"
#include "edsdk/EDSDKErrors.h"

namespace fs = std::filesystem;
using tarn::test::TempDir;

namespace {

constexpr int kWidth = 4;  // the fake's pictures, unless a test says otherwise
constexpr int kHeight = 2;

QString Native(const fs::path& path) {
  return QString::fromStdString(path.string());
}

template <class T>
T* Child(const QWidget& form, const char* name) {
  T* child = form.findChild<T*>(QLatin1String(name));
  if (child == nullptr) qFatal("no control %s", name);
  return child;
}

void ShowAndActivate(TfrmMain& form) {
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QApplication::setActiveWindow(&form);
  QVERIFY(QTest::qWaitForWindowActive(&form));
}

TProgressPanel* Overlay(const TfrmMain& form) {
  return form.findChild<TProgressPanel*>();
}

void Convert(TfrmMain& form) {
  QTest::mouseClick(Child<QPushButton>(form, "sbnConvert"), Qt::LeftButton);
}

MsgAnswer AnswerNamed(const QString& name) {
  if (name == "Yes") return MsgAnswer::Yes;
  if (name == "No") return MsgAnswer::No;
  if (name == "Yes to All") return MsgAnswer::YesToAll;
  if (name == "Cancel") return MsgAnswer::Cancel;
  qFatal("no answer %s", qPrintable(name));
}

// Answers the run's questions from a script (Cancel once it is used up, OK to anything else) and
// records every message the run shows.
class ScriptedAnswers {
 public:
  explicit ScriptedAnswers(QStringList script = {}) : script_(std::move(script)) {}

  QList<MessageRequest> shown;
  // Runs as each message comes up, while it is up.
  std::function<void(const MessageRequest&)> onShown;

  // The output file names the run asked about, in order.
  QStringList Questions() const {
    QStringList names;
    for (const MessageRequest& request : shown) {
      if (request.kind == MsgKind::Confirmation) names.append(NameIn(request.text));
    }
    return names;
  }
  QList<MessageRequest> OfKind(MsgKind kind) const {
    QList<MessageRequest> found;
    for (const MessageRequest& request : shown) {
      if (request.kind == kind) found.append(request);
    }
    return found;
  }

 private:
  static QString NameIn(const QString& question) {
    const QString path = question.section(u' ', 1, -7);  // "The <path> file is already ..."
    return QFileInfo(path).fileName();
  }

  QStringList script_;
  ScopedMessageAnswers hook_{[this](const MessageRequest& request) {
    shown.append(request);
    if (onShown) onShown(request);
    if (request.kind != MsgKind::Confirmation) return MsgAnswer::OK;
    return script_.isEmpty() ? MsgAnswer::Cancel : AnswerNamed(script_.takeFirst());
  }};
};

// Runs action once, from inside the run, as soon as the overlay is up and condition holds.
class WhileRunning {
 public:
  WhileRunning(TfrmMain& form, std::function<bool()> condition, std::function<void()> action) {
    timer_.setInterval(2);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this, &form, condition, action] {
      if (Overlay(form) == nullptr || !condition()) return;
      timer_.stop();
      done_ = true;
      action();
    });
    timer_.start();
  }
  bool Done() const { return done_; }

 private:
  QTimer timer_;
  bool done_ = false;
};

// Records the positions of the run's progress bar from the moment the overlay shows, before the
// first file can finish (a poll of the running batch may come too late to see the first).
class BarRecorder : public QObject {
 public:
  BarRecorder() { qApp->installEventFilter(this); }
  ~BarRecorder() override { qApp->removeEventFilter(this); }

  int first = -1;    // the position the overlay showed with
  QList<int> shown;  // every later position, once each

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show || first >= 0) return false;
    auto* overlay = qobject_cast<TProgressPanel*>(watched);
    auto* bar = overlay != nullptr ? overlay->findChild<QProgressBar*>() : nullptr;
    if (bar == nullptr) return false;
    first = bar->value();
    connect(bar, &QProgressBar::valueChanged, this, [this](int value) {
      if (shown.isEmpty() || shown.last() != value) shown.append(value);
    });
    return false;
  }
};

int Count(const std::vector<std::string>& ops, const std::string& op) {
  return static_cast<int>(std::count(ops.begin(), ops.end(), op));
}

}  // namespace

class BatchConversionTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();
  void optionsCapturedOnce_data();
  void optionsCapturedOnce();
  void fieldsChangedDuringTheRunDoNotCount();
  void answersToTheQuestion_data();
  void answersToTheQuestion();
  void questionInTheRealDialog();
  void yesToAllLastsOneRun();
  void sameOutputNameTwice_data();
  void sameOutputNameTwice();
  void outputNames_data();
  void outputNames();
  void progressFollowsFinishedFiles_data();
  void progressFollowsFinishedFiles();
  void sdkFailureOnTheThirdOfFive_data();
  void sdkFailureOnTheThirdOfFive();
  void folderInPlaceOfAnOutputFile();
  void cancelMidRun_data();
  void cancelMidRun();
  void listHeldStillDuringTheRun();
  void windowClosedDuringTheRun_data();
  void windowClosedDuringTheRun();
  void largePicturesConvertOneAtATime_data();
  void largePicturesConvertOneAtATime();

 private:
  // Lists raw/<name> for each name and chooses out/ as the output folder.
  void Prepare(TfrmMain& form, const QStringList& names);
  QString Raw(const QString& name) const {
    return Native(temp_->path() / "raw" / name.toStdString());
  }
  fs::path Out(const QString& name) const { return temp_->path() / "out" / name.toStdString(); }
  // "new": a complete DPX file of the given size; "old": the file put there before; "none".
  QString State(const QString& name, int width = kWidth, int height = kHeight) const;
  void PutOld(const QStringList& names) const;
  QStringList OutputFolderEntries() const;

  std::unique_ptr<ScopedFakeSdk> sdk_;
  std::unique_ptr<TempDir> temp_;
};

void BatchConversionTest::init() {
  sdk_ = std::make_unique<ScopedFakeSdk>();
  sdk_->fake->SetDefaultSize(kWidth, kHeight);
  temp_ = std::make_unique<TempDir>();
  fs::create_directories(temp_->path() / "raw");
  fs::create_directories(temp_->path() / "out");
}

void BatchConversionTest::cleanup() {
  temp_.reset();
  sdk_.reset();
}

void BatchConversionTest::Prepare(TfrmMain& form, const QStringList& names) {
  QStringList paths;
  for (const QString& name : names) paths.append(Raw(name));
  form.AddFiles(paths);
  ChooseOutputFolder(form, Native(temp_->path() / "out"));
  QCOMPARE(form.OutputFolder(), Native(temp_->path() / "out"));
  // The window has the keyboard again once the chooser is gone.
  ShowAndActivate(form);
}

QString BatchConversionTest::State(const QString& name, int width, int height) const {
  const fs::path path = Out(name);
  if (!fs::exists(path)) return QStringLiteral("none");
  const std::string bytes = tarn::test::ReadFileBytes(path);
  if (bytes == "old") return QStringLiteral("old");
  if (bytes.size() == std::size_t(2048 + width * height * 6) && bytes.compare(0, 4, "XPDS") == 0) {
    return QStringLiteral("new");
  }
  return QStringLiteral("damaged (%1 bytes)").arg(bytes.size());
}

void BatchConversionTest::PutOld(const QStringList& names) const {
  for (const QString& name : names) tarn::test::WriteFileBytes(Out(name), "old");
}

QStringList BatchConversionTest::OutputFolderEntries() const {
  return QDir(Native(temp_->path() / "out"))
      .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

void BatchConversionTest::optionsCapturedOnce_data() {
  QTest::addColumn<bool>("resize");
  QTest::addColumn<QString>("width");
  QTest::addColumn<QString>("height");
  QTest::addColumn<int>("colour");
  QTest::addColumn<QSize>("developedAt");
  QTest::addColumn<bool>("linear");

  const QSize full(40, 30);
  QTest::newRow("not resized, whatever the fields hold") << false << "8"
                                                         << "6" << 0 << full << false;
  QTest::newRow("resized") << true << "8"
                           << "6" << 0 << QSize(8, 6) << false;
  QTest::newRow("width 0 switches resizing off") << true << "0"
                                                 << "6" << 0 << full << false;
  QTest::newRow("height 0 switches resizing off") << true << "8"
                                                  << "0" << 0 << full << false;
  QTest::newRow("an emptied field reads 0") << true << ""
                                            << "6" << 0 << full << false;
  QTest::newRow("leading zero") << true << "012"
                                << "6" << 0 << QSize(12, 6) << false;
  QTest::newRow("no number reads 0") << true << "8x"
                                     << "6" << 0 << full << false;
  QTest::newRow("Linear RGB") << false << "1920"
                              << "1080" << 1 << full << true;
  QTest::newRow("Linear RGB, resized") << true << "8"
                                       << "6" << 1 << QSize(8, 6) << true;
}

void BatchConversionTest::optionsCapturedOnce() {
  QFETCH(bool, resize);
  QFETCH(QString, width);
  QFETCH(QString, height);
  QFETCH(int, colour);
  QFETCH(QSize, developedAt);
  QFETCH(bool, linear);

  sdk_->fake->SetDefaultSize(40, 30);
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2"});
  Child<QCheckBox>(form, "cbxResizeImages")->setChecked(resize);
  Child<QLineEdit>(form, "edtResizeWidth")->setText(width);
  Child<QLineEdit>(form, "edtResizeHeight")->setText(height);
  Child<QComboBox>(form, "cbxColorSpace")->setCurrentIndex(colour);
  const std::size_t before = sdk_->fake->Calls().size();

  ScriptedAnswers answers;
  Convert(form);
  QVERIFY(answers.shown.isEmpty());

  const std::vector<FakeEdsBackend::Call> calls = sdk_->fake->Calls();
  int developed = 0;
  int linearSwitches = 0;
  for (std::size_t i = before; i < calls.size(); ++i) {
    if (calls[i].op == "GetImage") {
      ++developed;
      QCOMPARE(QSize(int(calls[i].args[6]), int(calls[i].args[7])), developedAt);
    }
    if (calls[i].op == "SetPropertyData") ++linearSwitches;
  }
  QCOMPARE(developed, 3);
  QCOMPARE(linearSwitches, linear ? 3 : 0);
  for (const char* name : {"a.dpx", "b.dpx", "c.dpx"}) {
    QCOMPARE(State(name, developedAt.width(), developedAt.height()), QStringLiteral("new"));
  }
}

void BatchConversionTest::fieldsChangedDuringTheRunDoNotCount() {
  sdk_->fake->SetDefaultSize(40, 30);
  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(40));
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2", "d.cr2"});
  form.SetConversionJobs(1);
  Child<QCheckBox>(form, "cbxResizeImages")->setChecked(true);
  Child<QLineEdit>(form, "edtResizeWidth")->setText("8");
  Child<QLineEdit>(form, "edtResizeHeight")->setText("6");

  // The fields keep the keyboard during a run; what is typed there counts from the next run.
  WhileRunning change(
      form, [&] { return fs::exists(Out("a.dpx")); },
      [&] {
        Child<QLineEdit>(form, "edtResizeWidth")->setText("0");
        Child<QComboBox>(form, "cbxColorSpace")->setCurrentIndex(1);
      });
  Convert(form);
  QVERIFY(change.Done());
  for (const char* name : {"a.dpx", "b.dpx", "c.dpx", "d.dpx"}) {
    QCOMPARE(State(name, 8, 6), QStringLiteral("new"));
  }
  QCOMPARE(Count(sdk_->fake->Ops(), "SetPropertyData"), 0);
}

void BatchConversionTest::answersToTheQuestion_data() {
  QTest::addColumn<int>("jobs");
  QTest::addColumn<QStringList>("script");
  QTest::addColumn<QStringList>("questions");
  QTest::addColumn<QStringList>("states");  // of a.dpx to d.dpx; b.dpx and c.dpx were there

  for (const int jobs : {1, 2}) {
    const auto row = [jobs](const char* name) -> QTestData& {
      return QTest::addRow("%s, %d at once", name, jobs) << jobs;
    };
    row("Yes replaces the file") << QStringList{"Yes", "Yes"} << QStringList{"b.dpx", "c.dpx"}
                                 << QStringList{"new", "new", "new", "new"};
    row("No keeps the file and the run goes on")
        << QStringList{"No", "No"} << QStringList{"b.dpx", "c.dpx"}
        << QStringList{"new", "old", "old", "new"};
    row("Cancel keeps the file and ends the run") << QStringList{"Cancel"} << QStringList{"b.dpx"}
                                                  << QStringList{"new", "old", "old", "none"};
    row("No, then Cancel") << QStringList{"No", "Cancel"} << QStringList{"b.dpx", "c.dpx"}
                           << QStringList{"new", "old", "old", "none"};
    row("Yes to All asks no more") << QStringList{"Yes to All"} << QStringList{"b.dpx"}
                                   << QStringList{"new", "new", "new", "new"};
  }
}

void BatchConversionTest::answersToTheQuestion() {
  QFETCH(int, jobs);
  QFETCH(QStringList, script);
  QFETCH(QStringList, questions);
  QFETCH(QStringList, states);

  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(10));
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2", "d.cr2"});
  form.SetConversionJobs(jobs);
  PutOld({"b.dpx", "c.dpx"});

  ScriptedAnswers answers(script);
  bool overlayUpForEveryQuestion = true;
  answers.onShown = [&](const MessageRequest&) {
    overlayUpForEveryQuestion &= Overlay(form) != nullptr && Overlay(form)->isVisible();
  };
  Convert(form);

  QCOMPARE(answers.Questions(), questions);
  QCOMPARE(answers.OfKind(MsgKind::Confirmation).size(), answers.shown.size());  // nothing else
  QVERIFY(overlayUpForEveryQuestion);
  const MessageRequest& first = answers.shown.first();
  QCOMPARE(first.title, QStringLiteral("Confirm"));
  QCOMPARE(first.text,
           QStringLiteral("The %1 file is already exist. Overwrite it?").arg(Native(Out("b.dpx"))));
  QCOMPARE(first.buttons, MsgButton::Yes | MsgButton::No | MsgButton::Cancel | MsgButton::YesToAll);
  const QStringList actual = {State("a.dpx"), State("b.dpx"), State("c.dpx"), State("d.dpx")};
  QCOMPARE(actual, states);
  QCOMPARE(Overlay(form), nullptr);
  QCOMPARE(form.FileEntries().size(), 4);
  QCOMPARE(sdk_->fake->LiveObjects(), 0);
}

// The question as the user sees it, over the covered window, while other files convert.
void BatchConversionTest::questionInTheRealDialog() {
  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(10));
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2"});
  PutOld({"b.dpx"});
  MessageRecorder messages(QStringLiteral("btnNo"));
  Convert(form);
  QCOMPARE(messages.Shown().size(), 1);
  const ShownMessage& shown = messages.Shown().first();
  QCOMPARE(shown.title, QStringLiteral("Confirm"));
  QCOMPARE(shown.text,
           QStringLiteral("The %1 file is already exist. Overwrite it?").arg(Native(Out("b.dpx"))));
  QCOMPARE(shown.buttons, (QStringList{"&Yes", "&No", "Cancel", "Yes to &All"}));
  QCOMPARE(shown.defaultButton, QStringLiteral("&Yes"));
  QVERIFY(shown.applicationModal);
  QCOMPARE(QStringList({State("a.dpx"), State("b.dpx"), State("c.dpx")}),
           (QStringList{"new", "old", "new"}));
}

void BatchConversionTest::yesToAllLastsOneRun() {
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2"});
  PutOld({"a.dpx", "b.dpx", "c.dpx"});
  {
    ScriptedAnswers answers({"Yes to All"});
    Convert(form);
    QCOMPARE(answers.Questions(), QStringList{"a.dpx"});
  }
  {
    ScriptedAnswers answers({"No", "No", "No"});
    Convert(form);
    QCOMPARE(answers.Questions(), (QStringList{"a.dpx", "b.dpx", "c.dpx"}));
  }
}

void BatchConversionTest::sameOutputNameTwice_data() {
  QTest::addColumn<QStringList>("entries");
  QTest::addColumn<QString>("answer");
  QTest::addColumn<QStringList>("developed");  // CreateFileStream paths, in order

  const QStringList twoFolders{"day1/x.cr2", "day2/x.cr2", "y.cr2"};
  const QStringList sameFile{"x.cr2", "x.cr2", "y.cr2"};
  const QStringList twoKinds{"x.cr2", "x.nef", "y.cr2"};
  QTest::newRow("same name from two folders, No")
      << twoFolders << "No" << QStringList{"day1/x.cr2", "y.cr2"};
  QTest::newRow("same name from two folders, Yes")
      << twoFolders << "Yes" << QStringList{"day1/x.cr2", "day2/x.cr2", "y.cr2"};
  QTest::newRow("same file twice, No") << sameFile << "No" << QStringList{"x.cr2", "y.cr2"};
  QTest::newRow("same file twice, Yes")
      << sameFile << "Yes" << QStringList{"x.cr2", "x.cr2", "y.cr2"};
  QTest::newRow("same name, two extensions, No")
      << twoKinds << "No" << QStringList{"x.cr2", "y.cr2"};
}

void BatchConversionTest::sameOutputNameTwice() {
  QFETCH(QStringList, entries);
  QFETCH(QString, answer);
  QFETCH(QStringList, developed);

  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(20));
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, entries);
  form.SetConversionJobs(2);  // the second x waits for the first all the same
  const std::size_t before = sdk_->fake->Calls().size();

  ScriptedAnswers answers({answer});
  Convert(form);
  QCOMPARE(answers.Questions(), QStringList{"x.dpx"});
  QStringList opened;
  const auto calls = sdk_->fake->Calls();
  for (std::size_t i = before; i < calls.size(); ++i) {
    if (calls[i].op == "CreateFileStream") opened.append(QString::fromStdString(calls[i].path));
  }
  QStringList expected;
  for (const QString& name : developed) expected.append(Raw(name));
  // y may start beside the second x; only the order of the x entries is fixed.
  QCOMPARE(opened.size(), expected.size());
  opened.removeAll(Raw("y.cr2"));
  expected.removeAll(Raw("y.cr2"));
  QCOMPARE(opened, expected);
  QCOMPARE(State("x.dpx"), QStringLiteral("new"));
  QCOMPARE(State("y.dpx"), QStringLiteral("new"));
}

void BatchConversionTest::outputNames_data() {
  QTest::addColumn<QString>("entry");
  QTest::addColumn<QString>("output");
  QTest::newRow("extension replaced") << "IMG_0001.CR2"
                                      << "IMG_0001.dpx";
  QTest::newRow("no extension: appended") << "IMG_1"
                                          << "IMG_1.dpx";
  QTest::newRow("a dot in a folder name is no extension") << "raw.day1/IMG_2"
                                                          << "IMG_2.dpx";
  QTest::newRow("folder with a dot, file with an extension") << "raw.day1/IMG_3.nef"
                                                             << "IMG_3.dpx";
  QTest::newRow("only the last extension goes") << "a.b.cr2"
                                                << "a.b.dpx";
  QTest::newRow("blank in the name") << "Shot 4.CR2"
                                     << "Shot 4.dpx";
}

void BatchConversionTest::outputNames() {
  QFETCH(QString, entry);
  QFETCH(QString, output);
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {entry});
  ScriptedAnswers answers;
  Convert(form);
  QVERIFY(answers.shown.isEmpty());
  QCOMPARE(OutputFolderEntries(), QStringList{output});
  QCOMPARE(State(output), QStringLiteral("new"));
}

void BatchConversionTest::progressFollowsFinishedFiles_data() {
  QTest::addColumn<int>("jobs");
  QTest::addColumn<int>("entries");
  QTest::addColumn<QList<int>>("positions");  // after the first, 0
  QTest::newRow("three entries, one at a time") << 1 << 3 << QList<int>{33, 66};
  QTest::newRow("three entries, two at a time") << 2 << 3 << QList<int>{33, 66};
  QTest::newRow("four entries") << 2 << 4 << QList<int>{25, 50, 75};
  QTest::newRow("one entry stays at 0") << 1 << 1 << QList<int>{};
}

void BatchConversionTest::progressFollowsFinishedFiles() {
  QFETCH(int, jobs);
  QFETCH(int, entries);
  QFETCH(QList<int>, positions);

  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(30));
  TfrmMain form;
  ShowAndActivate(form);
  QStringList names;
  for (int i = 0; i < entries; ++i) names.append(QStringLiteral("%1.cr2").arg(i));
  Prepare(form, names);
  form.SetConversionJobs(jobs);

  BarRecorder bar;
  Convert(form);
  QCOMPARE(bar.first, 0);
  QCOMPARE(bar.shown, positions);
}

void BatchConversionTest::sdkFailureOnTheThirdOfFive_data() {
  QTest::addColumn<int>("jobs");
  QTest::newRow("one at a time") << 1;
  QTest::newRow("two at a time") << 2;
}

void BatchConversionTest::sdkFailureOnTheThirdOfFive() {
  QFETCH(int, jobs);
  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(20));
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2", "d.cr2", "e.cr2"});
  form.SetConversionJobs(jobs);
  sdk_->fake->FailPath(Raw("c.cr2").toStdString(), EDS_ERR_FILE_DATA_CORRUPT);

  ScriptedAnswers answers;
  bool overlayGoneFirst = false;
  answers.onShown = [&](const MessageRequest& request) {
    if (request.kind == MsgKind::Error) overlayGoneFirst = Overlay(form) == nullptr;
  };
  Convert(form);

  QCOMPARE(answers.shown.size(), 1);
  const MessageRequest& error = answers.shown.first();
  QCOMPARE(error.kind, MsgKind::Error);
  QCOMPARE(error.title, QStringLiteral("Tarn RAW to DPX Converter"));
  QCOMPARE(error.text, QStringLiteral("EOS Error: 0000002D."));
  // Which of the five it was, and why, in words.
  QCOMPARE(error.informativeText,
           Raw("c.cr2") + QStringLiteral(": file data corrupt or truncated"));
  QCOMPARE(error.buttons, MsgButtons(MsgButton::OK));
  QVERIFY(overlayGoneFirst);

  QCOMPARE(State("a.dpx"), QStringLiteral("new"));
  QCOMPARE(State("b.dpx"), QStringLiteral("new"));
  QCOMPARE(State("c.dpx"), QStringLiteral("none"));
  QCOMPARE(State("e.dpx"), QStringLiteral("none"));
  if (jobs == 1) {
    QCOMPARE(State("d.dpx"), QStringLiteral("none"));
  } else {
    // d may have started beside c; then it ran to its end.
    QVERIFY(State("d.dpx") == "none" || State("d.dpx") == "new");
  }
  QVERIFY(OutputFolderEntries().size() <= 3);  // nothing half-written left behind
  QCOMPARE(sdk_->fake->LiveObjects(), 0);

  // The window works on: a new run starts from the list as it is.
  ScriptedAnswers again({"Cancel"});
  Convert(form);
  QCOMPARE(again.Questions(), QStringList{"a.dpx"});
}

void BatchConversionTest::folderInPlaceOfAnOutputFile() {
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2"});
  form.SetConversionJobs(1);
  fs::create_directory(Out("a.dpx"));
  ScriptedAnswers answers;
  Convert(form);
  // No question about a folder: the conversion reports that it cannot create the file.
  QCOMPARE(answers.shown.size(), 1);
  QCOMPARE(answers.shown.first().kind, MsgKind::Error);
  QVERIFY2(answers.shown.first().text.startsWith(
               QStringLiteral("Cannot create file \"%1\"").arg(Native(Out("a.dpx")))),
           qPrintable(answers.shown.first().text));
  // The message gives the reason; the second line names the RAW file.
  QCOMPARE(answers.shown.first().informativeText, Raw("a.cr2"));
  QVERIFY(fs::is_directory(Out("a.dpx")));
  QCOMPARE(State("b.dpx"), QStringLiteral("none"));
}

void BatchConversionTest::cancelMidRun_data() {
  QTest::addColumn<int>("jobs");
  QTest::newRow("one at a time") << 1;
  QTest::newRow("two at a time") << 2;
}

void BatchConversionTest::cancelMidRun() {
  QFETCH(int, jobs);
  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(60));
  TfrmMain form;
  ShowAndActivate(form);
  const QStringList names{"a.cr2", "b.cr2", "c.cr2", "d.cr2", "e.cr2", "f.cr2"};
  Prepare(form, names);
  form.SetConversionJobs(jobs);
  const int openedBefore = Count(sdk_->fake->Ops(), "CreateFileStream");

  ScriptedAnswers answers;
  int finishedAtClick = -1;
  bool cancelledAtOnce = false;
  QString buttonAfterClick;
  // Clicked once the bar has moved, that is once a file has finished.
  WhileRunning click(
      form, [&] { return Overlay(form)->findChild<QProgressBar*>()->value() > 0; },
      [&] {
        finishedAtClick = int(OutputFolderEntries().size());
        auto* button = Overlay(form)->findChild<QPushButton*>("btnCancel");
        QTest::mouseClick(button, Qt::LeftButton);
        cancelledAtOnce = Overlay(form)->Cancelled();
        buttonAfterClick = button->text() + (button->isEnabled() ? " (enabled)" : " (disabled)");
      });
  Convert(form);

  QVERIFY(click.Done());
  QVERIFY(cancelledAtOnce);
  // While the running files finish, the overlay says that cancelling is under way.
  QCOMPARE(buttonAfterClick, QStringLiteral("Cancelling... (disabled)"));
  QVERIFY(answers.shown.isEmpty());  // a cancel says nothing
  QCOMPARE(Overlay(form), nullptr);
  // No entry started after the click: those finished and those running then, at most.
  const int opened = Count(sdk_->fake->Ops(), "CreateFileStream") - openedBefore;
  QVERIFY2(opened <= finishedAtClick + jobs, qPrintable(QString::number(opened)));
  QCOMPARE(State("f.dpx"), QStringLiteral("none"));
  // What ran, ran to its end.
  const QStringList written = OutputFolderEntries();
  QCOMPARE(written.size(), opened);
  for (const QString& name : written) QCOMPARE(State(name), QStringLiteral("new"));
  QCOMPARE(sdk_->fake->LiveObjects(), 0);
}

void BatchConversionTest::listHeldStillDuringTheRun() {
  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(50));
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2"});
  form.SetConversionJobs(1);
  const QStringList entries = form.FileEntries();
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  list->setCurrentItem(list->topLevelItem(0));
  list->setFocus();
  QVERIFY(list->hasFocus());

  ScriptedAnswers answers;
  bool menuShown = true;
  WhileRunning meddle(
      form, [] { return true; },
      [&] {
        // The keyboard still reaches the list, and the events below go to it directly, past the
        // overlay: none of them may change the list.
        QTest::keyClick(list, Qt::Key_Delete);
        Child<QAction>(form, "miDelete")->trigger();
        Child<QAction>(form, "miClear")->trigger();
        QContextMenuEvent menu(QContextMenuEvent::Keyboard, QPoint(20, 40),
                               list->viewport()->mapToGlobal(QPoint(20, 40)));
        QApplication::sendEvent(list->viewport(), &menu);
        menuShown = Child<QMenu>(form, "pmnFiles")->isVisible();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(Raw("dropped.cr2"))});
        QDropEvent drop(QPointF(20, 40), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list->viewport(), &drop);
        // A second Convert, had it got past the overlay, starts nothing.
        Child<QPushButton>(form, "sbnConvert")->click();
      });
  Convert(form);

  QVERIFY(meddle.Done());
  QVERIFY(!menuShown);
  QVERIFY(answers.shown.isEmpty());
  QCOMPARE(form.FileEntries(), entries);
  QCOMPARE(OutputFolderEntries(), (QStringList{"a.dpx", "b.dpx", "c.dpx"}));
  QCOMPARE(Count(sdk_->fake->Ops(), "GetImage"), 3);

  // Afterwards the list takes commands again.
  list->setFocus();
  QTest::keyClick(list, Qt::Key_Delete);
  QCOMPARE(form.FileEntries().size(), 2);
}

void BatchConversionTest::windowClosedDuringTheRun_data() {
  QTest::addColumn<QStringList>("existing");
  QTest::addColumn<QString>("failing");
  QTest::addColumn<QStringList>("states");  // of a.dpx to c.dpx
  QTest::addColumn<QString>("error");

  QTest::newRow("the run goes on to its end")
      << QStringList{} << "" << QStringList{"new", "new", "new"} << "";
  QTest::newRow("a later question is answered Cancel unseen")
      << QStringList{"c.dpx"} << "" << QStringList{"new", "new", "old"} << "";
  QTest::newRow("an error is still shown, then the window closes")
      << QStringList{} << "c.cr2" << QStringList{"new", "new", "none"} << "EOS Error: 0000002D.";
}

void BatchConversionTest::windowClosedDuringTheRun() {
  QFETCH(QStringList, existing);
  QFETCH(QString, failing);
  QFETCH(QStringList, states);
  QFETCH(QString, error);

  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(50));
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2"});
  form.SetConversionJobs(1);
  PutOld(existing);
  if (!failing.isEmpty()) {
    sdk_->fake->FailPath(Raw(failing).toStdString(), EDS_ERR_FILE_DATA_CORRUPT);
  }

  ScriptedAnswers answers;
  bool openWhileTheErrorShows = false;
  answers.onShown = [&](const MessageRequest&) { openWhileTheErrorShows = form.isVisible(); };
  bool closedAtOnce = true;
  WhileRunning closer(
      form, [&] { return Count(sdk_->fake->Ops(), "GetImage") > 0; },
      [&] { closedAtOnce = form.close(); });
  Convert(form);

  QVERIFY(closer.Done());
  QVERIFY(!closedAtOnce);  // the window stayed for the rest of the run
  QCOMPARE(QStringList({State("a.dpx"), State("b.dpx"), State("c.dpx")}), states);
  if (error.isEmpty()) {
    QVERIFY(answers.shown.isEmpty());
  } else {
    QCOMPARE(answers.shown.size(), 1);
    QCOMPARE(answers.shown.first().text, error);
    QVERIFY(openWhileTheErrorShows);
  }
  QVERIFY(!form.isVisible());  // and closed when the run was over
}

void BatchConversionTest::largePicturesConvertOneAtATime_data() {
  QTest::addColumn<QSize>("largest");
  QTest::addColumn<int>("jobs");  // 0: as the pictures allow
  QTest::addColumn<bool>("oneAtATime");
  // Twenty billion pixels: no memory holds two developments of that at once.
  QTest::newRow("too large for two at once") << QSize(200000, 100000) << 0 << true;
  // The check below does see two at once.
  QTest::newRow("small, two asked for") << QSize(4, 2) << 2 << false;
}

void BatchConversionTest::largePicturesConvertOneAtATime() {
  QFETCH(QSize, largest);
  QFETCH(int, jobs);
  QFETCH(bool, oneAtATime);

  sdk_->fake->SetDevelopDelay(std::chrono::milliseconds(30));
  sdk_->fake->SetSize(Raw("b.cr2").toStdString(), largest.width(), largest.height());
  TfrmMain form;
  ShowAndActivate(form);
  Prepare(form, {"a.cr2", "b.cr2", "c.cr2"});
  form.SetConversionJobs(jobs);
  // Developed small, whatever the size: only the choice of workers follows the size.
  Child<QCheckBox>(form, "cbxResizeImages")->setChecked(true);
  Child<QLineEdit>(form, "edtResizeWidth")->setText("4");
  Child<QLineEdit>(form, "edtResizeHeight")->setText("2");
  const std::size_t before = sdk_->fake->Calls().size();

  ScriptedAnswers answers;
  Convert(form);
  QVERIFY(answers.shown.isEmpty());

  // A conversion opens its file first and releases its three objects last.
  bool overlapped = false;
  int opened = 0;
  int released = 0;
  const auto calls = sdk_->fake->Calls();
  for (std::size_t i = before; i < calls.size(); ++i) {
    if (calls[i].op == "CreateFileStream") {
      overlapped |= opened > released / 3;
      ++opened;
    }
    if (calls[i].op == "Release") ++released;
  }
  QCOMPARE(opened, 3);
  QCOMPARE(overlapped, !oneAtATime);
}

TARN_APP_TEST_MAIN(BatchConversionTest)
#include "BatchConversionTest.moc"
