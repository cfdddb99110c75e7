#include "Application.h"

#include <QSettings>
#include <QTimer>
#include <QtPlugin>
#include <cstdio>

#include "DpxImagePlugin.h"
#include "ErrorDisplay.h"
#include "MainForm.h"
#include "ProdInfo.h"
#include "StartupFiles.h"
#include "edsdk/EDSDKApi.h"

// The DPX format lives in the program itself; its registration step decides when it answers.
Q_IMPORT_PLUGIN(TDpxImagePlugin)

namespace {

// Every start is the same: Qt's own settings (the file dialog keeps its history, last folder and
// view state in QtProject.conf) are looked for, and written, under a path that can hold no file,
// so nothing is read from an earlier run and nothing is left for the next.
void KeepNoSettings() {
  static const QString kNowhere = QStringLiteral("/dev/null");
  for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat}) {
    for (const QSettings::Scope scope : {QSettings::UserScope, QSettings::SystemScope}) {
      QSettings::setPath(format, scope, kNowhere);
    }
  }
}

}  // namespace

TTarnApplication::TTarnApplication(int& argc, char** argv) : QApplication(argc, argv) {
  KeepNoSettings();
  setApplicationName(QStringLiteral("tarn-raw2dpx"));
  setApplicationVersion(QStringLiteral(TARN_VERSION));
  setDesktopFileName(QStringLiteral("tarn-raw2dpx"));
  setWindowIcon(ApplicationIcon());
}

bool TTarnApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowError(error);
    return false;
  }
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (const int size : {16, 32, 48, 64, 128, 256}) {
    icon.addFile(QStringLiteral(":/icons/tarn-raw2dpx-%1.png").arg(size), QSize(size, size));
  }
  return icon;
}

TApplicationModules::ProdInfoStep::ProdInfoStep() {
  InitializeProductInfo();
}
TApplicationModules::ProdInfoStep::~ProdInfoStep() {
  FinalizeProductInfo();
}

TApplicationModules::DpxFormatStep::DpxFormatStep() {
  RegisterDpxFormat();
}
TApplicationModules::DpxFormatStep::~DpxFormatStep() {
  UnregisterDpxFormat();
}

// A failing initialisation is not examined: every later SDK call reports its own failure.
TApplicationModules::RawToDpxStep::RawToDpxStep() {
  EdsInitializeSDK();
}
TApplicationModules::RawToDpxStep::~RawToDpxStep() {
  EdsTerminateSDK();
}

int RunTarnApplication(int argc, char** argv) {
  if (AsksForVersion(argc, argv)) {
    std::printf("tarn-raw2dpx %s\n", TARN_VERSION);
    return 0;
  }
  const QStringList startupPaths = StartupPaths(argc, argv);

  // Qt's own options (-style, -platform, ...) are not taken from the command line, so that every
  // start is the same; QT_QPA_PLATFORM and friends still work.
  char fallbackName[] = "tarn-raw2dpx";
  char* qtArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
  int qtArgc = 1;

  TTarnApplication application(qtArgc, qtArgv);
  TApplicationModules modules;
  QGuiApplication::setApplicationDisplayName(ProductInfo.ProductName);
  {
    TfrmMain mainForm;
    mainForm.show();
    // Files and folders from the command line are listed once the loop runs, as a drop lists
    // them, so the window is up before their sizes are read and an error box has its window.
    if (!startupPaths.isEmpty()) {
      QTimer::singleShot(0, &mainForm,
                         [&] { RunCommand([&] { mainForm.AddPaths(startupPaths); }); });
    }
    application.exec();
  }
  return 0;
}
