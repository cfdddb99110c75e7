// The main window closed during a batch run, in the program's own message loop: the run goes
// on, a question that comes up after the close is answered Cancel unseen, an error is still
// shown in its box, and only then does the program end, with exit code 0.
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "AppTestSupport.h"
#include "MainForm.h"
#include "TestPaths.h"
#include "edsdk/EDSDKErrors.h"

namespace fs = std::filesystem;

namespace {

QString Native(const fs::path& path) {
  return QString::fromStdString(path.string());
}

QString State(const fs::path& path) {
  if (!fs::exists(path)) return QStringLiteral("none");
  const std::string bytes = tarn::test::ReadFileBytes(path);
  if (bytes == "old") return QStringLiteral("old");
  return bytes.size() == 2048 + 4 * 2 * 6 ? QStringLiteral("new") : QStringLiteral("damaged");
}

}  // namespace

class CloseDuringRunTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void programEndsWhenTheRunHasEnded_data();
  void programEndsWhenTheRunHasEnded();
};

void CloseDuringRunTest::programEndsWhenTheRunHasEnded_data() {
  QTest::addColumn<QString>("existing");
  QTest::addColumn<QString>("failing");
  QTest::addColumn<QStringList>("states");  // of a.dpx to c.dpx
  QTest::addColumn<QStringList>("messages");

  QTest::newRow("the remaining files are converted")
      << ""
      << "" << QStringList{"new", "new", "new"} << QStringList{};
  QTest::newRow("a question after the close ends the run unseen")
      << "c.dpx"
      << "" << QStringList{"new", "new", "old"} << QStringList{};
  QTest::newRow("an error is shown before the program ends")
      << ""
      << "c.cr2" << QStringList{"new", "new", "none"} << QStringList{"EOS Error: 0000002D."};
}

void CloseDuringRunTest::programEndsWhenTheRunHasEnded() {
  QFETCH(QString, existing);
  QFETCH(QString, failing);
  QFETCH(QStringList, states);
  QFETCH(QStringList, messages);

  tarn::test::TempDir temp;
  const fs::path out = temp.path() / "out";
  fs::create_directories(out);
  if (!existing.isEmpty()) tarn::test::WriteFileBytes(out / existing.toStdString(), "old");
  const auto raw = [&](const char* name) { return Native(temp.path() / name); };

  auto fake = std::make_shared<FakeEdsBackend>();
  fake->SetDefaultSize(4, 2);
  fake->SetDevelopDelay(std::chrono::milliseconds(50));

  bool convertReturned = false;
  bool closeRefused = false;
  bool closedAfterTheRun = false;
  QStringList shown;
  // Started from the SDK's initialisation, that is once the message loop runs.
  fake->OnInitialize([&] {
    QTimer::singleShot(0, [&] {
      TfrmMain* form = nullptr;
      for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* main = qobject_cast<TfrmMain*>(window)) form = main;
      }
      QVERIFY(form != nullptr);
      form->AddFiles({raw("a.cr2"), raw("b.cr2"), raw("c.cr2")});
      ChooseOutputFolder(*form, Native(out));
      form->SetConversionJobs(1);
      // Listed with its size; its conversion fails.
      if (!failing.isEmpty()) {
        fake->FailPath(raw(failing.toUtf8().constData()).toStdString(), EDS_ERR_FILE_DATA_CORRUPT);
      }

      auto* closer = new QTimer(form);
      closer->setInterval(2);
      QObject::connect(closer, &QTimer::timeout, closer, [&, closer, form] {
        const std::vector<std::string> ops = fake->Ops();
        if (std::find(ops.begin(), ops.end(), "GetImage") == ops.end()) return;
        closer->stop();
        closeRefused = !form->close() && form->isVisible();
      });
      closer->start();

      // Real dialogs, so that one that closed by itself would go unseen.
      MessageRecorder recorder;
      QTest::mouseClick(form->findChild<QPushButton*>(QStringLiteral("sbnConvert")),
                        Qt::LeftButton);
      convertReturned = true;
      closedAfterTheRun = !form->isVisible();
      for (const ShownMessage& message : recorder.Shown()) shown.append(message.text);
    });
  });
  SetEdsBackend(fake);

  char name[] = "tarn-raw2dpx";
  char* argv[] = {name, nullptr};
  const int exitCode = RunTarnApplication(1, argv);
  SetEdsBackend(nullptr);

  QCOMPARE(exitCode, 0);
  QVERIFY(convertReturned);
  QVERIFY(closeRefused);
  QVERIFY(closedAfterTheRun);
  QCOMPARE(shown, messages);
  QCOMPARE(QStringList({State(out / "a.dpx"), State(out / "b.dpx"), State(out / "c.dpx")}), states);
  QCOMPARE(fake->TerminateCount(), 1);
  QCOMPARE(fake->LiveObjects(), 0);
}

QTEST_APPLESS_MAIN(CloseDuringRunTest)
#include "CloseDuringRunTest.moc"
