// The top-level error display: what a user command lets escape is shown in a modal box captioned
// with the application title, with the error icon and one OK button; the program goes on.
#pragma once

#include <QString>
#include <exception>

// The text the box shows: the message with "." appended when its last character's code is above
// that of "." (so "EOS Error: 00000022" reads "EOS Error: 00000022.", while a message ending in
// ".", ")" or a blank is unchanged).
QString ErrorDisplayText(const QString& message);

// Shows the box for one error message and returns when the user has closed it.
void ShowErrorMessage(const QString& message);

// Runs one user command; an error it raises ends the command and is shown in the box. Handlers
// run through this so that no exception unwinds through Qt's own frames.
template <class Command>
void RunCommand(Command&& command) {
  try {
    command();
  } catch (const std::exception& error) {
    ShowErrorMessage(QString::fromUtf8(error.what()));
  }
}
