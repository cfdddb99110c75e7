// Files and folders named on the command line ("Open with" from a file manager) fill the list
// at start-up the way Add RAW Files and a drop fill it; options stay ignored; --version prints
// the version without opening a window.
#include <QDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <filesystem>
#include <memory>

#include "AppTestSupport.h"
#include "MainForm.h"
#include "Subprocess.h"
#include "TestPaths.h"
#include "edsdk/EDSDKErrors.h"

namespace {

using tarn::test::TempDir;

// What the list held once the start-up adding was over, and the error boxes it brought.
struct StartupOutcome {
  QStringList entries;
  QStringList sizes;
  QStringList messages;
  bool timedOut = false;
};

// Watches the program started by RunTarnApplication: once the main window is up and every event
// queued before that has run (the start-up adding among them) and no box is open, it records the
// list and closes the window, as a user would.
class StartupWatcher {
 public:
  explicit StartupWatcher(StartupOutcome& outcome) : outcome_(outcome) {}

  void Start() {
    messages_ = std::make_unique<MessageRecorder>();
    auto* timer = new QTimer(qApp);
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, timer, [this, timer] { Poll(*timer); });
    timer->start();
  }

 private:
  void Poll(QTimer& timer) {
    if (++polls_ > 4000) {  // 20 s: keep a broken start from hanging the test
      outcome_.timedOut = true;
      Finish(timer);
      return;
    }
    TfrmMain* form = MainForm();
    if (form == nullptr || !form->isVisible()) return;
    if (!markerPosted_) {
      markerPosted_ = true;
      QMetaObject::invokeMethod(
          form, [this] { queuedEventsDone_ = true; }, Qt::QueuedConnection);
      return;
    }
    if (!queuedEventsDone_ || QApplication::activeModalWidget() != nullptr) return;
    const auto* list = form->findChild<QTreeWidget*>(QStringLiteral("lvwFiles"));
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      outcome_.entries.append(list->topLevelItem(i)->text(0));
      outcome_.sizes.append(list->topLevelItem(i)->text(1));
    }
    Finish(timer);
  }

  void Finish(QTimer& timer) {
    timer.stop();
    timer.deleteLater();
    for (const ShownMessage& shown : messages_->Shown()) outcome_.messages.append(shown.text);
    messages_.reset();
    if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) dialog->reject();
    if (TfrmMain* form = MainForm()) form->close();
  }

  static TfrmMain* MainForm() {
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (auto* form = qobject_cast<TfrmMain*>(window)) return form;
    }
    return nullptr;
  }

  StartupOutcome& outcome_;
  std::unique_ptr<MessageRecorder> messages_;
  int polls_ = 0;
  bool markerPosted_ = false;
  bool queuedEventsDone_ = false;
};

// Runs the whole program with these arguments (after the program name) and the fake SDK.
StartupOutcome RunProgram(const QStringList& arguments, FakeEdsBackend& sdk) {
  StartupOutcome outcome;
  StartupWatcher watcher(outcome);
  sdk.OnInitialize([&watcher] { watcher.Start(); });
  std::vector<QByteArray> storage{QByteArrayLiteral("tarn-raw2dpx")};
  for (const QString& argument : arguments) storage.push_back(QFile::encodeName(argument));
  std::vector<char*> argv;
  for (QByteArray& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const int exitCode = RunTarnApplication(int(storage.size()), argv.data());
  if (exitCode != 0) outcome.messages.append(QStringLiteral("exit code %1").arg(exitCode));
  return outcome;
}

}  // namespace

class StartupFilesTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();
  void filesFromTheCommandLine_data();
  void filesFromTheCommandLine();
  void versionIsPrinted_data();
  void versionIsPrinted();

 private:
  QString Path(const QString& name) const {
    return QDir::toNativeSeparators(QString::fromStdString((temp_->path() / name.toStdString())));
  }

  std::unique_ptr<TempDir> temp_;
  std::shared_ptr<FakeEdsBackend> sdk_;
  QString previousFolder_;
};

void StartupFilesTest::init() {
  temp_ = std::make_unique<TempDir>();
  std::filesystem::create_directories(temp_->path() / "card" / "sub");
  for (const char* name : {"IMG_0001.CR2", "img_0002.cr2", "-dash.cr2", "card/B.NEF", "card/a.crw",
                           "card/notes.txt", "card/sub/c.cr2"}) {
    tarn::test::WriteFileBytes(temp_->path() / name, "RAW");
  }
  sdk_ = std::make_shared<FakeEdsBackend>();
  sdk_->SetSize(Path("IMG_0001.CR2").toStdString(), 5184, 3456);
  sdk_->SetSize(Path("img_0002.cr2").toStdString(), 4000, 3000);
  sdk_->SetSize(Path("card/B.NEF").toStdString(), 6000, 4000);
  sdk_->SetSize(Path("card/a.crw").toStdString(), 2312, 1720);
  sdk_->SetSize(Path("-dash.cr2").toStdString(), 640, 480);
  sdk_->FailPath(Path("missing.CR2").toStdString(), EDS_ERR_FILE_NOT_FOUND);
  SetEdsBackend(sdk_);
  previousFolder_ = QDir::currentPath();
  QDir::setCurrent(QString::fromStdString(temp_->path().string()));
}

