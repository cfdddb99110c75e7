// The progress overlay: covers the whole client area of a window while a batch runs, with a
// progress bar and a Cancel button in the middle, and shields the window's own controls from the
// mouse. The window's layout is held while it is up and redone for the window's size when it
// goes.
#pragma once

#include <QPointer>
#include <QWidget>

class QLayout;
class QProgressBar;
class QPushButton;

class TProgressPanel : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kButtonWidth = 75;
  static constexpr int kButtonHeight = 25;
  static constexpr int kButtonBelowBar = 30;

  // Covers form at once. Sizes and places are computed from form's size now and kept.
  explicit TProgressPanel(QWidget* form);
  ~TProgressPanel() override;

  // Moves the bar to position (0 to 100); true until Cancel has been clicked.
  bool SetProgress(int position);
  bool Cancelled() const { return cancelled_; }

 Q_SIGNALS:
  // The first click on Cancel, for callers that do not wait for their next SetProgress.
  void CancelClicked();

 private:
  void btnCancelClick();

  QProgressBar* bar_ = nullptr;
  QPushButton* btnCancel_ = nullptr;
  QPointer<QLayout> heldLayout_;
  bool layoutWasEnabled_ = false;
  bool cancelled_ = false;
};
