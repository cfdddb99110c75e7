#include "AppTestSupport.h"

#include <QLabel>

#include "MainForm.h"
#include "PathDialog.h"

ShownMessage ReadMessageDialog(const TMessageDialog& dialog) {
  ShownMessage shown;
  shown.title = dialog.windowTitle();
  if (const auto* text = dialog.findChild<QLabel*>(QStringLiteral("lblMessage"))) {
    shown.text = text->text();
  }
  if (const auto* informative = dialog.findChild<QLabel*>(QStringLiteral("lblInformative"))) {
    shown.informativeText = informative->text();
  }
  shown.size = dialog.size();
  if (const auto* icon = dialog.findChild<QLabel*>(QStringLiteral("imgIcon"))) {
    shown.icon = icon->pixmap().toImage();
  }
  for (const QPushButton* button : dialog.Buttons()) {
    shown.buttons.append(button->text());
    if (button->isDefault()) shown.defaultButton = button->text();
  }
  shown.applicationModal = dialog.windowModality() == Qt::ApplicationModal;
  return shown;
}

MessageRecorder::MessageRecorder(QString answerButton) {
  timer_->setInterval(5);
  QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [shown = shown_, answerButton] {
    auto* dialog = qobject_cast<TMessageDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    shown->append(ReadMessageDialog(*dialog));
    QPushButton* answer = dialog->findChild<QPushButton*>(answerButton);
    if (answer == nullptr && !dialog->Buttons().isEmpty()) answer = dialog->Buttons().first();
    if (answer != nullptr) {
      answer->click();
    } else {
      dialog->reject();
    }
  });
  timer_->start();
}

MessageRecorder::~MessageRecorder() = default;

void ChooseOutputFolder(TfrmMain& form, const QString& folder) {
  OnNextModal<TFolderBrowser>(
      [folder](TFolderBrowser& browser) {
        browser.SelectFolder(folder);
        browser.accept();
      },
      [](const TFolderBrowser& browser) { return browser.IsReady(); });
  QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("sbnOutFolder")), Qt::LeftButton);
}
