// Draws the main window with three of the project's RAW files listed and an output folder chosen,
// and saves it as a PNG: tarn_main_window_screenshot <png file>. Run by scripts/screenshot.sh.
// The files are copied into a shoot folder under the temporary folder so that the list shows
// paths a user would see.
#include <QDir>
#include <QTreeWidget>
#include <cstdio>

#include "AppTestSupport.h"
#include "MainForm.h"
#include "PathDialog.h"
#include "TestPaths.h"

namespace {

struct Fixture {
  std::filesystem::path source;
  const char* shownAs;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);
  TTarnApplication application(argc, argv);
  TApplicationModules modules;
  QGuiApplication::setApplicationDisplayName(ProductInfo.ProductName);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarn_main_window_screenshot <png file>\n");
    return 2;
  }

  const std::filesystem::path data = tarn::test::DataDir();
  const Fixture fixtures[] = {
      {data / "raw" / "eos-350d-small.cr2", "IMG_0001.CR2"},
      {data / "raw" / "kodak-dc50.kdc", "DC0008L.KDC"},
      {data / ".." / ".." / "samples" / "canon-powershot-s40.crw", "CRW_0113.CRW"},
  };
  const QString shoot = QDir::tempPath() + QStringLiteral("/Shoot 2026-12-09");
  const QString rawFolder = shoot + QStringLiteral("/RAW");
  const QString dpxFolder = shoot + QStringLiteral("/DPX");
  QDir().mkpath(rawFolder);
  QDir().mkpath(dpxFolder);
  QStringList files;
  for (const Fixture& fixture : fixtures) {
    const QString target = rawFolder + u'/' + QLatin1String(fixture.shownAs);
    QFile::remove(target);
    if (!QFile::copy(QString::fromStdString(fixture.source.string()), target)) {
      std::fprintf(stderr, "cannot copy %s\n", fixture.source.c_str());
      return 1;
    }
    files.append(target);
  }

  TfrmMain form;
  form.show();
  QApplication::setActiveWindow(&form);
  form.AddFiles(files);

  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        browser.SelectFolder(dpxFolder);
        browser.accept();
      },
      [](const TFolderBrowser& browser) { return browser.IsReady(); });
  form.findChild<QPushButton*>(QStringLiteral("sbnOutFolder"))->click();

  auto* list = form.findChild<QTreeWidget*>(QStringLiteral("lvwFiles"));
  list->setCurrentItem(list->topLevelItem(1));
  list->setFocus();
  QTest::qWait(200);
  if (!form.grab().save(QString::fromLocal8Bit(argv[1]))) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
