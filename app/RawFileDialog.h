// The open-file dialog of Add RAW Files. What it returns is what the user named: the names typed
// in its file-name field, in the order typed, whether the file-type filter shows them or not and
// whether they exist or not; without typed names, the files selected in its view.
#pragma once

#include <QFileDialog>
#include <QStringList>

class TRawFileDialog : public QFileDialog {
 public:
  explicit TRawFileDialog(QWidget* parent);

  // The files of the last confirmed use, as full paths, in the order named.
  QStringList ChosenFiles() const;

  // The names in a file-name field's text: each name between double quotes when there are any
  // ("a.cr2" "b.nef"), else the whole text as one name. Empty names are dropped.
  static QStringList NamesInField(const QString& text);

  void accept() override;

 private:
  // The typed names as full paths: relative ones in the dialog's folder, "~" the home folder.
  QStringList TypedFiles() const;

  QStringList typed_;
};
