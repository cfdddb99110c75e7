#include "RawFileDialog.h"

#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <algorithm>

namespace {

QLineEdit* FileNameField(const QFileDialog& dialog) {
  return dialog.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
}

}  // namespace

TRawFileDialog::TRawFileDialog(QWidget* parent) : QFileDialog(parent) {}

QStringList TRawFileDialog::ChosenFiles() const {
  return typed_.isEmpty() ? selectedFiles() : typed_;
}

QStringList TRawFileDialog::NamesInField(const QString& text) {
  QStringList names;
  if (!text.contains(u'"')) {
    if (!text.trimmed().isEmpty()) names.append(text);
    return names;
  }
  // Every second piece lies between quotes; what lies between the quoted names is no name.
  const QStringList pieces = text.split(u'"');
  for (qsizetype i = 1; i < pieces.size(); i += 2) {
    if (!pieces[i].isEmpty()) names.append(pieces[i]);
  }
  return names;
}

QStringList TRawFileDialog::TypedFiles() const {
  const QLineEdit* field = FileNameField(*this);
  if (field == nullptr) return {};  // the desktop's own dialog: it returns what was named
  QStringList files;
  const QDir folder = directory();
  for (QString name : NamesInField(field->text())) {
    if (name == u'~' || name.startsWith(QStringLiteral("~/"))) {
      name.replace(0, 1, QDir::homePath());
    }
    files.append(QDir::cleanPath(folder.absoluteFilePath(name)));
  }
  return files;
}

void TRawFileDialog::accept() {
  typed_.clear();
  const QStringList typed = TypedFiles();
  // A typed folder (or "..") is opened, as the dialog does itself.
  const bool namesFolder = std::any_of(typed.begin(), typed.end(),
                                       [](const QString& path) { return QFileInfo(path).isDir(); });
  if (typed.isEmpty() || namesFolder) {
    QFileDialog::accept();
    return;
  }
  // The dialog itself would return its view's selection, which leaves out the typed names that
  // the file-type filter hides, and would refuse names of files that do not exist; the list
  // takes every name and shows why a file cannot be read.
  typed_ = typed;
  QDialog::accept();
}
