#include "ErrorDisplay.h"

#include "MessageDialogs.h"

QString ErrorDisplayText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

void ShowErrorMessage(const QString& message) {
  MessageDlg(ErrorDisplayText(message), MsgKind::Error, MsgButton::OK);
}
