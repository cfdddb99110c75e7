// The About box: the program's icon, name and version, links to its web site and contacts page,
// and its copyright line, taken from a product record. Created for one showing and gone after.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>
#include <functional>

#include "ProdInfo.h"

class QFrame;
class QPushButton;

// A label that acts on a click (pressed and released over it with the left button).
class TLinkLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;

 Q_SIGNALS:
  void Clicked();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};

class TAboutForm : public QDialog {
  Q_OBJECT
 public:
  static constexpr QSize kClientSize{356, 246};
  static constexpr QSize kProductFit{260, 35};
  static constexpr int kProductPoints = 20;
  // Names too long to fit at any size stop shrinking here.
  static constexpr int kSmallestProductPoints = 1;

  explicit TAboutForm(QWidget* parent = nullptr);

  // Puts the stored fields into the labels, fits the product name and shows the box modally.
  void ShowInfo();

  // The product line's font size in points.
  int ProductPoints() const { return productPoints_; }
  // The pixel height of a font of the given point size at 96 dpi, rounded as the platform does.
  static int PixelsForPoints(int points);

 private:
  friend void ShowAboutBox(TProductInfo info);

  void SetProductPoints(int points);
  void FitProductName();
  void lblSiteClick();
  void lblMailClick();

  QPushButton* btnClose_ = nullptr;
  QLabel* ProductImage_ = nullptr;
  QLabel* lblProduct_ = nullptr;
  QLabel* lblCopyright_ = nullptr;
  TLinkLabel* lblSite_ = nullptr;
  TLinkLabel* lblMail_ = nullptr;
  QFrame* Bevel1_ = nullptr;
  QLabel* Label2_ = nullptr;
  QLabel* Label3_ = nullptr;
  QLabel* lblVersion_ = nullptr;

  // Copies of the product record, filled by ShowAboutBox.
  QString contactsAddress_;
  QString productName_;
  QString siteAddress_;
  QString copyright_;
  QString version_;

  int productPoints_ = kProductPoints;
};

// Shows the About box for info over the active window; returns when it has been closed.
void ShowAboutBox(TProductInfo info);

// Opens a web address in the user's browser; the result is not examined.
void OpenLink(const QString& address);

// Lets tests see the addresses the box would open instead of starting a browser. The previous
// opener is back when the object goes away.
class ScopedLinkOpener {
 public:
  using Opener = std::function<void(const QString& address)>;
  explicit ScopedLinkOpener(Opener opener);
  ~ScopedLinkOpener();
  ScopedLinkOpener(const ScopedLinkOpener&) = delete;
  ScopedLinkOpener& operator=(const ScopedLinkOpener&) = delete;

 private:
  Opener previous_;
};
