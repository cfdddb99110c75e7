// Modal message dialogs: an icon beside a word-wrapped message and one centred row of buttons,
// always in the order "&Yes", "&No", "OK", "Cancel", "Yes to &All" as far as present, whatever
// the desktop's own button order is.
#pragma once

#include <QDialog>
#include <QFlags>
#include <QString>
#include <functional>

class QPushButton;

enum class MsgKind {
  Information,   // title "Information", information icon
  Confirmation,  // title "Confirm", question icon
  Error,         // title: the application title, error icon
  Plain,         // title: the application title, no icon
};

enum class MsgButton : unsigned { Yes = 0x1, No = 0x2, OK = 0x4, Cancel = 0x8, YesToAll = 0x10 };
Q_DECLARE_FLAGS(MsgButtons, MsgButton)
Q_DECLARE_OPERATORS_FOR_FLAGS(MsgButtons)

// What the user answered: the button pressed, Enter (the default button), Esc (Cancel if
// present, else "&No", else "OK") or the title bar's close button (always Cancel).
enum class MsgAnswer { OK, Cancel, Yes, No, YesToAll };

struct MessageRequest {
  MsgKind kind;
  QString title;
  QString text;
  MsgButtons buttons;
  // A second, smaller line below the message (which file, and why); none when empty.
  QString informativeText = {};
};

// Shows the dialog modally, centred on the screen, and returns the answer.
MsgAnswer MessageDlg(const QString& text, MsgKind kind, MsgButtons buttons,
                     const QString& informativeText = QString());

// The "Information" dialog with one "OK" button.
void ShowInformation(const QString& text);
// The "Confirm" dialog with the given buttons.
MsgAnswer Confirm(const QString& text, MsgButtons buttons);

// The application title: caption of the error box and of plain message windows.
QString ApplicationTitle();

// Lets tests answer dialogs without showing them. The hook sees every request that would have
// been shown; the previous hook is back when the object goes away.
class ScopedMessageAnswers {
 public:
  using Hook = std::function<MsgAnswer(const MessageRequest&)>;
  explicit ScopedMessageAnswers(Hook hook);
  ~ScopedMessageAnswers();
  ScopedMessageAnswers(const ScopedMessageAnswers&) = delete;
  ScopedMessageAnswers& operator=(const ScopedMessageAnswers&) = delete;

 private:
  Hook previous_;
};

// The dialog itself; MessageDlg is the way to use it.
class TMessageDialog : public QDialog {
  Q_OBJECT
 public:
  // Room for the frame's own icon and buttons beside the title, so that the window manager
  // shows the whole title.
  static constexpr int kTitleBarAllowance = 120;

  TMessageDialog(const MessageRequest& request, QWidget* parent);

  MsgAnswer Answer() const { return answer_; }
  // The buttons as laid out, left to right.
  QList<QPushButton*> Buttons() const;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

 public Q_SLOTS:
  // The close button of the title bar and anything else that dismisses the dialog.
  void reject() override;

 private:
  void Finish(MsgAnswer answer);

  MsgAnswer answer_ = MsgAnswer::Cancel;
  MsgAnswer escapeAnswer_ = MsgAnswer::Cancel;
  QList<std::pair<QPushButton*, MsgAnswer>> buttons_;
  QPushButton* defaultButton_ = nullptr;
};
