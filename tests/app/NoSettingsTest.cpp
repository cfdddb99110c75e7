// Every start is the same: the program reads no settings that an earlier run (or another Qt
// program) left, and leaves none behind. Qt's file dialog on its own keeps its history, last
// folder and view state in QtProject.conf under $XDG_CONFIG_HOME.
#include <QDirIterator>
#include <QFileDialog>
#include <QSettings>
#include <QTemporaryDir>

#include "AppTestSupport.h"
#include "MainForm.h"

namespace {

// The settings folder of this test process; set before the application object exists, since Qt
// reads it once.
QTemporaryDir* configHome = nullptr;

QStringList FilesUnder(const QString& folder) {
  QStringList files;
  QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  while (it.hasNext()) files.append(it.next());
  return files;
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class NoSettingsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void fileDialogLeavesNoSettings_data();
  void fileDialogLeavesNoSettings();
  void settingsOfAnEarlierRunAreNotRead();

 private:
  QString remembered_;  // a folder that only a settings file knows of
  QTemporaryDir work_;
};

void NoSettingsTest::init() {
  QDir(configHome->path()).removeRecursively();
  QVERIFY(QDir().mkpath(configHome->path()));
  remembered_ = work_.path() + QStringLiteral("/remembered");
  QVERIFY(QDir().mkpath(remembered_));
}

void NoSettingsTest::fileDialogLeavesNoSettings_data() {
  QTest::addColumn<bool>("used");
  QTest::newRow("window opened and closed") << false;
  QTest::newRow("Add RAW Files used in another folder") << true;
}

void NoSettingsTest::fileDialogLeavesNoSettings() {
  QFETCH(bool, used);
  {
    TfrmMain form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.FileDialog()->setOption(QFileDialog::DontUseNativeDialog);
    if (used) {
      OnNextModal<QFileDialog>([&](QFileDialog& shown) {
        shown.setDirectory(remembered_);
        shown.setViewMode(QFileDialog::Detail);
        shown.reject();
      });
      QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("sbnAddFiles")),
                        Qt::LeftButton);
    }
  }
  QCOMPARE(FilesUnder(configHome->path()), QStringList());
}

void NoSettingsTest::settingsOfAnEarlierRunAreNotRead() {
  const QString conf = configHome->path() + QStringLiteral("/QtProject.conf");
  {
    QSettings earlier(conf, QSettings::IniFormat);
    earlier.beginGroup(QStringLiteral("FileDialog"));
    earlier.setValue(QStringLiteral("lastVisited"), QUrl::fromLocalFile(remembered_).toString());
    earlier.setValue(QStringLiteral("history"),
                     QStringList{QUrl::fromLocalFile(remembered_).toString()});
    earlier.setValue(QStringLiteral("qtVersion"), QStringLiteral(QT_VERSION_STR));
  }
  const QByteArray before = ReadAll(conf);
  QVERIFY(!before.isEmpty());
  {
    TfrmMain form;
    form.FileDialog()->setOption(QFileDialog::DontUseNativeDialog);
    QFileDialog* dialog = form.FileDialog();
    QVERIFY(dialog->directory().absolutePath() != remembered_);
    QVERIFY(!dialog->history().contains(remembered_));
  }
  QCOMPARE(ReadAll(conf), before);
  QCOMPARE(FilesUnder(configHome->path()), QStringList{conf});
}

int main(int argc, char** argv) {
  QTemporaryDir config;
  configHome = &config;
  qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));
  QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);
  TTarnApplication application(argc, argv);
  TApplicationModules modules;
  QGuiApplication::setApplicationDisplayName(ProductInfo.ProductName);
  NoSettingsTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "NoSettingsTest.moc"
