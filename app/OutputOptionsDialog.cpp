#include "OutputOptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QVBoxLayout>

#include "NamePattern.h"

TOutputOptionsDialog::TOutputOptionsDialog(const TOutputChoice& choice, QWidget* parent)
    : QDialog(parent) {
  setObjectName(QStringLiteral("dlgOutputOptions"));
  setWindowTitle(tr("Output Options"));

  cbxFormat_ = new QComboBox(this);
  cbxFormat_->setObjectName(QStringLiteral("cbxFormat"));
  cbxFormat_->addItems({tr("DPX 16-bit"), tr("OpenEXR (linear, half float)")});
  cbxFormat_->setCurrentIndex(choice.format == OutputFormat::Exr ? 1 : 0);

  cbxUsePattern_ = new QCheckBox(tr("Name files by pattern"), this);
  cbxUsePattern_->setObjectName(QStringLiteral("cbxUsePattern"));
  cbxUsePattern_->setChecked(choice.usePattern);

  edtPattern_ = new QLineEdit(choice.pattern, this);
  edtPattern_->setObjectName(QStringLiteral("edtPattern"));

  edtStart_ = new QSpinBox(this);
  edtStart_->setObjectName(QStringLiteral("edtStart"));
  edtStart_->setRange(0, 999'999'999);
  edtStart_->setValue(choice.start);

  auto* help = new QLabel(
      tr("{frame:7} is the frame number with 7 digits, counting from the start number in "
         "list order; {stem} the RAW file's name; {camera} the camera model; {date} the "
         "capture date. The extension is added. OpenEXR files hold linear light whatever "
         "the colour space."),
      this);
  help->setWordWrap(true);

  lblPatternError_ = new QLabel(this);
  lblPatternError_->setObjectName(QStringLiteral("lblPatternError"));
  lblPatternError_->setWordWrap(true);
  lblPatternError_->setTextFormat(Qt::PlainText);
  lblPatternError_->hide();

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout;
  form->addRow(tr("File format"), cbxFormat_);
  form->addRow(cbxUsePattern_);
  form->addRow(tr("Name pattern"), edtPattern_);
  form->addRow(tr("Start number"), edtStart_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(help);
  layout->addWidget(lblPatternError_);
  layout->addWidget(buttons);

  connect(cbxUsePattern_, &QCheckBox::toggled, this, [this] { UpdateControls(); });
  UpdateControls();
}

void TOutputOptionsDialog::UpdateControls() {
  edtPattern_->setEnabled(cbxUsePattern_->isChecked());
  edtStart_->setEnabled(cbxUsePattern_->isChecked());
}

TOutputChoice TOutputOptionsDialog::Choice() const {
  TOutputChoice choice;
  choice.format = cbxFormat_->currentIndex() == 1 ? OutputFormat::Exr : OutputFormat::Dpx;
  choice.usePattern = cbxUsePattern_->isChecked();
  choice.pattern = edtPattern_->text();
  choice.start = edtStart_->value();
  return choice;
}

void TOutputOptionsDialog::accept() {
  if (cbxUsePattern_->isChecked()) {
    try {
      NamePattern check(edtPattern_->text().toStdString());
    } catch (const std::exception& e) {
      lblPatternError_->setText(QString::fromStdString(e.what()));
      lblPatternError_->show();
      edtPattern_->setFocus();
      return;
    }
  }
  QDialog::accept();
}
