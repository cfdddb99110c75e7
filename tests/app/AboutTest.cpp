// The About box: its layout, the product name shrunk point by point until it fits, the hidden
// "Contacts:" caption, the grey copyright line, the links it opens, the keys that close it, and
// the main window's About command.
#include <QFrame>
#include <QLabel>
#include <QPointer>
#include <memory>

#include "About.h"
#include "AppTestSupport.h"
#include "MainForm.h"

namespace {

const QString kLongName = QStringLiteral("Tarn RAW to DPX Converter");

TProductInfo Product() {
  TProductInfo info = ProductInfo;  // as the program fills it
  return info;
}

template <class T>
T* Child(const QWidget& form, const char* name) {
  T* child = form.findChild<T*>(QLatin1String(name));
  if (child == nullptr) qFatal("no control %s", name);
  return child;
}

// Shows the box for info and runs inspect once the application has made it the active window
// (the keyboard focus exists only there, and the platform activates a new window when it gets
// round to it);
// the box is closed afterwards with its Close button unless inspect closed it.
void ShowAndInspect(const TProductInfo& info, std::function<void(TAboutForm&)> inspect) {
  bool inspected = false;
  OnNextModal<TAboutForm>(
      [&](TAboutForm& form) {
        inspected = true;
        inspect(form);
        if (form.isVisible()) Child<QPushButton>(form, "btnClose")->click();
      },
      [](const TAboutForm& form) { return QApplication::activeWindow() == &form; });
  ShowAboutBox(info);
  QVERIFY(inspected);
}

// The product line's label as it would be at points, for the same text.
QSize ProductLabelSizeAt(const QString& text, int points) {
  QWidget form;
  QLabel label(text, &form);
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(TAboutForm::PixelsForPoints(points));
  font.setBold(true);
  font.setUnderline(true);
  label.setFont(font);
  label.adjustSize();
  return label.size();
}

bool Fits(const QSize& size) {
  return size.width() <= TAboutForm::kProductFit.width() &&
         size.height() <= TAboutForm::kProductFit.height();
}

QString Describe(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::QRect: {
      const QRect r = value.toRect();
      return QStringLiteral("%1,%2,%3,%4").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }
    case QMetaType::QPoint:
      return QStringLiteral("%1,%2").arg(value.toPoint().x()).arg(value.toPoint().y());
    case QMetaType::QSize:
      return QStringLiteral("%1x%2").arg(value.toSize().width()).arg(value.toSize().height());
    case QMetaType::QFont: {
      const QFont font = value.value<QFont>();
      QString text = QStringLiteral("%1 %2px").arg(font.family()).arg(font.pixelSize());
      if (font.bold()) text += QStringLiteral(" bold");
      if (font.underline()) text += QStringLiteral(" underlined");
      return text;
    }
    case QMetaType::Bool:
      return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    default:
      break;
  }
  return value.toString();
}

}  // namespace

class AboutTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void layout_data();
  void layout();
  void windowTextAndLinkColours();
  void productNameFitted_data();
  void productNameFitted();
  void pointsToPixels_data();
  void pointsToPixels();
  void contactsCaption_data();
  void contactsCaption();
  void copyrightColour_data();
  void copyrightColour();
  void linksOpenTheStoredAddresses();
  void keysThatClose_data();
  void keysThatClose();
  void everyShowingStartsAfresh();
  void aboutCommandOfTheMainWindow();
};

