#include "ColourOptionsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "ErrorDisplay.h"
#include "RawFileDialog.h"

namespace {

// Wide enough for a camera's file name; longer names end in an ellipsis, the tooltip is whole.
constexpr int kReferenceNameWidth = 180;

// Green 1, as the develop step takes them.
std::array<double, 3> GreenScaled(std::array<double, 3> multipliers) {
  const double green = multipliers[1];
  for (double& m : multipliers) m /= green;
  return multipliers;
}

}  // namespace

void TColourChoice::ApplyTo(TConvertOptions& options) const {
  switch (whiteBalance) {
    case kWhiteBalanceDaylight:
      options.WhiteBalance = kWhiteBalanceDaylight;
      break;
    case kWhiteBalanceMultipliers:
    case kWhiteBalanceFromReference:
      // A reference frame is read once, in the dialog, so every file gets the same numbers.
      options.WhiteBalance = kWhiteBalanceMultipliers;
      options.WhiteBalanceMultipliers = multipliers;
      break;
    case kWhiteBalanceTemperature:
      options.WhiteBalance = kWhiteBalanceTemperature;
      options.WhiteBalanceKelvin = kelvin;
      options.WhiteBalanceTint = tint;
      break;
    default:
      options.WhiteBalance = kWhiteBalanceAsShot;
      break;
  }
  options.ExposureStops = exposureStops;
  options.Highlights = highlights;
}

