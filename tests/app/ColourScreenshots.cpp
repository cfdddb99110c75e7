// Draws the colour choices of the window: the Colour Options dialog with a reference frame
// chosen (colour-options.png) and the opened colour-space list (colour-space-list.png), saved
// into the folder given: tarn_colour_screenshots <folder>. Run by scripts/screenshot.sh under
// Xvfb with a window manager.
#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QScreen>
#include <cstdio>

#include "AppTestSupport.h"
#include "ColourOptionsDialog.h"
#include "MainForm.h"
#include "TestPaths.h"

namespace {

QPixmap Screen(const QRect& area) {
  return QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(),
                                                      area.height());
}

bool Save(const QPixmap& picture, const QString& path) {
  if (picture.save(path)) return true;
  std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);
  TTarnApplication application(argc, argv);
  TApplicationModules modules;
  QGuiApplication::setApplicationDisplayName(ProductInfo.ProductName);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarn_colour_screenshots <folder>\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);

  // The first frame of a time-lapse shot on automatic white balance.
  const QString rawFolder = QDir::tempPath() + QStringLiteral("/Shoot 2026-12-09/RAW");
  QDir().mkpath(rawFolder);
  const QString reference = rawFolder + QStringLiteral("/IMG_0101.CR2");
  QFile::remove(reference);
  if (!QFile::copy(
          QString::fromStdString((tarn::test::DataDir() / "raw" / "eos-350d-small.cr2").string()),
          reference)) {
    std::fprintf(stderr, "cannot copy the sample to %s\n", qPrintable(reference));
    return 1;
  }

  TfrmMain form;
  form.show();
  QApplication::setActiveWindow(&form);
  form.AddFiles({reference});
  bool saved = true;

  // The dialog as it opens once a reference frame was chosen and accepted.
  OnNextModal<TColourOptionsDialog>([&](TColourOptionsDialog& dialog) {
    dialog.ReferenceDialog()->setOption(QFileDialog::DontUseNativeDialog);
    OnNextModal<QFileDialog>(
        [&](QFileDialog& chooser) {
          chooser.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
              ->setText(QFileInfo(reference).fileName());
          static_cast<QDialog&>(chooser).accept();
        },
        [](const QFileDialog& chooser) { return QApplication::activeWindow() == &chooser; });
    dialog.findChild<QPushButton*>(QStringLiteral("btnReferenceFrame"))->click();
    dialog.findChild<QDoubleSpinBox*>(QStringLiteral("edtExposure"))->setValue(0.5);
    dialog.accept();
  });
  form.findChild<QPushButton*>(QStringLiteral("sbnColourOptions"))->click();
  OnNextModal<TColourOptionsDialog>([&](TColourOptionsDialog& dialog) {
    QTest::qWait(200);
    saved &= Save(Screen(dialog.frameGeometry()), folder + QStringLiteral("/colour-options.png"));
    dialog.reject();
  });
  form.findChild<QPushButton*>(QStringLiteral("sbnColourOptions"))->click();

  auto* list = form.findChild<QComboBox*>(QStringLiteral("cbxColorSpace"));
  list->setCurrentIndex(kColorSpaceAcesCg);
  list->showPopup();
  QTest::qWait(300);
  // The side panel with the list opened over it.
  const QRect panel(form.findChild<QWidget*>(QStringLiteral("Panel1"))->mapToGlobal(QPoint(0, 0)),
                    QSize(TfrmMain::kPanelWidth, 270));
  const QWidget* popup = list->view()->window();
  // A margin below the list, so that its lower edge shows whole.
  saved &= Save(Screen(panel.united(popup->frameGeometry().adjusted(0, 0, 0, 12))),
                folder + QStringLiteral("/colour-space-list.png"));
  list->hidePopup();
  return saved ? 0 : 1;
}
