#include "MessageDialogs.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSpacerItem>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <array>

namespace {

struct ButtonLayout {
  MsgButton button;
  const char* caption;
  const char* objectName;
  MsgAnswer answer;
};

// The one order in which buttons are laid out.
constexpr std::array<ButtonLayout, 5> kButtonOrder = {{
    {MsgButton::Yes, "&Yes", "btnYes", MsgAnswer::Yes},
    {MsgButton::No, "&No", "btnNo", MsgAnswer::No},
    {MsgButton::OK, "OK", "btnOK", MsgAnswer::OK},
    {MsgButton::Cancel, "Cancel", "btnCancel", MsgAnswer::Cancel},
    {MsgButton::YesToAll, "Yes to &All", "btnYesToAll", MsgAnswer::YesToAll},
}};

constexpr int kMinimumButtonWidth = 75;
constexpr int kIconSize = 32;

ScopedMessageAnswers::Hook& AnswerHook() {
  static ScopedMessageAnswers::Hook hook;
  return hook;
}

QString TitleFor(MsgKind kind) {
  switch (kind) {
    case MsgKind::Information:
      return QObject::tr("Information");
    case MsgKind::Confirmation:
      return QObject::tr("Confirm");
    case MsgKind::Error:
    case MsgKind::Plain:
      break;
  }
  return ApplicationTitle();
}

QWidget* DialogParent() {
  if (QWidget* modal = QApplication::activeModalWidget()) return modal;
  return QApplication::activeWindow();
}

QScreen* ScreenFor(const QWidget* parent) {
  if (parent != nullptr && parent->screen() != nullptr) return parent->screen();
  return QGuiApplication::primaryScreen();
}

// The letter after "&" in a caption, upper-cased; a null character when there is none.
QChar AccessKey(const QString& caption) {
  const qsizetype amp = caption.indexOf(QLatin1Char('&'));
  return amp >= 0 && amp + 1 < caption.size() ? caption.at(amp + 1).toUpper() : QChar();
}

// Message text wraps at word boundaries within half the screen's width. A word longer than that
// (a deep path has no blanks) widens the label instead of being cut off.
int MessageWidth(const QLabel& label, int halfScreen) {
  const QFontMetrics metrics(label.font());
  const QRect wrapped = metrics.boundingRect(QRect(0, 0, halfScreen, 1 << 20),
                                             Qt::TextWordWrap | Qt::AlignLeft, label.text());
  const int screenLimit = halfScreen * 9 / 5;
  return std::min(wrapped.width() + 1, screenLimit);
}

// How wide a window has to be for its title to show whole: window managers draw titles in a
// bold face, and the frame's icon and buttons share the bar with it.
int TitleWidth(const QString& title, const QFont& font) {
  QFont bold = font;
  bold.setBold(true);
  return QFontMetrics(bold).horizontalAdvance(title) + TMessageDialog::kTitleBarAllowance;
}

}  // namespace

QString ApplicationTitle() {
  return QGuiApplication::applicationDisplayName();
}

ScopedMessageAnswers::ScopedMessageAnswers(Hook hook) : previous_(std::move(AnswerHook())) {
  AnswerHook() = std::move(hook);
}

ScopedMessageAnswers::~ScopedMessageAnswers() {
  AnswerHook() = std::move(previous_);
}