void StartupFilesTest::cleanup() {
  QDir::setCurrent(previousFolder_);
  SetEdsBackend(nullptr);
  sdk_.reset();
  temp_.reset();
}

void StartupFilesTest::filesFromTheCommandLine_data() {
  QTest::addColumn<QStringList>("arguments");  // "@" stands for the test's folder
  QTest::addColumn<QStringList>("entries");    // names in the test's folder
  QTest::addColumn<QStringList>("sizes");
  QTest::addColumn<QStringList>("messages");

  QTest::newRow("no arguments: the usual empty start")
      << QStringList{} << QStringList{} << QStringList{} << QStringList{};
  QTest::newRow("two RAW files and a folder, as Add and a drop")
      << QStringList{"@/IMG_0001.CR2", "@/img_0002.cr2", "@/card"}
      << QStringList{"IMG_0001.CR2", "img_0002.cr2", "card/B.NEF", "card/a.crw"}
      << QStringList{"5184x3456", "4000x3000", "6000x4000", "2312x1720"} << QStringList{};
  QTest::newRow("names relative to the working folder")
      << QStringList{"card", "./IMG_0001.CR2"}
      << QStringList{"card/B.NEF", "card/a.crw", "IMG_0001.CR2"}
      << QStringList{"6000x4000", "2312x1720", "5184x3456"} << QStringList{};
  QTest::newRow("the same file twice") << QStringList{"@/IMG_0001.CR2", "IMG_0001.CR2"}
                                       << QStringList{"IMG_0001.CR2", "IMG_0001.CR2"}
                                       << QStringList{"5184x3456", "5184x3456"} << QStringList{};
  QTest::newRow("an unreadable file ends the adding with its error")
      << QStringList{"@/IMG_0001.CR2", "@/missing.CR2", "@/img_0002.cr2", "@/card"}
      << QStringList{"IMG_0001.CR2", "missing.CR2"} << QStringList{"5184x3456", ""}
      << QStringList{"EOS Error: 00000022."};
  QTest::newRow("options and the values of Qt's options are ignored")
      << QStringList{"-style", "fusion",   "--help",        "-platform=xcb", "--qwindowtitle",
                     "Title",  "-reverse", "--version-not", "@/img_0002.cr2"}
      << QStringList{"img_0002.cr2"} << QStringList{"4000x3000"} << QStringList{};
  QTest::newRow("after -- a name may start with a dash")
      << QStringList{"--", "-dash.cr2"} << QStringList{"-dash.cr2"} << QStringList{"640x480"}
      << QStringList{};
}

void StartupFilesTest::filesFromTheCommandLine() {
  QFETCH(QStringList, arguments);
  QFETCH(QStringList, entries);
  QFETCH(QStringList, sizes);
  QFETCH(QStringList, messages);

  const QString folder = QString::fromStdString(temp_->path().string());
  for (QString& argument : arguments) argument.replace(QStringLiteral("@"), folder);
  QStringList expected;
  for (const QString& entry : entries) expected.append(Path(entry));

  const StartupOutcome outcome = RunProgram(arguments, *sdk_);

  QVERIFY(!outcome.timedOut);
  QCOMPARE(outcome.entries, expected);
  QCOMPARE(outcome.sizes, sizes);
  QCOMPARE(outcome.messages, messages);
  // Every entry's size was asked for once; nothing else was opened.
  const std::vector<std::string> ops = sdk_->Ops();
  QCOMPARE(qsizetype(std::count(ops.begin(), ops.end(), "CreateFileStream")), entries.size());
  QCOMPARE(sdk_->LiveObjects(), 0);
}

void StartupFilesTest::versionIsPrinted_data() {
  QTest::addColumn<QStringList>("arguments");
  QTest::newRow("alone") << QStringList{"--version"};
  QTest::newRow("among files") << QStringList{"IMG_0001.CR2", "--version", "card"};
}

void StartupFilesTest::versionIsPrinted() {
  QFETCH(QStringList, arguments);
  // Under a time limit: a regression that opens the window instead would never end.
  std::vector<std::string> argv{"/usr/bin/timeout", "20", TARN_APP_FILE};
  for (const QString& argument : arguments) argv.push_back(argument.toStdString());
  const tarn::test::ProcessResult result = tarn::test::RunProcess(argv);
  QCOMPARE(result.exitCode, 0);
  QCOMPARE(QString::fromStdString(result.out), QStringLiteral("tarn-raw2dpx " TARN_VERSION "\n"));
  QCOMPARE(QString::fromStdString(result.err), QString());
}

QTEST_APPLESS_MAIN(StartupFilesTest)
#include "StartupFilesTest.moc"
