// The Output Options dialog and what Convert makes of its choice: the format, sequence names
// with a start number, patterns refused in the dialog, clashes refused before anything is
// written, and a window that without a choice converts as it always did.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <filesystem>
#include <memory>

#include "AppTestSupport.h"
#include "MainForm.h"
#include "MessageDialogs.h"
#include "OutputOptionsDialog.h"
#include "TestPaths.h"

namespace fs = std::filesystem;
using tarn::test::TempDir;

namespace {

QString Native(const fs::path& path) {
  return QString::fromStdString(path.string());
}

QStringList Entries(const fs::path& folder) {
  QStringList names = QDir(Native(folder)).entryList(QDir::Files | QDir::Hidden);
  names.sort();
  return names;
}

}  // namespace

Q_DECLARE_METATYPE(OutputFormat)

class OutputOptionsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();
  void patternCheckedOnOk_data();
  void patternCheckedOnOk();
  void chosenFromTheSidePanel();
  void convertWithTheChoice_data();
  void convertWithTheChoice();
  void clashRefusedBeforeAnythingIsWritten();

 private:
  void Prepare(TfrmMain& form, const QStringList& relativePaths);

  std::unique_ptr<ScopedFakeSdk> sdk_;
  std::unique_ptr<TempDir> temp_;
};

void OutputOptionsTest::init() {
  sdk_ = std::make_unique<ScopedFakeSdk>();
  sdk_->fake->SetDefaultSize(4, 2);
  temp_ = std::make_unique<TempDir>();
  fs::create_directories(temp_->path() / "out");
}

void OutputOptionsTest::cleanup() {
  temp_.reset();
  sdk_.reset();
}

void OutputOptionsTest::Prepare(TfrmMain& form, const QStringList& relativePaths) {
  QStringList paths;
  for (const QString& relative : relativePaths) {
    paths.append(Native(temp_->path() / "raw" / relative.toStdString()));
  }
  form.AddFiles(paths);
  ChooseOutputFolder(form, Native(temp_->path() / "out"));
}

void OutputOptionsTest::patternCheckedOnOk_data() {
  QTest::addColumn<QString>("pattern");
  QTest::addColumn<bool>("accepted");
  QTest::newRow("frame with padding") << "shot_{frame:07}" << true;
  QTest::newRow("stem and odd characters") << "{stem} (v2) 50%" << true;
  QTest::newRow("into another folder") << "../shot_{frame}" << false;
  QTest::newRow("unknown field") << "{reel}_{frame}" << false;
  QTest::newRow("unclosed brace") << "shot_{frame" << false;
  QTest::newRow("empty") << "" << false;
}

void OutputOptionsTest::patternCheckedOnOk() {
  QFETCH(QString, pattern);
  QFETCH(bool, accepted);
  TOutputOptionsDialog dialog(TOutputChoice{});
  dialog.findChild<QCheckBox*>("cbxUsePattern")->setChecked(true);
  dialog.findChild<QLineEdit*>("edtPattern")->setText(pattern);
  dialog.accept();
  QCOMPARE(dialog.result() == QDialog::Accepted, accepted);
  auto* error = dialog.findChild<QLabel*>("lblPatternError");
  QCOMPARE(error->isHidden(), accepted);
  if (!accepted) QVERIFY2(error->text().contains(pattern), qPrintable(error->text()));
}

void OutputOptionsTest::chosenFromTheSidePanel() {
  TfrmMain form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QVERIFY(form.OutputChoice().IsDefault());

  // Cancel changes nothing.
  OnNextModal<TOutputOptionsDialog>([](TOutputOptionsDialog& dialog) {
    dialog.findChild<QComboBox*>("cbxFormat")->setCurrentIndex(1);
    dialog.reject();
  });
  QTest::mouseClick(form.findChild<QPushButton*>("sbnOutputOptions"), Qt::LeftButton);
  QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
  QVERIFY(form.OutputChoice().IsDefault());

  OnNextModal<TOutputOptionsDialog>([](TOutputOptionsDialog& dialog) {
    dialog.findChild<QComboBox*>("cbxFormat")->setCurrentIndex(1);
    dialog.findChild<QCheckBox*>("cbxUsePattern")->setChecked(true);
    dialog.findChild<QLineEdit*>("edtPattern")->setText("plate_{frame:4}");
    dialog.findChild<QSpinBox*>("edtStart")->setValue(1001);
    dialog.accept();
  });
  QTest::mouseClick(form.findChild<QPushButton*>("sbnOutputOptions"), Qt::LeftButton);
  QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
  TOutputChoice expected;
  expected.format = OutputFormat::Exr;
  expected.usePattern = true;
  expected.pattern = "plate_{frame:4}";
  expected.start = 1001;
  QVERIFY(form.OutputChoice() == expected);
}

