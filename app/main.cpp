// Tarn RAW to DPX Converter. Start-up order: the application object, then the module steps
// (product information, DPX image format, SDK), then the main window and its message loop;
// shutdown in reverse. Files and folders on the command line are listed at start-up; other
// arguments are ignored.
#include "Application.h"

int main(int argc, char** argv) {
  return RunTarnApplication(argc, argv);
}
