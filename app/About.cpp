#include "About.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFrame>
#include <QMouseEvent>
#include <QPushButton>
#include <QUrl>
#include <memory>

#include "Application.h"

namespace {

const QColor kLinkColour(0, 0, 255);
const QColor kGreyCopyright(100, 100, 100);

ScopedLinkOpener::Opener& LinkOpener() {
  static ScopedLinkOpener::Opener opener;
  return opener;
}

QFont ArialFont(int pixelHeight) {
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(pixelHeight);
  return font;
}

void SetTextColour(QWidget& widget, const QColor& colour) {
  QPalette palette = widget.palette();
  palette.setColor(QPalette::WindowText, colour);
  widget.setPalette(palette);
}

}  // namespace

void TLinkLabel::mousePressEvent(QMouseEvent* event) {
  pressed_ = event->button() == Qt::LeftButton;
  event->accept();
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool click =
      pressed_ && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
  pressed_ = false;
  event->accept();
  if (click) Q_EMIT Clicked();
}

TAboutForm::TAboutForm(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("AboutForm"));
  setWindowTitle(tr("About"));
  // A dialog frame: fixed size, a close box and nothing else.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(kClientSize);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  setFont(ArialFont(13));

  const auto label = [this](const char* name, const QString& text, const QPoint& at) {
    auto* created = new QLabel(text, this);
    created->setObjectName(QLatin1String(name));
    created->setTextFormat(Qt::PlainText);
    // Not the button-face text colour that the box's background would give.
    created->setForegroundRole(QPalette::WindowText);
    created->move(at);
    return created;
  };
  const auto link = [this](const char* name, const QPoint& at) {
    auto* created = new TLinkLabel(this);
    created->setObjectName(QLatin1String(name));
    created->setTextFormat(Qt::PlainText);
    created->setForegroundRole(QPalette::WindowText);
    created->move(at);
    QFont font = created->font();
    font.setUnderline(true);
    created->setFont(font);
    SetTextColour(*created, kLinkColour);
    created->setCursor(Qt::PointingHandCursor);
    return created;
  };

  btnClose_ = new QPushButton(tr("Close"), this);
  btnClose_->setObjectName(QStringLiteral("btnClose"));
  btnClose_->setGeometry(143, 209, 75, 25);
  btnClose_->setDefault(true);
  connect(btnClose_, &QPushButton::clicked, this, &QDialog::accept);

  ProductImage_ = new QLabel(this);
  ProductImage_->setObjectName(QStringLiteral("ProductImage"));
  ProductImage_->setGeometry(18, 16, 32, 32);

  lblProduct_ = label("lblProduct", QStringLiteral("Product"), {70, 16});
  SetProductPoints(kProductPoints);

  lblVersion_ = label("lblVersion", QStringLiteral("Version"), {70, 58});
  QFont bold = font();
  bold.setBold(true);
  lblVersion_->setFont(bold);
  lblVersion_->adjustSize();

  Label2_ = label("Label2", tr("Contacts:"), {70, 117});
  Label2_->resize(56, 16);
  lblMail_ = link("lblMail", {130, 117});
  connect(lblMail_, &TLinkLabel::Clicked, this, [this] { lblMailClick(); });

  Label3_ = label("Label3", tr("Website:"), {70, 142});
  Label3_->resize(52, 16);
  lblSite_ = link("lblSite", {130, 142});
  connect(lblSite_, &TLinkLabel::Clicked, this, [this] { lblSiteClick(); });

  Bevel1_ = new QFrame(this);
  Bevel1_->setObjectName(QStringLiteral("Bevel1"));
  Bevel1_->setFrameStyle(QFrame::HLine | QFrame::Sunken);
  Bevel1_->setGeometry(30, 170, 302, 2);

  lblCopyright_ = label("lblCopyright", QStringLiteral("Copyright"), {0, 177});
  lblCopyright_->setFont(ArialFont(11));
  lblCopyright_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  lblCopyright_->resize(352, 14);

  // Close is the one stop of the tab order; Esc closes the box through QDialog's reject.
  btnClose_->setFocus(Qt::OtherFocusReason);
}

int TAboutForm::PixelsForPoints(int points) {
  // points * 96 / 72, rounded half away from zero.
  return (points * 96 + 36) / 72;
}

void TAboutForm::SetProductPoints(int points) {
  productPoints_ = points;
  QFont font = ArialFont(PixelsForPoints(points));
  font.setBold(true);
  font.setUnderline(true);
  lblProduct_->setFont(font);
  lblProduct_->adjustSize();
}

void TAboutForm::FitProductName() {
  while ((lblProduct_->width() > kProductFit.width() ||
          lblProduct_->height() > kProductFit.height()) &&
         productPoints_ > kSmallestProductPoints) {
    SetProductPoints(productPoints_ - 1);
  }
}

void TAboutForm::ShowInfo() {
  lblProduct_->setText(productName_);
  lblProduct_->adjustSize();
  FitProductName();
  lblVersion_->setText(tr("Version: ") + version_);
  lblVersion_->adjustSize();
  lblSite_->setText(siteAddress_);
  lblSite_->adjustSize();
  lblMail_->setText(contactsAddress_);
  lblMail_->adjustSize();
  if (contactsAddress_.isEmpty()) Label2_->hide();
  lblCopyright_->setText(copyright_);
  exec();
}

void TAboutForm::lblSiteClick() {
  OpenLink(siteAddress_);
}

void TAboutForm::lblMailClick() {
  OpenLink(contactsAddress_);
}

void ShowAboutBox(TProductInfo info) {
  // Centred over the window it was asked from.
  const auto form = std::make_unique<TAboutForm>(QApplication::activeWindow());
  form->ProductImage_->setPixmap(ApplicationIcon().pixmap(32, 32));
  form->productName_ = info.ProductName;
  form->version_ = info.Version;
  form->siteAddress_ = info.SiteAddress;
  form->contactsAddress_ = info.ContactsAddress;
  form->copyright_ = info.Copyright;
  if (info.GrayCopyright) SetTextColour(*form->lblCopyright_, kGreyCopyright);
  form->ShowInfo();
}

void OpenLink(const QString& address) {
  if (LinkOpener()) {
    LinkOpener()(address);
    return;
  }
  QDesktopServices::openUrl(QUrl(address));
}

ScopedLinkOpener::ScopedLinkOpener(Opener opener) : previous_(std::move(LinkOpener())) {
  LinkOpener() = std::move(opener);
}

ScopedLinkOpener::~ScopedLinkOpener() {
  LinkOpener() = std::move(previous_);
}