void OutputOptionsTest::convertWithTheChoice_data() {
  QTest::addColumn<OutputFormat>("format");
  QTest::addColumn<bool>("usePattern");
  QTest::addColumn<QString>("pattern");
  QTest::addColumn<int>("start");
  QTest::addColumn<QStringList>("inputs");
  QTest::addColumn<QStringList>("outputs");
  // The list order, not the name order, numbers the frames.
  QTest::newRow("default: DPX named after the RAW files")
      << OutputFormat::Dpx << false << "" << 1 << QStringList{"B.CR2", "A.CR2", "C.dpx.CR2"}
      << QStringList{"A.dpx", "B.dpx", "C.dpx.dpx"};
  QTest::newRow("EXR named after the RAW files")
      << OutputFormat::Exr << false << "" << 1 << QStringList{"B.CR2", "A.CR2"}
      << QStringList{"A.exr", "B.exr"};
  QTest::newRow("DPX sequence from 86400")
      << OutputFormat::Dpx << true << "shot_{frame:07}" << 86400 << QStringList{"B.CR2", "A.CR2"}
      << QStringList{"shot_0086400.dpx", "shot_0086401.dpx"};
  QTest::newRow("EXR sequence with the stem")
      << OutputFormat::Exr << true << "{frame:3}_{stem}" << 0 << QStringList{"B.CR2", "A.CR2"}
      << QStringList{"000_B.exr", "001_A.exr"};
}

void OutputOptionsTest::convertWithTheChoice() {
  QFETCH(OutputFormat, format);
  QFETCH(bool, usePattern);
  QFETCH(QString, pattern);
  QFETCH(int, start);
  QFETCH(QStringList, inputs);
  QFETCH(QStringList, outputs);
  TfrmMain form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  Prepare(form, inputs);
  TOutputChoice choice;
  choice.format = format;
  choice.usePattern = usePattern;
  choice.pattern = pattern;
  choice.start = start;
  form.SetOutputChoice(choice);
  MessageRecorder messages;
  QTest::mouseClick(form.findChild<QPushButton*>("sbnConvert"), Qt::LeftButton);
  QTRY_COMPARE(Entries(temp_->path() / "out"), outputs);
  QVERIFY(messages.Shown().isEmpty());
  for (const QString& name : outputs) {
    const std::string bytes = tarn::test::ReadFileBytes(temp_->path() / "out" / name.toStdString());
    const std::string magic =
        format == OutputFormat::Exr ? std::string("\x76\x2f\x31\x01", 4) : std::string("XPDS");
    QCOMPARE(bytes.substr(0, 4), magic);
  }
}

void OutputOptionsTest::clashRefusedBeforeAnythingIsWritten() {
  TfrmMain form;
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  Prepare(form, {"100CANON/IMG_0001.CR2", "101CANON/IMG_0001.CR2", "101CANON/IMG_0002.CR2",
                 "102CANON/IMG_0001.CR2"});
  TOutputChoice choice;
  choice.format = OutputFormat::Exr;
  form.SetOutputChoice(choice);
  MessageRecorder messages;
  QTest::mouseClick(form.findChild<QPushButton*>("sbnConvert"), Qt::LeftButton);
  QTRY_COMPARE(messages.Shown().size(), 1);
  const QString text = messages.Shown().front().text;
  QVERIFY2(text.contains("nothing was converted"), qPrintable(text));
  QVERIFY2(text.contains("101CANON/IMG_0001.CR2 and "), qPrintable(text));
  QVERIFY2(text.contains("102CANON/IMG_0001.CR2 and "), qPrintable(text));
  QVERIFY2(!text.contains("IMG_0002"), qPrintable(text));
  QCOMPARE(Entries(temp_->path() / "out"), QStringList{});
}

TARN_APP_TEST_MAIN(OutputOptionsTest)
#include "OutputOptionsTest.moc"