void AboutTest::layout_data() {
  QTest::addColumn<QString>("control");
  QTest::addColumn<QByteArray>("property");
  QTest::addColumn<QString>("expected");

  const auto row = [](const char* control, const char* property, const QString& expected) {
    QTest::addRow("%s.%s", control, property) << control << QByteArray(property) << expected;
  };
  const TProductInfo info = Product();
  row("AboutForm", "windowTitle", "About");
  row("AboutForm", "size", "356x246");
  row("AboutForm", "minimumSize", "356x246");
  row("AboutForm", "maximumSize", "356x246");
  row("AboutForm", "modal", "true");
  row("AboutForm", "font", "Arial 13px");
  row("ProductImage", "geometry", "18,16,32,32");
  row("lblProduct", "pos", "70,16");
  row("lblProduct", "text", info.ProductName);
  row("lblVersion", "pos", "70,58");
  row("lblVersion", "text", "Version: 1.00");
  row("lblVersion", "font", "Arial 13px bold");
  row("Label2", "geometry", "70,117,56,16");
  row("Label2", "text", "Contacts:");
  row("Label2", "visible", "true");
  row("lblMail", "pos", "130,117");
  row("lblMail", "text", info.ContactsAddress);
  row("lblMail", "font", "Arial 13px underlined");
  row("Label3", "geometry", "70,142,52,16");
  row("Label3", "text", "Website:");
  row("lblSite", "pos", "130,142");
  row("lblSite", "text", info.SiteAddress);
  row("lblSite", "font", "Arial 13px underlined");
  row("Bevel1", "geometry", "30,170,302,2");
  row("lblCopyright", "geometry", "0,177,352,14");
  row("lblCopyright", "text", info.Copyright);
  row("lblCopyright", "font", "Arial 11px");
  row("btnClose", "geometry", "143,209,75,25");
  row("btnClose", "text", "Close");
  row("btnClose", "default", "true");
  row("btnClose", "focus", "true");
}

void AboutTest::layout() {
  QFETCH(QString, control);
  QFETCH(QByteArray, property);
  QFETCH(QString, expected);

  QString actual;
  ShowAndInspect(Product(), [&](TAboutForm& form) {
    const QObject* object = control == "AboutForm" ? &form : form.findChild<QObject*>(control);
    QVERIFY2(object != nullptr, qPrintable(control));
    const QVariant value = object->property(property.constData());
    QVERIFY2(value.isValid(), property.constData());
    actual = Describe(value);
  });
  QCOMPARE(actual, expected);
}

void AboutTest::windowTextAndLinkColours() {
  ShowAndInspect(Product(), [&](TAboutForm& form) {
    const QColor text = QApplication::palette().color(QPalette::WindowText);
    for (const char* name : {"lblProduct", "lblVersion", "Label2", "Label3", "lblCopyright"}) {
      const QLabel* label = Child<QLabel>(form, name);
      QCOMPARE(label->palette().color(label->foregroundRole()), text);
    }
    for (const char* name : {"lblSite", "lblMail"}) {
      const QLabel* link = Child<QLabel>(form, name);
      QCOMPARE(link->palette().color(link->foregroundRole()), QColor(0, 0, 255));
      QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
      // Drawn in that colour.
      const QImage drawn = form.grab(link->geometry()).toImage();
      int bluePixels = 0;
      for (int y = 0; y < drawn.height(); ++y) {
        for (int x = 0; x < drawn.width(); ++x) {
          const QColor pixel = drawn.pixelColor(x, y);
          bluePixels += pixel.blue() - pixel.red() > 100;
        }
      }
      QVERIFY2(bluePixels > 20, name);
    }
    QCOMPARE(Child<QLabel>(form, "lblCopyright")->alignment() & Qt::AlignHorizontal_Mask,
             Qt::AlignHCenter);
    const auto* bevel = Child<QFrame>(form, "Bevel1");
    QCOMPARE(bevel->frameShape(), QFrame::HLine);
    QCOMPARE(bevel->frameShadow(), QFrame::Sunken);
    const QPixmap icon = Child<QLabel>(form, "ProductImage")->pixmap();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.size(), QSize(32, 32));
    QCOMPARE(icon.toImage(), ApplicationIcon().pixmap(32, 32).toImage());
  });
}

void AboutTest::productNameFitted_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<bool>("shrunk");
  QTest::newRow("the product's name is too wide at 20 points") << kLongName << true;
  QTest::newRow("a short name keeps 20 points") << "Tarn" << false;
  QTest::newRow("a longer name shrinks further") << "Tarn RAW to DPX Converter for Studios" << true;
}