TMessageDialog::TMessageDialog(const MessageRequest& request, QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("MessageDialog"));
  setWindowTitle(request.title);
  setWindowModality(Qt::ApplicationModal);

  auto* top = new QVBoxLayout(this);
  top->setSizeConstraint(QLayout::SetFixedSize);
  auto* body = new QHBoxLayout;
  body->setSpacing(12);
  top->addLayout(body);

  QStyle::StandardPixmap icon = QStyle::SP_CustomBase;
  switch (request.kind) {
    case MsgKind::Information:
      icon = QStyle::SP_MessageBoxInformation;
      break;
    case MsgKind::Confirmation:
      icon = QStyle::SP_MessageBoxQuestion;
      break;
    case MsgKind::Error:
      icon = QStyle::SP_MessageBoxCritical;
      break;
    case MsgKind::Plain:
      break;
  }
  if (icon != QStyle::SP_CustomBase) {
    auto* iconLabel = new QLabel(this);
    iconLabel->setObjectName(QStringLiteral("imgIcon"));
    iconLabel->setPixmap(style()->standardIcon(icon, nullptr, this).pixmap(kIconSize, kIconSize));
    body->addWidget(iconLabel, 0, Qt::AlignTop);
  }

  const auto textLabel = [this](const char* name, const QString& text) {
    auto* label = new QLabel(text, this);
    label->setObjectName(QLatin1String(name));
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
    return label;
  };
  const int halfScreen = ScreenFor(parent)->availableGeometry().width() / 2;
  auto* message = textLabel("lblMessage", request.text);
  QLabel* informative = nullptr;
  if (!request.informativeText.isEmpty()) {
    informative = textLabel("lblInformative", request.informativeText);
    QFont smaller = informative->font();
    if (smaller.pixelSize() > 0) {
      smaller.setPixelSize(std::max(1, smaller.pixelSize() * 5 / 6));
    } else {
      smaller.setPointSizeF(smaller.pointSizeF() * 5 / 6);
    }
    informative->setFont(smaller);
  }
  int columnWidth = MessageWidth(*message, halfScreen);
  if (informative != nullptr) {
    columnWidth = std::max(columnWidth, MessageWidth(*informative, halfScreen));
  }
  message->setFixedWidth(columnWidth);
  if (informative == nullptr) {
    body->addWidget(message, 1, Qt::AlignVCenter);
  } else {
    informative->setFixedWidth(columnWidth);
    auto* column = new QVBoxLayout;
    column->setSpacing(6);
    column->addWidget(message);
    column->addWidget(informative);
    body->addLayout(column, 1);
    body->setAlignment(column, Qt::AlignVCenter);
  }

  auto* row = new QHBoxLayout;
  row->addStretch(1);
  for (const ButtonLayout& entry : kButtonOrder) {
    if (!request.buttons.testFlag(entry.button)) continue;
    auto* button = new QPushButton(tr(entry.caption), this);
    button->setObjectName(QLatin1String(entry.objectName));
    button->setMinimumWidth(kMinimumButtonWidth);
    const MsgAnswer answer = entry.answer;
    connect(button, &QPushButton::clicked, this, [this, answer] { Finish(answer); });
    buttons_.append({button, answer});
    row->addWidget(button);
  }
  row->addStretch(1);
  top->addSpacing(6);
  top->addLayout(row);
  // Takes no height; only keeps the box wide enough for its title.
  top->addItem(new QSpacerItem(TitleWidth(request.title, font()), 0, QSizePolicy::Fixed,
                               QSizePolicy::Fixed));

  const auto has = [&](MsgButton b) { return request.buttons.testFlag(b); };
  escapeAnswer_ = has(MsgButton::Cancel) ? MsgAnswer::Cancel
                  : has(MsgButton::No)   ? MsgAnswer::No
                  : has(MsgButton::OK)   ? MsgAnswer::OK
                                         : MsgAnswer::Cancel;
  const MsgAnswer defaultAnswer = has(MsgButton::Yes) ? MsgAnswer::Yes : MsgAnswer::OK;
  for (const auto& [button, answer] : buttons_) {
    if (answer == defaultAnswer) defaultButton_ = button;
  }
  if (defaultButton_ == nullptr && !buttons_.isEmpty()) defaultButton_ = buttons_.first().first;
  if (defaultButton_ != nullptr) defaultButton_->setDefault(true);
}

QList<QPushButton*> TMessageDialog::Buttons() const {
  QList<QPushButton*> list;
  for (const auto& entry : buttons_) list.append(entry.first);
  return list;
}

void TMessageDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
    Finish(escapeAnswer_);
    return;
  }
  // As in the desktop's own dialogs, a button's underlined letter works without Alt too.
  const Qt::KeyboardModifiers modifiers = event->modifiers() & ~Qt::KeypadModifier;
  if ((modifiers == Qt::NoModifier || modifiers == Qt::AltModifier) && event->text().size() == 1) {
    const QChar key = event->text().at(0).toUpper();
    for (const auto& [button, answer] : buttons_) {
      if (!key.isNull() && AccessKey(button->text()) == key) {
        button->click();
        return;
      }
    }
  }
  QDialog::keyPressEvent(event);
}

void TMessageDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (defaultButton_ != nullptr) defaultButton_->setFocus(Qt::OtherFocusReason);
}

void TMessageDialog::reject() {
  Finish(MsgAnswer::Cancel);
}

void TMessageDialog::Finish(MsgAnswer answer) {
  answer_ = answer;
  done(QDialog::Accepted);
}

MsgAnswer MessageDlg(const QString& text, MsgKind kind, MsgButtons buttons,
                     const QString& informativeText) {
  const MessageRequest request{kind, TitleFor(kind), text, buttons, informativeText};
  if (AnswerHook()) return AnswerHook()(request);

  QWidget* parent = DialogParent();
  TMessageDialog dialog(request, parent);
  dialog.adjustSize();
  const QRect screen = ScreenFor(parent)->availableGeometry();
  dialog.move(screen.center() - dialog.rect().center());
  dialog.exec();
  return dialog.Answer();
}

void ShowInformation(const QString& text) {
  MessageDlg(text, MsgKind::Information, MsgButton::OK);
}

MsgAnswer Confirm(const QString& text, MsgButtons buttons) {
  return MessageDlg(text, MsgKind::Confirmation, buttons);
}
