#include "ErrorDisplay.h"

#include "MessageDialogs.h"
#include "edsdk/EDSDKErrors.h"

QString ErrorDisplayText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

QString FileErrorContext::Details() const {
  if (reason_.isEmpty()) return path_;
  return path_ + QStringLiteral(": ") + reason_;
}

void RaiseForFile(const QString& path) {
  try {
    throw;
  } catch (const FileErrorContext&) {
    throw;
  } catch (const EosError& error) {
    throw TFileError<EosError>(error, path, QString::fromUtf8(EdsErrorDescription(error.code())));
  } catch (const Exception& error) {
    throw TFileError<Exception>(error, path, QString());
  }
}

void ShowErrorMessage(const QString& message, const QString& details) {
  MessageDlg(ErrorDisplayText(message), MsgKind::Error, MsgButton::OK, details);
}

void ShowError(const std::exception& error) {
  const auto* file = dynamic_cast<const FileErrorContext*>(&error);
  ShowErrorMessage(QString::fromUtf8(error.what()), file != nullptr ? file->Details() : QString());
}
