// A generic Qt plugin that watches the program it is loaded into. When a visible, exposed main
// window holds TARN_PROBE_ENTRIES list entries that all have their sizes and no box is open, it
// prints the window's title, size and list, then closes the window. An open box is printed and
// answered with its default button.
#include <QApplication>
#include <QDialog>
#include <QGenericPlugin>
#include <QTimer>
#include <QTreeWidget>
#include <QWindow>
#include <cstdio>

namespace {

class TWindowProbe : public QObject {
 public:
  TWindowProbe() : entries_(qEnvironmentVariableIntValue("TARN_PROBE_ENTRIES")) {
    timer_.setInterval(10);
    connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
    std::fprintf(stderr, "window probe: loaded, waiting for the main window\n");
  }

 private:
  void Poll() {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      std::fprintf(stderr, "window probe: a box is open: %s\n",
                   modal->windowTitle().toLocal8Bit().constData());
      if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
      return;
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
      const auto* list = window->findChild<QTreeWidget*>(QStringLiteral("lvwFiles"));
      if (list == nullptr || !window->isVisible() || window->windowHandle() == nullptr ||
          !window->windowHandle()->isExposed() || list->topLevelItemCount() != entries_) {
        continue;
      }
      for (int i = 0; i < list->topLevelItemCount(); ++i) {
        if (list->topLevelItem(i)->text(1).isEmpty()) return;
      }
      std::printf("window up: \"%s\", %dx%d, %d list entries\n",
                  window->windowTitle().toLocal8Bit().constData(), window->width(),
                  window->height(), list->topLevelItemCount());
      for (int i = 0; i < list->topLevelItemCount(); ++i) {
        std::printf("  %s  %s\n", list->topLevelItem(i)->text(0).toLocal8Bit().constData(),
                    list->topLevelItem(i)->text(1).toLocal8Bit().constData());
      }
      std::fflush(stdout);
      timer_.stop();
      window->close();
      return;
    }
  }

  const int entries_;
  QTimer timer_;
};

}  // namespace

class TWindowProbePlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "windowprobe.json")
 public:
  // The application owns what this returns and deletes it when it ends.
  QObject* create(const QString& key, const QString&) override {
    return key == QStringLiteral("tarnwindowprobe") ? new TWindowProbe : nullptr;
  }
};

#include "WindowProbePlugin.moc"
