// Helpers of the application's Qt tests: the program's own application object around every test,
// a fake SDK for the duration of a test, and drivers that act on modal dialogs from inside
// their loops.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "Application.h"
#include "FakeEdsBackend.h"
#include "MessageDialogs.h"
#include "ProdInfo.h"
#include "edsdk/EdsBackend.h"

// Runs the test object the way the program runs its window: under TTarnApplication, with the
// module steps done (product information, DPX format, SDK) and the application title set.
#define TARN_APP_TEST_MAIN(TestObject)                                   \
  int main(int argc, char** argv) {                                      \
    QCoreApplication::setAttribute(Qt::AA_Use96Dpi, true);               \
    TTarnApplication application(argc, argv);                            \
    TApplicationModules modules;                                         \
    QGuiApplication::setApplicationDisplayName(ProductInfo.ProductName); \
    TestObject test;                                                     \
    return QTest::qExec(&test, argc, argv);                              \
  }

// Puts a fake SDK in place of the real one for the lifetime of the object.
class ScopedFakeSdk {
 public:
  ScopedFakeSdk() : fake(std::make_shared<FakeEdsBackend>()) { SetEdsBackend(fake); }
  ~ScopedFakeSdk() { SetEdsBackend(nullptr); }
  ScopedFakeSdk(const ScopedFakeSdk&) = delete;
  ScopedFakeSdk& operator=(const ScopedFakeSdk&) = delete;

  std::shared_ptr<FakeEdsBackend> fake;
};

// Runs action on the next modal dialog of type Dialog as soon as it is up (and ready() holds),
// from inside that dialog's own loop. Returns at once. So that a test cannot hang, modal dialogs
// are rejected (with a warning) when the expected one does not come up within ten seconds or is
// still open five seconds after the action.
template <class Dialog>
void OnNextModal(std::function<void(Dialog&)> action,
                 std::function<bool(const Dialog&)> ready = nullptr) {
  auto* timer = new QTimer(qApp);
  timer->setInterval(5);
  auto polls = std::make_shared<int>(0);
  auto handled = std::make_shared<QPointer<Dialog>>();
  QObject::connect(timer, &QTimer::timeout, timer, [timer, polls, handled, action, ready] {
    if (!handled->isNull() || *polls < 0) {
      // After the action: wait for the dialog to close.
      if (handled->isNull() || !(*handled)->isVisible()) {
        timer->stop();
        timer->deleteLater();
      } else if (--*polls < -1000) {
        qWarning("OnNextModal: the dialog is still open after the action");
        if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget())) open->reject();
      }
      return;
    }
    auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
    if (dialog != nullptr && dialog->isVisible() && (!ready || ready(*dialog))) {
      *handled = dialog;
      *polls = -1;
      timer->stop();
      action(*dialog);
      timer->start();
      return;
    }
    if (++*polls > 2000) {
      timer->stop();
      timer->deleteLater();
      qWarning("OnNextModal: the expected dialog did not come up");
      if (auto* open = qobject_cast<QDialog*>(QApplication::activeModalWidget())) open->reject();
    }
  });
  timer->start();
}

// What a message dialog showed.
struct ShownMessage {
  QString title;
  QString text;
  QString informativeText;  // the smaller second line; empty when the dialog has none
  QStringList buttons;      // captions, left to right
  QString defaultButton;
  QImage icon;  // null when the dialog has none
  bool applicationModal = false;
  QSize size;  // of the dialog, frame excluded
};

// While alive, answers every message dialog that comes up by pressing the button with the given
// object name (the first button when it has none) and records what each one showed.
class MessageRecorder {
 public:
  explicit MessageRecorder(QString answerButton = QStringLiteral("btnOK"));
  ~MessageRecorder();
  MessageRecorder(const MessageRecorder&) = delete;
  MessageRecorder& operator=(const MessageRecorder&) = delete;

  const QList<ShownMessage>& Shown() const { return *shown_; }

 private:
  std::shared_ptr<QList<ShownMessage>> shown_ = std::make_shared<QList<ShownMessage>>();
  std::unique_ptr<QTimer> timer_ = std::make_unique<QTimer>();
};

// What a message dialog shows, read from its widgets.
ShownMessage ReadMessageDialog(const TMessageDialog& dialog);

class TfrmMain;

// Chooses the output folder of the main window through its folder chooser, as a user does.
void ChooseOutputFolder(TfrmMain& form, const QString& folder);
