#include "ProgressPanel.h"

#include <QLayout>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

TProgressPanel::TProgressPanel(QWidget* form) : QWidget(form) {
  setObjectName(QStringLiteral("ProgressPanel"));
  const int width = form->width();
  const int height = form->height();

  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("pbrProgress"));
  bar_->setRange(0, 100);
  bar_->setValue(0);
  bar_->setGeometry(width / 4, height / 2, width / 2, bar_->sizeHint().height());

  btnCancel_ = new QPushButton(tr("Cancel"), this);
  btnCancel_->setObjectName(QStringLiteral("btnCancel"));
  btnCancel_->setAutoDefault(false);
  btnCancel_->setDefault(false);
  // The control that had the focus keeps it; the button takes it only when clicked.
  btnCancel_->setFocusPolicy(Qt::ClickFocus);
  // C++ division truncates toward zero, so a window narrower than the button gives a negative
  // left edge rounded up (60 wide: -7).
  btnCancel_->setGeometry((width - kButtonWidth) / 2, height / 2 + kButtonBelowBar, kButtonWidth,
                          kButtonHeight);
  connect(btnCancel_, &QPushButton::clicked, this, [this] { btnCancelClick(); });

  // Held so that a resize of the window during the run leaves its regions where they are.
  if (QLayout* layout = form->layout()) {
    heldLayout_ = layout;
    layoutWasEnabled_ = layout->isEnabled();
    layout->setEnabled(false);
  }

  // A plain surface in the window's own colour over everything the window holds.
  setBackgroundRole(form->backgroundRole());
  setAutoFillBackground(true);
  setGeometry(0, 0, width, height);
  raise();
  show();
}

TProgressPanel::~TProgressPanel() {
  if (heldLayout_ != nullptr && layoutWasEnabled_) {
    heldLayout_->setEnabled(true);
    // Lays the regions out at once for the size the window has now.
    heldLayout_->invalidate();
    heldLayout_->activate();
  }
}

bool TProgressPanel::SetProgress(int position) {
  // As the platform's bar does, a position outside the range is pinned to its nearer end (Qt's
  // own bar would ignore it and stay where it was).
  bar_->setValue(std::clamp(position, bar_->minimum(), bar_->maximum()));
  return !cancelled_;
}

void TProgressPanel::btnCancelClick() {
  if (cancelled_) return;
  cancelled_ = true;
  // The files already under way still take their time; the button says so until the overlay
  // goes.
  btnCancel_->setEnabled(false);
  btnCancel_->setText(tr("Cancelling..."));
  Q_EMIT CancelClicked();
}