void AboutTest::productNameFitted() {
  QFETCH(QString, name);
  QFETCH(bool, shrunk);

  TProductInfo info = Product();
  info.ProductName = name;
  int points = 0;
  QSize size;
  QFont font;
  ShowAndInspect(info, [&](TAboutForm& form) {
    points = form.ProductPoints();
    const auto* label = Child<QLabel>(form, "lblProduct");
    size = label->size();
    font = label->font();
    QCOMPARE(label->pos(), QPoint(70, 16));
  });
  QCOMPARE(points < TAboutForm::kProductPoints, shrunk);
  QVERIFY2(Fits(size), qPrintable(Describe(size)));
  QCOMPARE(size, ProductLabelSizeAt(name, points));
  QCOMPARE(font.pixelSize(), TAboutForm::PixelsForPoints(points));
  QVERIFY(font.bold());
  QVERIFY(font.underline());
  // The largest whole point size that fits.
  if (shrunk) QVERIFY(!Fits(ProductLabelSizeAt(name, points + 1)));
}

void AboutTest::pointsToPixels_data() {
  QTest::addColumn<int>("points");
  QTest::addColumn<int>("pixels");
  QTest::newRow("20 points") << 20 << 27;  // 26.67
  QTest::newRow("19 points") << 19 << 25;  // 25.33
  QTest::newRow("18 points") << 18 << 24;
  QTest::newRow("17 points") << 17 << 23;  // 22.67
  QTest::newRow("10 points") << 10 << 13;  // 13.33
  QTest::newRow("1 point") << 1 << 1;
}

void AboutTest::pointsToPixels() {
  QFETCH(int, points);
  QFETCH(int, pixels);
  QCOMPARE(TAboutForm::PixelsForPoints(points), pixels);
}

void AboutTest::contactsCaption_data() {
  QTest::addColumn<QString>("contacts");
  QTest::addColumn<QString>("site");
  QTest::addColumn<bool>("contactsShown");
  QTest::newRow("both addresses") << "https://example.com/contacts/"
                                  << "https://example.com" << true;
  QTest::newRow("no contacts address hides its caption") << ""
                                                         << "https://example.com" << false;
  QTest::newRow("no site address hides nothing") << "https://example.com/contacts/"
                                                 << "" << true;
}

void AboutTest::contactsCaption() {
  QFETCH(QString, contacts);
  QFETCH(QString, site);
  QFETCH(bool, contactsShown);

  TProductInfo info = Product();
  info.ContactsAddress = contacts;
  info.SiteAddress = site;
  ShowAndInspect(info, [&](TAboutForm& form) {
    QCOMPARE(Child<QLabel>(form, "Label2")->isVisible(), contactsShown);
    QVERIFY(Child<QLabel>(form, "Label3")->isVisible());
    QVERIFY(Child<QLabel>(form, "lblMail")->isVisible());
    QVERIFY(Child<QLabel>(form, "lblSite")->isVisible());
    QCOMPARE(Child<QLabel>(form, "lblMail")->text(), contacts);
    QCOMPARE(Child<QLabel>(form, "lblSite")->text(), site);
  });
}

void AboutTest::copyrightColour_data() {
  QTest::addColumn<bool>("grey");
  QTest::newRow("the product's own: window text") << false;
  QTest::newRow("grey when asked") << true;
}

void AboutTest::copyrightColour() {
  QFETCH(bool, grey);
  // How much darker than the background the line is drawn, over all its pixels.
  const auto inkOf = [](const QImage& drawn, const QColor& background) {
    qint64 ink = 0;
    for (int y = 0; y < drawn.height(); ++y) {
      for (int x = 0; x < drawn.width(); ++x) {
        ink += std::max(0, background.lightness() - drawn.pixelColor(x, y).lightness());
      }
    }
    return ink;
  };
  const auto show = [&](bool greyCopyright, QColor& colour, qint64& ink) {
    TProductInfo info = Product();
    info.GrayCopyright = greyCopyright;
    ShowAndInspect(info, [&](TAboutForm& form) {
      auto* label = Child<QLabel>(form, "lblCopyright");
      colour = label->palette().color(label->foregroundRole());
      const QImage drawn =
          form.grab(label->geometry()).toImage().convertToFormat(QImage::Format_RGB32);
      ink = inkOf(drawn, form.palette().color(form.backgroundRole()));
    });
  };
  QColor colour;
  qint64 ink = 0;
  show(grey, colour, ink);
  QCOMPARE(colour,
           grey ? QColor(100, 100, 100) : QApplication::palette().color(QPalette::WindowText));
  QVERIFY(ink > 0);

  // Drawn in that colour: lighter in grey than in the window-text colour.
  QColor otherColour;
  qint64 otherInk = 0;
  show(!grey, otherColour, otherInk);
  const qint64 greyInk = grey ? ink : otherInk;
  const qint64 textInk = grey ? otherInk : ink;
  QVERIFY2(greyInk * 10 < textInk * 8,
           qPrintable(QStringLiteral("%1 %2").arg(greyInk).arg(textInk)));
}