TColourOptionsDialog::TColourOptionsDialog(const TColourChoice& choice, QWidget* parent)
    : QDialog(parent), choice_(choice), referenceFrame_(choice.referenceFrame) {
  setObjectName(QStringLiteral("dlgColourOptions"));
  setWindowTitle(tr("Colour Options"));

  cbxWhiteBalance_ = new QComboBox(this);
  cbxWhiteBalance_->setObjectName(QStringLiteral("cbxWhiteBalance"));
  // In the order of the modes' ids.
  cbxWhiteBalance_->addItems({tr("As shot"), tr("Camera daylight"), tr("Multipliers"),
                              tr("Temperature and tint"), tr("From a reference frame")});
  cbxWhiteBalance_->setCurrentIndex(choice.whiteBalance >= 0 &&
                                            choice.whiteBalance < cbxWhiteBalance_->count()
                                        ? choice.whiteBalance
                                        : kWhiteBalanceAsShot);

  auto* multiplierRow = new QHBoxLayout;
  static constexpr const char* kChannels[] = {"R", "G", "B"};
  static constexpr const char* kMultiplierNames[] = {"edtMultiplierRed", "edtMultiplierGreen",
                                                     "edtMultiplierBlue"};
  for (std::size_t c = 0; c < 3; ++c) {
    auto* field = new QDoubleSpinBox(this);
    field->setObjectName(QLatin1String(kMultiplierNames[c]));
    field->setDecimals(4);
    field->setRange(kMinMultiplier, kMaxMultiplier);
    field->setSingleStep(0.01);
    field->setValue(choice.multipliers[c]);
    edtMultipliers_[c] = field;
    multiplierRow->addWidget(new QLabel(QLatin1String(kChannels[c]), this));
    multiplierRow->addWidget(field, 1);
  }

  edtKelvin_ = new QSpinBox(this);
  edtKelvin_->setObjectName(QStringLiteral("edtKelvin"));
  edtKelvin_->setRange(kMinKelvin, kMaxKelvin);
  edtKelvin_->setSingleStep(100);
  edtKelvin_->setSuffix(QStringLiteral(" K"));
  edtKelvin_->setValue(static_cast<int>(choice.kelvin));
  edtTint_ = new QSpinBox(this);
  edtTint_->setObjectName(QStringLiteral("edtTint"));
  edtTint_->setRange(-kMaxTint, kMaxTint);
  edtTint_->setValue(static_cast<int>(choice.tint));
  edtTint_->setToolTip(tr("Positive values towards green, negative towards magenta"));
  auto* temperatureRow = new QHBoxLayout;
  temperatureRow->addWidget(edtKelvin_, 1);
  temperatureRow->addWidget(new QLabel(tr("Tint"), this));
  temperatureRow->addWidget(edtTint_, 1);

  lblReferenceFrame_ = new QLabel(this);
  lblReferenceFrame_->setObjectName(QStringLiteral("lblReferenceFrame"));
  lblReferenceFrame_->setTextFormat(Qt::PlainText);
  lblReferenceFrame_->setMinimumWidth(kReferenceNameWidth);
  btnReferenceFrame_ = new QPushButton(tr("Choose..."), this);
  btnReferenceFrame_->setObjectName(QStringLiteral("btnReferenceFrame"));
  btnReferenceFrame_->setAutoDefault(false);
  connect(btnReferenceFrame_, &QPushButton::clicked, this, [this] { btnReferenceFrameClick(); });
  auto* referenceRow = new QHBoxLayout;
  referenceRow->addWidget(lblReferenceFrame_, 1);
  referenceRow->addWidget(btnReferenceFrame_);

  edtExposure_ = new QDoubleSpinBox(this);
  edtExposure_->setObjectName(QStringLiteral("edtExposure"));
  edtExposure_->setDecimals(1);
  edtExposure_->setRange(-kMaxExposureStops, kMaxExposureStops);
  edtExposure_->setSingleStep(0.1);
  edtExposure_->setSuffix(tr(" stops"));
  edtExposure_->setValue(choice.exposureStops);

  cbxHighlights_ = new QComboBox(this);
  cbxHighlights_->setObjectName(QStringLiteral("cbxHighlights"));
  cbxHighlights_->addItems({tr("Clip"), tr("Reconstruct")});
  cbxHighlights_->setCurrentIndex(choice.highlights == kHighlightsReconstruct ? 1 : 0);

  auto* help = new QLabel(
      tr("A reference frame's balance, as the camera recorded it, is used for every file: a "
         "sequence shot with automatic white balance converts without colour flicker. Exposure "
         "is applied in linear light before the highlights are clipped or reconstructed."),
      this);
  help->setWordWrap(true);

  lblError_ = new QLabel(this);
  lblError_->setObjectName(QStringLiteral("lblError"));
  lblError_->setWordWrap(true);
  lblError_->setTextFormat(Qt::PlainText);
  lblError_->hide();

  odgReference_ = new TRawFileDialog(this);
  odgReference_->setObjectName(QStringLiteral("odgReference"));
  odgReference_->setWindowTitle(tr("Choose the reference frame"));
  odgReference_->setAcceptMode(QFileDialog::AcceptOpen);
  odgReference_->setFileMode(QFileDialog::ExistingFile);
  odgReference_->setNameFilters({tr("Canon RAW Files (*.cr2 *.CR2)"), tr("All Files (*)")});
  odgReference_->selectNameFilter(odgReference_->nameFilters().first());

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

  auto* form = new QFormLayout;
  form->addRow(tr("White balance"), cbxWhiteBalance_);
  form->addRow(tr("Multipliers"), multiplierRow);
  form->addRow(tr("Temperature"), temperatureRow);
  form->addRow(tr("Reference frame"), referenceRow);
  form->addRow(tr("Exposure"), edtExposure_);
  form->addRow(tr("Highlights"), cbxHighlights_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(help);
  layout->addWidget(lblError_);
  layout->addWidget(buttons);

  connect(cbxWhiteBalance_, &QComboBox::currentIndexChanged, this, [this] { UpdateControls(); });
  ShowReferenceFrame();
  UpdateControls();
}

TColourOptionsDialog::~TColourOptionsDialog() = default;

QFileDialog* TColourOptionsDialog::ReferenceDialog() const {
  return odgReference_;
}

void TColourOptionsDialog::SetReferenceFolder(const QString& folder) {
  if (referenceFrame_.isEmpty()) odgReference_->setDirectory(folder);
}

void TColourOptionsDialog::UpdateControls() {
  const int mode = cbxWhiteBalance_->currentIndex();
  for (QDoubleSpinBox* field : edtMultipliers_) field->setEnabled(mode == kWhiteBalanceMultipliers);
  edtKelvin_->setEnabled(mode == kWhiteBalanceTemperature);
  edtTint_->setEnabled(mode == kWhiteBalanceTemperature);
  lblReferenceFrame_->setEnabled(mode == kWhiteBalanceFromReference);
}

void TColourOptionsDialog::ShowReferenceFrame() {
  if (referenceFrame_.isEmpty()) {
    lblReferenceFrame_->setText(tr("None chosen"));
    lblReferenceFrame_->setToolTip(QString());
    return;
  }
  const QString name = QFileInfo(referenceFrame_).fileName();
  lblReferenceFrame_->setText(
      lblReferenceFrame_->fontMetrics().elidedText(name, Qt::ElideMiddle, kReferenceNameWidth));
  lblReferenceFrame_->setToolTip(referenceFrame_);
}

void TColourOptionsDialog::btnReferenceFrameClick() {
  if (!referenceFrame_.isEmpty()) odgReference_->selectFile(referenceFrame_);
  if (odgReference_->exec() != QDialog::Accepted) return;
  const QStringList files = odgReference_->ChosenFiles();
  if (files.isEmpty()) return;
  referenceFrame_ = files.first();
  ShowReferenceFrame();
  cbxWhiteBalance_->setCurrentIndex(kWhiteBalanceFromReference);
  lblError_->hide();
}

void TColourOptionsDialog::accept() {
  TColourChoice choice;
  choice.whiteBalance = cbxWhiteBalance_->currentIndex();
  for (std::size_t c = 0; c < 3; ++c) choice.multipliers[c] = edtMultipliers_[c]->value();
  choice.multipliers = GreenScaled(choice.multipliers);
  choice.kelvin = edtKelvin_->value();
  choice.tint = edtTint_->value();
  choice.referenceFrame = referenceFrame_;
  choice.exposureStops = edtExposure_->value();
  choice.highlights =
      cbxHighlights_->currentIndex() == 1 ? kHighlightsReconstruct : kHighlightsClip;

  if (choice.whiteBalance == kWhiteBalanceFromReference) {
    if (referenceFrame_.isEmpty()) {
      lblError_->setText(tr("Choose the reference frame whose white balance every file gets."));
      lblError_->show();
      btnReferenceFrame_->setFocus();
      return;
    }
    bool read = false;
    RunCommand([&] {
      try {
        choice.multipliers = GreenScaled(
            AsShotWhiteBalance(QFile::encodeName(referenceFrame_).toStdString()).multipliers);
      } catch (const Exception&) {
        RaiseForFile(referenceFrame_);
      }
      read = true;
    });
    if (!read) return;  // the error box has named the file and the reason
  }
  choice_ = choice;
  QDialog::accept();
}
