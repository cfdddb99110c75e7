#include "Application.h"

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

TTarnApplication::TTarnApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("tarn-raw2dpx"));
  setApplicationVersion(QStringLiteral(TARN_VERSION));
  setDesktopFileName(QStringLiteral("tarn-raw2dpx"));
  setWindowIcon(ApplicationIcon());
}

bool TTarnApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowErrorMessage(QString::fromUtf8(error.what()));
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