void AboutTest::linksOpenTheStoredAddresses() {
  QStringList opened;
  ScopedLinkOpener opener([&](const QString& address) { opened.append(address); });
  const TProductInfo info = Product();
  bool stillOpen = false;
  ShowAndInspect(info, [&](TAboutForm& form) {
    QTest::mouseClick(Child<QLabel>(form, "lblSite"), Qt::LeftButton);
    QTest::mouseClick(Child<QLabel>(form, "lblMail"), Qt::LeftButton);
    // A press that leaves the label before its release is no click.
    auto* site = Child<QLabel>(form, "lblSite");
    QTest::mousePress(site, Qt::LeftButton, {}, QPoint(2, 2));
    QTest::mouseRelease(site, Qt::LeftButton, {}, QPoint(site->width() + 20, 2));
    QTest::mouseClick(Child<QLabel>(form, "Label3"), Qt::LeftButton);
    stillOpen = form.isVisible();
  });
  QCOMPARE(opened, (QStringList{info.SiteAddress, info.ContactsAddress}));
  QVERIFY(stillOpen);
}

void AboutTest::keysThatClose_data() {
  QTest::addColumn<int>("key");
  QTest::newRow("Enter: the default button") << int(Qt::Key_Return);
  QTest::newRow("Esc: the cancel button") << int(Qt::Key_Escape);
}

void AboutTest::keysThatClose() {
  QFETCH(int, key);
  QPointer<TAboutForm> shown;
  bool closedByKey = false;
  ShowAndInspect(Product(), [&](TAboutForm& form) {
    shown = &form;
    QTest::keyClick(&form, Qt::Key(key));
    closedByKey = !form.isVisible();
  });
  QVERIFY(closedByKey);
  QVERIFY(shown.isNull());  // gone with its showing
}

void AboutTest::everyShowingStartsAfresh() {
  QList<QPointer<TAboutForm>> boxes;
  QList<int> points;
  for (int i = 0; i < 2; ++i) {
    ShowAndInspect(Product(), [&](TAboutForm& form) {
      boxes.append(&form);
      points.append(form.ProductPoints());
    });
  }
  QCOMPARE(boxes.size(), 2);
  QVERIFY(boxes[0].isNull());
  QVERIFY(boxes[1].isNull());
  QCOMPARE(points[0], points[1]);
  QVERIFY(points[0] < TAboutForm::kProductPoints);
}

void AboutTest::aboutCommandOfTheMainWindow() {
  TfrmMain form;
  // Where the whole box fits on the screen beside it, so that nothing shifts it.
  form.move(40, 40);
  form.resize(600, 500);
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QApplication::setActiveWindow(&form);
  QVERIFY(QTest::qWaitForWindowActive(&form));

  QWidget* owner = nullptr;
  QString version;
  QPoint centre;
  bool mainWindowBlocked = false;
  OnNextModal<TAboutForm>([&](TAboutForm& box) {
    owner = box.parentWidget();
    version = Child<QLabel>(box, "lblVersion")->text();
    centre = box.geometry().center();
    mainWindowBlocked = QApplication::activeModalWidget() == &box && box.isModal();
    box.accept();
  });
  QTest::mouseClick(Child<QPushButton>(form, "sbnAbout"), Qt::LeftButton);
  QCOMPARE(owner, &form);
  QCOMPARE(version, QStringLiteral("Version: 1.00"));
  QVERIFY(mainWindowBlocked);
  // Centred over the main window.
  QVERIFY2((centre - form.geometry().center()).manhattanLength() <= 2,
           qPrintable(QStringLiteral("%1,%2").arg(centre.x()).arg(centre.y())));
}

TARN_APP_TEST_MAIN(AboutTest)
#include "AboutTest.moc"
