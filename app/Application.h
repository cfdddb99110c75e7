// The program's frame: the application object with its message-loop guard, the module start-up
// and shutdown steps, and the run from the first window to the exit code.
#pragma once

#include <QApplication>
#include <QIcon>

// The application object. Whatever escapes the handling of an event is shown by the top-level
// error display, and the loop goes on with the next event.
class TTarnApplication : public QApplication {
  Q_OBJECT
 public:
  TTarnApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// The icon of the application's windows (16 to 256 pixels).
QIcon ApplicationIcon();

// The module steps, in start-up order: the product information is filled, the DPX image format
// is registered, the SDK is initialised. Destruction runs the finalisation steps in reverse.
class TApplicationModules {
 public:
  TApplicationModules() = default;
  TApplicationModules(const TApplicationModules&) = delete;
  TApplicationModules& operator=(const TApplicationModules&) = delete;

 private:
  struct ProdInfoStep {
    ProdInfoStep();
    ~ProdInfoStep();
  };
  struct DpxFormatStep {
    DpxFormatStep();
    ~DpxFormatStep();
  };
  struct RawToDpxStep {
    RawToDpxStep();
    ~RawToDpxStep();
  };
  ProdInfoStep prodInfo_;
  DpxFormatStep dpxFormat_;
  RawToDpxStep rawToDpx_;
};

// The whole program: start-up, the main window's message loop, shutdown. Files and folders named
// on the command line are added to the list as a drop adds them; --version prints the version
// instead; every other argument is ignored. Returns the exit code, 0.
int RunTarnApplication(int argc, char** argv);
