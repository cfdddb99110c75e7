// The colour options of a batch besides the colour space: white balance, exposure and highlight
// handling. Chosen in a dialog opened from the side panel; they last until the program ends and
// are never saved.
#pragma once

#include <QDialog>
#include <QString>
#include <array>
#include <cstdint>

#include "RawToDpx.h"

class QComboBox;
class QDoubleSpinBox;
class QFileDialog;
class QLabel;
class QPushButton;
class QSpinBox;
class TRawFileDialog;

// The white-balance list of the dialog: the core's modes, then one of the window's own.
constexpr int kWhiteBalanceFromReference = 4;  // a reference frame's as-shot balance, for all

struct TColourChoice {
  int whiteBalance = kWhiteBalanceAsShot;  // kWhiteBalance... or kWhiteBalanceFromReference
  // Red, green, blue, green 1: typed, or read from referenceFrame when the dialog was accepted.
  std::array<double, 3> multipliers{1, 1, 1};
  double kelvin = 5500;
  double tint = 0;
  QString referenceFrame;  // full path; empty until one is chosen
  double exposureStops = 0;
  std::uint8_t highlights = kHighlightsClip;

  // The fields of options that this choice sets; a default choice leaves them at their defaults.
  void ApplyTo(TConvertOptions& options) const;
  bool operator==(const TColourChoice&) const = default;
};

class TColourOptionsDialog : public QDialog {
  Q_OBJECT
 public:
  // Typed values are held to these ranges by the fields themselves.
  static constexpr double kMinMultiplier = 0.001;
  static constexpr double kMaxMultiplier = 100;
  static constexpr int kMinKelvin = 2000;
  static constexpr int kMaxKelvin = 50000;
  static constexpr int kMaxTint = 150;            // and -kMaxTint
  static constexpr double kMaxExposureStops = 5;  // and -kMaxExposureStops

  explicit TColourOptionsDialog(const TColourChoice& choice, QWidget* parent = nullptr);
  ~TColourOptionsDialog() override;

  // Valid once the dialog has been accepted.
  TColourChoice Choice() const { return choice_; }

  // The chooser of the reference frame; it lives as long as the dialog.
  QFileDialog* ReferenceDialog() const;
  // Where the chooser opens when no reference frame has been chosen yet.
  void SetReferenceFolder(const QString& folder);

  // With a reference frame, reads its as-shot balance first: a file that cannot be read shows
  // the error box and the dialog stays open.
  void accept() override;

 private:
  void btnReferenceFrameClick();
  void ShowReferenceFrame();
  void UpdateControls();

  TColourChoice choice_;
  QString referenceFrame_;

  QComboBox* cbxWhiteBalance_ = nullptr;
  std::array<QDoubleSpinBox*, 3> edtMultipliers_{};
  QSpinBox* edtKelvin_ = nullptr;
  QSpinBox* edtTint_ = nullptr;
  QLabel* lblReferenceFrame_ = nullptr;
  QPushButton* btnReferenceFrame_ = nullptr;
  QDoubleSpinBox* edtExposure_ = nullptr;
  QComboBox* cbxHighlights_ = nullptr;
  QLabel* lblError_ = nullptr;
  TRawFileDialog* odgReference_ = nullptr;
};
