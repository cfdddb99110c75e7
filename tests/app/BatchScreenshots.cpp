// Draws the batch run as a user sees it, with the real RAW developer: the progress overlay
// mid-run and just after Cancel, the overwrite question over the covered window, the About box
// and the error box of a file that is no RAW file. Saves batch-progress.png,
// batch-cancelling.png, overwrite-question.png, about-box.png and error-box.png into the folder
// given: tarn_batch_screenshots <folder>. Run by scripts/screenshot.sh under Xvfb.
#include <QDir>
#include <QProgressBar>
#include <QScreen>
#include <QTreeWidget>
#include <cstdio>

#include "About.h"
#include "AppTestSupport.h"
#include "ErrorDisplay.h"
#include "MainForm.h"
#include "ProgressPanel.h"
#include "TestPaths.h"

namespace {

// The windows within area as they are on the screen, frames and all.
QPixmap Screen(const QRect& area) {
  return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                      area.height());
}

bool Save(const QPixmap& picture, const QString& path) {
  if (picture.save(path)) return true;
  std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  return false;
}

// Runs action once from inside the running batch, as soon as ready() holds.
void WhenReady(std::function<bool()> ready, std::function<void()> action) {
  auto* timer = new QTimer(qApp);
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, timer, [timer, ready, action] {
    if (!ready()) return;
    timer->stop();
    timer->deleteLater();
    action();
  });
  timer->start();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);
  TTarnApplication application(argc, argv);
  TApplicationModules modules;
  QGuiApplication::setApplicationDisplayName(ProductInfo.ProductName);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarn_batch_screenshots <folder>\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);

  // Eight frames of a shoot, from the project's small RAW files.
  const std::filesystem::path data = tarn::test::DataDir();
  const std::filesystem::path sources[] = {
      data / "raw" / "eos-350d-small.cr2",
      data / ".." / ".." / "samples" / "canon-powershot-s40.crw",
  };
  const QString shoot = QDir::tempPath() + QStringLiteral("/Shoot 2026-12-09");
  const QString rawFolder = shoot + QStringLiteral("/RAW");
  const QString dpxFolder = shoot + QStringLiteral("/DPX");
  QDir(dpxFolder).removeRecursively();
  QDir().mkpath(rawFolder);
  QDir().mkpath(dpxFolder);
  QStringList files;
  for (int i = 0; i < 8; ++i) {
    const std::filesystem::path& source = sources[i % 2];
    const QString target =
        rawFolder + QStringLiteral("/IMG_%1%2")
                        .arg(101 + i, 4, 10, QLatin1Char('0'))
                        .arg(QString::fromStdString(source.extension().string()).toUpper());
    QFile::remove(target);
    if (!QFile::copy(QString::fromStdString(source.string()), target)) {
      std::fprintf(stderr, "cannot copy %s\n", source.c_str());
      return 1;
    }
    files.append(target);
  }

  TfrmMain form;
  form.show();
  QApplication::setActiveWindow(&form);
  form.AddFiles(files);
  ChooseOutputFolder(form, dpxFolder);
  form.SetConversionJobs(2);
  auto* convert = form.findChild<QPushButton*>(QStringLiteral("sbnConvert"));

  // The overlay once a quarter of the frames are done; then Cancel.
  bool saved = true;
  WhenReady(
      [&] {
        const auto* overlay = form.findChild<TProgressPanel*>();
        return overlay != nullptr && overlay->findChild<QProgressBar*>()->value() >= 25;
      },
      [&] {
        QTest::qWait(100);
        saved &= Save(Screen(form.frameGeometry()), folder + QStringLiteral("/batch-progress.png"));
        auto* overlay = form.findChild<TProgressPanel*>();
        overlay->findChild<QPushButton*>()->click();
        // Drawn at once: the run cannot end before this thread's loop runs again.
        overlay->repaint();
        saved &=
            Save(Screen(form.frameGeometry()), folder + QStringLiteral("/batch-cancelling.png"));
      });
  convert->click();

  // Again: the first frame's DPX file is there now, so the run asks.
  WhenReady(
      [] {
        const auto* dialog = qobject_cast<TMessageDialog*>(QApplication::activeModalWidget());
        return dialog != nullptr && dialog->isVisible();
      },
      [&] {
        auto* dialog = qobject_cast<TMessageDialog*>(QApplication::activeModalWidget());
        QTest::qWait(200);
        const QRect area = form.frameGeometry().united(dialog->frameGeometry());
        saved &= Save(form.screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height()),
                      folder + QStringLiteral("/overwrite-question.png"));
        dialog->findChild<QPushButton*>(QStringLiteral("btnCancel"))->click();
      });
  convert->click();

  OnNextModal<TAboutForm>([&](TAboutForm& about) {
    QTest::qWait(100);
    saved &= Save(Screen(about.frameGeometry()), folder + QStringLiteral("/about-box.png"));
    about.accept();
  });
  form.findChild<QPushButton*>(QStringLiteral("sbnAbout"))->click();

  // A file that is no RAW file: the error box names it and says why.
  const QString notRaw = rawFolder + QStringLiteral("/IMG_0109.CR2");
  QFile::remove(notRaw);
  QFile::copy(QString::fromStdString((data / "raw" / "not-a-raw.cr2").string()), notRaw);
  OnNextModal<TMessageDialog>([&](TMessageDialog& box) {
    QTest::qWait(200);
    const QRect area = form.frameGeometry().united(box.frameGeometry());
    saved &= Save(Screen(area), folder + QStringLiteral("/error-box.png"));
    box.accept();
  });
  RunCommand([&] { form.AddFiles({notRaw}); });
  return saved ? 0 : 1;
}
