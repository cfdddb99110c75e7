// The top-level error display: what a user command lets escape is shown in a modal box captioned
// with the application title, with the error icon and one OK button; the program goes on.
#pragma once

#include <QString>
#include <exception>
#include <utility>

#include "Exception.h"

// The text the box shows: the message with "." appended when its last character's code is above
// that of "." (so "EOS Error: 00000022" reads "EOS Error: 00000022.", while a message ending in
// ".", ")" or a blank is unchanged).
QString ErrorDisplayText(const QString& message);

// The file an error is about and, for an SDK failure, the reason in words; the box shows them
// on a second line below the message, which itself stays as it was raised.
class FileErrorContext {
 public:
  FileErrorContext(QString path, QString reason)
      : path_(std::move(path)), reason_(std::move(reason)) {}
  virtual ~FileErrorContext() = default;

  const QString& Path() const { return path_; }
  const QString& Reason() const { return reason_; }
  // "<path>: <reason>", or the path alone when there is no reason apart from the message.
  QString Details() const;

 private:
  QString path_;
  QString reason_;
};

// An error of the type it was raised as (an SDK failure stays an EosError), with its file.
template <class Error>
class TFileError : public Error, public FileErrorContext {
 public:
  TFileError(const Error& error, QString path, QString reason)
      : Error(error), FileErrorContext(std::move(path), std::move(reason)) {}
};

// Raises the error being handled again with the file it is about; call it inside a catch block.
// An SDK failure gets its reason in words; an error that already names its file is raised as it
// is.
[[noreturn]] void RaiseForFile(const QString& path);

// Shows the box for one error message, with an optional second line, and returns when the user
// has closed it.
void ShowErrorMessage(const QString& message, const QString& details = QString());
// Shows the box for error: its message and, when it is about a file, the file and the reason.
void ShowError(const std::exception& error);

// Runs one user command; an error it raises ends the command and is shown in the box. Handlers
// run through this so that no exception unwinds through Qt's own frames.
template <class Command>
void RunCommand(Command&& command) {
  try {
    command();
  } catch (const std::exception& error) {
    ShowError(error);
  }
}
