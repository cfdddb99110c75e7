// One batch run in the main window, as a user starts it, timed; with a 10 ms timer ticking on the
// window's thread throughout to show how long that thread was ever kept from its events.
//
//   tarn_window_batch <jobs> <empty output folder> <RAW file>...
//
// Prints one line: jobs, files, wall seconds from the click on Convert to its return, the longest
// gap between two ticks in milliseconds, and the number of ticks. Fails when a file was not
// converted or the run showed any message.
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <algorithm>
#include <cstdio>

#include "AppTestSupport.h"
#include "MainForm.h"

int main(int argc, char** argv) {
  QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);
  TTarnApplication application(argc, argv);
  TApplicationModules modules;
  QGuiApplication::setApplicationDisplayName(ProductInfo.ProductName);
  if (argc < 4) {
    std::fprintf(stderr, "usage: tarn_window_batch <jobs> <empty output folder> <RAW file>...\n");
    return 2;
  }
  const int jobs = std::atoi(argv[1]);
  const QString outputFolder = QString::fromLocal8Bit(argv[2]);
  QStringList files;
  for (int i = 3; i < argc; ++i) files.append(QString::fromLocal8Bit(argv[i]));

  TfrmMain form;
  form.show();
  QApplication::setActiveWindow(&form);
  form.AddFiles(files);
  ChooseOutputFolder(form, outputFolder);
  form.SetConversionJobs(jobs);

  QStringList messages;
  ScopedMessageAnswers answers([&](const MessageRequest& request) {
    messages.append(request.text);
    return MsgAnswer::Cancel;
  });

  QElapsedTimer sinceTick;
  qint64 longestGapNs = 0;
  int ticks = 0;
  QTimer ticker;
  ticker.setTimerType(Qt::PreciseTimer);
  ticker.setInterval(10);
  QObject::connect(&ticker, &QTimer::timeout, [&] {
    longestGapNs = std::max(longestGapNs, sinceTick.nsecsElapsed());
    sinceTick.restart();
    ++ticks;
  });

  QElapsedTimer wall;
  ticker.start();
  sinceTick.start();
  wall.start();
  form.findChild<QPushButton*>(QStringLiteral("sbnConvert"))->click();
  const double seconds = wall.nsecsElapsed() / 1e9;
  // The stretch from the last tick to the run's end counts too.
  longestGapNs = std::max(longestGapNs, sinceTick.nsecsElapsed());
  ticker.stop();

  const int converted =
      static_cast<int>(QDir(outputFolder).entryList({QStringLiteral("*.dpx")}, QDir::Files).size());
  std::printf("jobs=%d files=%d converted=%d seconds=%.2f longest_gap_ms=%.1f ticks=%d\n", jobs,
              int(files.size()), converted, seconds, longestGapNs / 1e6, ticks);
  for (const QString& message : messages) std::fprintf(stderr, "shown: %s\n", qPrintable(message));
  return converted == files.size() && messages.isEmpty() ? 0 : 1;
}
