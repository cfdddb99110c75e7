// The output options of a batch: the file format and, optionally, sequence names from a
// pattern with a start number. Chosen in a dialog opened from the side panel; not saved.
#pragma once

#include <QDialog>
#include <QString>

#include "RawToDpx.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

struct TOutputChoice {
  OutputFormat format = OutputFormat::Dpx;
  bool usePattern = false;  // false: each file is named after its RAW file
  QString pattern = QStringLiteral("shot_{frame:07}");
  int start = 1;

  // The choice a new window starts with: DPX files named after the RAW files, as always.
  bool IsDefault() const { return format == OutputFormat::Dpx && !usePattern; }
  bool operator==(const TOutputChoice&) const = default;
};

class TOutputOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TOutputOptionsDialog(const TOutputChoice& choice, QWidget* parent = nullptr);

  TOutputChoice Choice() const;

  // OK keeps the dialog open while the pattern cannot name files, saying why.
  void accept() override;

 private:
  void UpdateControls();

  QComboBox* cbxFormat_ = nullptr;
  QCheckBox* cbxUsePattern_ = nullptr;
  QLineEdit* edtPattern_ = nullptr;
  QSpinBox* edtStart_ = nullptr;
  QLabel* lblPatternError_ = nullptr;
};
