// Tarn RAW to DPX Converter. Start-up order: the application object, then the module steps
// (product information, DPX image format, SDK), then the main window and its message loop;
// shutdown in reverse. Command-line arguments are ignored.
#include "Application.h"

int main(int argc, char** argv) {
  return RunTarnApplication(argc, argv);
}
