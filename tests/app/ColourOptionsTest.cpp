// The colour choices of the window: the colour-space list with the new spaces, the Colour
// Options dialog (white balance, exposure, highlights) and what Convert takes from them, a
// reference frame read when the dialog is accepted, and a window without a choice that converts
// as it always did.
#include <QAbstractItemView>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QStyleOptionComboBox>
#include <filesystem>
#include <memory>

#include "AppTestSupport.h"
#include "ColourOptionsDialog.h"
#include "MainForm.h"
#include "TestPaths.h"

namespace fs = std::filesystem;

namespace {

template <class T>
T* Child(const QWidget& parent, const char* name) {
  T* child = parent.findChild<T*>(QLatin1String(name));
  if (child == nullptr) qFatal("no control %s", name);
  return child;
}

QString Native(const fs::path& path) {
  return QString::fromStdString(path.string());
}

// The reference frame of the tests: its maker note records the as-shot balance as the levels
// 2150, 1024, 1713 for red, green and blue (as raw-identify -v lists them).
const fs::path& ReferenceFrame() {
  static const fs::path path = tarn::test::DataDir() / "raw" / "eos-350d-small.cr2";
  return path;
}

bool ActiveFileDialog(const QFileDialog& dialog) {
  return QApplication::activeWindow() == &dialog;
}

// Chooses path in the dialog's reference-frame chooser, typed as a user does.
void ChooseReferenceFrame(TColourOptionsDialog& dialog, const QString& path) {
  dialog.ReferenceDialog()->setOption(QFileDialog::DontUseNativeDialog);
  dialog.ReferenceDialog()->setDirectory(QFileInfo(path).absolutePath());
  dialog.ReferenceDialog()->selectNameFilter(QStringLiteral("All Files (*)"));
  OnNextModal<QFileDialog>(
      [path](QFileDialog& shown) {
        auto* name = shown.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        name->setFocus();
        name->setText(QFileInfo(path).fileName());
        QTest::keyClick(name, Qt::Key_Return);
      },
      ActiveFileDialog);
  QTest::mouseClick(Child<QPushButton>(dialog, "btnReferenceFrame"), Qt::LeftButton);
}

struct TypedChoice {
  int whiteBalance = kWhiteBalanceAsShot;
  std::array<double, 3> multipliers{1, 1, 1};
  int kelvin = 5500;
  int tint = 0;
  double exposure = 0;
  int highlights = 0;  // index in the list
};

void Type(TColourOptionsDialog& dialog, const TypedChoice& typed) {
  Child<QComboBox>(dialog, "cbxWhiteBalance")->setCurrentIndex(typed.whiteBalance);
  Child<QDoubleSpinBox>(dialog, "edtMultiplierRed")->setValue(typed.multipliers[0]);
  Child<QDoubleSpinBox>(dialog, "edtMultiplierGreen")->setValue(typed.multipliers[1]);
  Child<QDoubleSpinBox>(dialog, "edtMultiplierBlue")->setValue(typed.multipliers[2]);
  Child<QSpinBox>(dialog, "edtKelvin")->setValue(typed.kelvin);
  Child<QSpinBox>(dialog, "edtTint")->setValue(typed.tint);
  Child<QDoubleSpinBox>(dialog, "edtExposure")->setValue(typed.exposure);
  Child<QComboBox>(dialog, "cbxHighlights")->setCurrentIndex(typed.highlights);
}

// Opens Colour Options from the side panel, lets act fill it in and waits until it is gone.
void UseColourOptions(TfrmMain& form, std::function<void(TColourOptionsDialog&)> act) {
  OnNextModal<TColourOptionsDialog>(std::move(act));
  QTest::mouseClick(Child<QPushButton>(form, "sbnColourOptions"), Qt::LeftButton);
  QTRY_VERIFY(QApplication::activeModalWidget() == nullptr);
}

void ShowAndWait(QWidget& widget) {
  widget.show();
  QVERIFY(QTest::qWaitForWindowExposed(&widget));
}

}  // namespace

class ColourOptionsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void colourSpaceList();
  void captionsFitTheBox();
  void newWindowConvertsAsBefore();
  void buttonInTheSidePanel();
  void dialogDefaults();
  void choiceReachesTheNextRun_data();
  void choiceReachesTheNextRun();
  void cancelKeepsThePreviousChoice();
  void referenceFrameFillsTheMultipliers();
  void referenceFrameReadWhenAccepted();
  void unreadableReferenceFrame_data();
  void unreadableReferenceFrame();
  void referenceModeWithoutAFrame();
};

void ColourOptionsTest::colourSpaceList() {
  TfrmMain form;
  auto* list = Child<QComboBox>(form, "cbxColorSpace");
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items.append(list->itemText(i));
  // The two of every earlier version first, so that their indexes keep their meaning.
  QCOMPARE(items, (QStringList{"sRGB/Rec.709", "Linear RGB", "ACEScg", "ACES2065-1",
                               "Linear Rec.2020", "ACEScct"}));
  QCOMPARE(list->currentIndex(), 0);
  // Each item is the colour space of that id.
  for (int i = 0; i < list->count(); ++i) {
    list->setCurrentIndex(i);
    QCOMPARE(int(form.CaptureConvertOptions().ColorSpace), i);
    QCOMPARE(list->currentText(), QString::fromUtf8(ColorSpaceNames(std::uint8_t(i)).caption));
  }
}

void ColourOptionsTest::captionsFitTheBox() {
  TfrmMain form;
  ShowAndWait(form);
  auto* list = Child<QComboBox>(form, "cbxColorSpace");
  QStyleOptionComboBox option;
  option.initFrom(list);
  option.editable = false;
  const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                    QStyle::SC_ComboBoxEditField, list);
  for (int i = 0; i < list->count(); ++i) {
    const int width = list->fontMetrics().horizontalAdvance(list->itemText(i));
    QVERIFY2(width <= field.width(), qPrintable(list->itemText(i)));
  }
  list->showPopup();
  QTRY_VERIFY(list->view()->isVisible());
  for (int i = 0; i < list->count(); ++i) {
    const QRect item = list->view()->visualRect(list->model()->index(i, 0));
    QVERIFY2(list->view()->fontMetrics().horizontalAdvance(list->itemText(i)) <= item.width(),
             qPrintable(list->itemText(i)));
  }
  list->hidePopup();
}

void ColourOptionsTest::newWindowConvertsAsBefore() {
  TfrmMain form;
  QVERIFY(form.ColourChoice() == TColourChoice{});
  const TConvertOptions captured = form.CaptureConvertOptions();
  const TConvertOptions before;
  QCOMPARE(int(captured.ColorSpace), int(kColorSpaceRec709));
  QCOMPARE(int(captured.WhiteBalance), int(before.WhiteBalance));
  QCOMPARE(captured.WhiteBalanceMultipliers, before.WhiteBalanceMultipliers);
  QCOMPARE(captured.WhiteBalanceKelvin, before.WhiteBalanceKelvin);
  QCOMPARE(captured.WhiteBalanceTint, before.WhiteBalanceTint);
  QCOMPARE(captured.ExposureStops, 0.0);
  QCOMPARE(int(captured.Highlights), int(kHighlightsClip));
}

void ColourOptionsTest::buttonInTheSidePanel() {
  TfrmMain form;
  ShowAndWait(form);
  auto* button = Child<QPushButton>(form, "sbnColourOptions");
  QCOMPARE(button->text(), QStringLiteral("Colour..."));
  QCOMPARE(button->toolTip(), QStringLiteral("Colour Options"));
  QCOMPARE(button->accessibleName(), QStringLiteral("Colour Options..."));
  QCOMPARE(button->geometry(), QRect(95, 262, 73, 26));
  QCOMPARE(button->focusPolicy(), Qt::NoFocus);
  // In free space at the window's first size: it covers no other control of the panel.
  for (const QWidget* other : Child<QWidget>(form, "Panel1")->findChildren<QWidget*>()) {
    if (other == button || !other->isVisible()) continue;
    QVERIFY2(!other->geometry().intersects(button->geometry()), qPrintable(other->objectName()));
  }
}

void ColourOptionsTest::dialogDefaults() {
  TColourOptionsDialog dialog(TColourChoice{});
  auto* whiteBalance = Child<QComboBox>(dialog, "cbxWhiteBalance");
  QStringList modes;
  for (int i = 0; i < whiteBalance->count(); ++i) modes.append(whiteBalance->itemText(i));
  QCOMPARE(modes, (QStringList{"As shot", "Camera daylight", "Multipliers", "Temperature and tint",
                               "From a reference frame"}));
  QCOMPARE(whiteBalance->currentIndex(), 0);
  for (const char* name : {"edtMultiplierRed", "edtMultiplierGreen", "edtMultiplierBlue"}) {
    QCOMPARE(Child<QDoubleSpinBox>(dialog, name)->value(), 1.0);
    QVERIFY(!Child<QDoubleSpinBox>(dialog, name)->isEnabled());
  }
  QCOMPARE(Child<QSpinBox>(dialog, "edtKelvin")->value(), 5500);
  QVERIFY(!Child<QSpinBox>(dialog, "edtKelvin")->isEnabled());
  QCOMPARE(Child<QSpinBox>(dialog, "edtTint")->value(), 0);
  QCOMPARE(Child<QLabel>(dialog, "lblReferenceFrame")->text(), QStringLiteral("None chosen"));
  auto* exposure = Child<QDoubleSpinBox>(dialog, "edtExposure");
  QCOMPARE(exposure->value(), 0.0);
  QCOMPARE(exposure->minimum(), -5.0);
  QCOMPARE(exposure->maximum(), 5.0);
  QCOMPARE(exposure->singleStep(), 0.1);
  auto* highlights = Child<QComboBox>(dialog, "cbxHighlights");
  QCOMPARE(highlights->currentText(), QStringLiteral("Clip"));
  QCOMPARE(highlights->count(), 2);
  QCOMPARE(highlights->itemText(1), QStringLiteral("Reconstruct"));

  dialog.accept();
  QCOMPARE(dialog.result(), int(QDialog::Accepted));
  QVERIFY(dialog.Choice() == TColourChoice{});
}

using Multipliers = std::array<double, 3>;
Q_DECLARE_METATYPE(Multipliers)

void ColourOptionsTest::choiceReachesTheNextRun_data() {
  QTest::addColumn<int>("colorSpace");
  QTest::addColumn<int>("whiteBalance");  // the dialog's list
  QTest::addColumn<Multipliers>("multipliers");
  QTest::addColumn<int>("kelvin");
  QTest::addColumn<int>("tint");
  QTest::addColumn<double>("exposure");
  QTest::addColumn<int>("highlights");  // the dialog's list
  // What the run gets.
  QTest::addColumn<int>("wbMode");
  QTest::addColumn<Multipliers>("wbMultipliers");
  QTest::addColumn<double>("wbKelvin");
  QTest::addColumn<double>("wbTint");
  QTest::addColumn<double>("stops");
  QTest::addColumn<int>("highlightMode");

  const Multipliers one{1, 1, 1};
  QTest::newRow("as shot, clipped")
      << 0 << 0 << Multipliers{2, 1, 3} << 3200 << 10 << 0.0 << 0 << int(kWhiteBalanceAsShot) << one
      << 5500.0 << 0.0 << 0.0 << int(kHighlightsClip);
  QTest::newRow("camera daylight, ACEScg")
      << 2 << 1 << one << 5500 << 0 << 0.0 << 0 << int(kWhiteBalanceDaylight) << one << 5500.0
      << 0.0 << 0.0 << int(kHighlightsClip);
  QTest::newRow("multipliers, ACES2065-1")
      << 3 << 2 << Multipliers{2.0996, 1, 1.6729} << 5500 << 0 << 0.0 << 0
      << int(kWhiteBalanceMultipliers) << Multipliers{2.0996, 1, 1.6729} << 5500.0 << 0.0 << 0.0
      << int(kHighlightsClip);
  QTest::newRow("multipliers scaled so that green is 1")
      << 0 << 2 << Multipliers{4, 2, 3} << 5500 << 0 << 0.0 << 0 << int(kWhiteBalanceMultipliers)
      << Multipliers{2, 1, 1.5} << 5500.0 << 0.0 << 0.0 << int(kHighlightsClip);
  QTest::newRow("a multiplier of 0 held at the smallest")
      << 0 << 2 << Multipliers{0, 1, 1} << 5500 << 0 << 0.0 << 0 << int(kWhiteBalanceMultipliers)
      << Multipliers{0.001, 1, 1} << 5500.0 << 0.0 << 0.0 << int(kHighlightsClip);
  QTest::newRow("temperature and tint, Linear Rec.2020")
      << 4 << 3 << one << 3200 << -20 << 0.0 << 0 << int(kWhiteBalanceTemperature) << one << 3200.0
      << -20.0 << 0.0 << int(kHighlightsClip);
  QTest::newRow("temperature held to 2000..50000")
      << 0 << 3 << one << 90000 << 400 << 0.0 << 0 << int(kWhiteBalanceTemperature) << one
      << 50000.0 << 150.0 << 0.0 << int(kHighlightsClip);
  QTest::newRow("temperature below the range")
      << 0 << 3 << one << 1000 << -400 << 0.0 << 0 << int(kWhiteBalanceTemperature) << one << 2000.0
      << -150.0 << 0.0 << int(kHighlightsClip);
  QTest::newRow("exposure +1.5, reconstruct, ACEScct")
      << 5 << 0 << one << 5500 << 0 << 1.5 << 1 << int(kWhiteBalanceAsShot) << one << 5500.0 << 0.0
      << 1.5 << int(kHighlightsReconstruct);
  QTest::newRow("exposure -2.3, Linear RGB")
      << 1 << 0 << one << 5500 << 0 << -2.3 << 0 << int(kWhiteBalanceAsShot) << one << 5500.0 << 0.0
      << -2.3 << int(kHighlightsClip);
  QTest::newRow("exposure held at +5")
      << 0 << 0 << one << 5500 << 0 << 9.0 << 0 << int(kWhiteBalanceAsShot) << one << 5500.0 << 0.0
      << 5.0 << int(kHighlightsClip);
}

void ColourOptionsTest::choiceReachesTheNextRun() {
  QFETCH(int, colorSpace);
  QFETCH(int, whiteBalance);
  QFETCH(Multipliers, multipliers);
  QFETCH(int, kelvin);
  QFETCH(int, tint);
  QFETCH(double, exposure);
  QFETCH(int, highlights);
  QFETCH(int, wbMode);
  QFETCH(Multipliers, wbMultipliers);
  QFETCH(double, wbKelvin);
  QFETCH(double, wbTint);
  QFETCH(double, stops);
  QFETCH(int, highlightMode);

  TfrmMain form;
  ShowAndWait(form);
  Child<QComboBox>(form, "cbxColorSpace")->setCurrentIndex(colorSpace);
  UseColourOptions(form, [&](TColourOptionsDialog& dialog) {
    Type(dialog, {whiteBalance, multipliers, kelvin, tint, exposure, highlights});
    dialog.accept();
  });

  const TConvertOptions options = form.CaptureConvertOptions();
  QCOMPARE(int(options.ColorSpace), colorSpace);
  QCOMPARE(int(options.WhiteBalance), wbMode);
  for (std::size_t c = 0; c < 3; ++c) {
    QCOMPARE(options.WhiteBalanceMultipliers[c], wbMultipliers[c]);
  }
  QCOMPARE(options.WhiteBalanceKelvin, wbKelvin);
  QCOMPARE(options.WhiteBalanceTint, wbTint);
  QCOMPARE(options.ExposureStops, stops);
  QCOMPARE(int(options.Highlights), highlightMode);
  // The resize fields are still the window's.
  QVERIFY(!options.Resize);
  QCOMPARE(options.Width, 1920);
}

void ColourOptionsTest::cancelKeepsThePreviousChoice() {
  TfrmMain form;
  ShowAndWait(form);
  const TypedChoice first{kWhiteBalanceTemperature, {1, 1, 1}, 3200, -20, 1.5, 1};
  UseColourOptions(form, [&](TColourOptionsDialog& dialog) {
    Type(dialog, first);
    dialog.accept();
  });
  const TColourChoice chosen = form.ColourChoice();
  QCOMPARE(chosen.whiteBalance, int(kWhiteBalanceTemperature));

  // The dialog opens with the choice in force; Cancel after changing everything keeps it.
  TypedChoice shown;
  UseColourOptions(form, [&](TColourOptionsDialog& dialog) {
    shown.whiteBalance = Child<QComboBox>(dialog, "cbxWhiteBalance")->currentIndex();
    shown.kelvin = Child<QSpinBox>(dialog, "edtKelvin")->value();
    shown.tint = Child<QSpinBox>(dialog, "edtTint")->value();
    shown.exposure = Child<QDoubleSpinBox>(dialog, "edtExposure")->value();
    shown.highlights = Child<QComboBox>(dialog, "cbxHighlights")->currentIndex();
    Type(dialog, {kWhiteBalanceMultipliers, {3, 1, 2}, 9000, 50, -4, 0});
    dialog.reject();
  });
  QCOMPARE(shown.whiteBalance, first.whiteBalance);
  QCOMPARE(shown.kelvin, first.kelvin);
  QCOMPARE(shown.tint, first.tint);
  QCOMPARE(shown.exposure, first.exposure);
  QCOMPARE(shown.highlights, first.highlights);
  QVERIFY(form.ColourChoice() == chosen);
  const TConvertOptions options = form.CaptureConvertOptions();
  QCOMPARE(int(options.WhiteBalance), int(kWhiteBalanceTemperature));
  QCOMPARE(options.WhiteBalanceKelvin, 3200.0);
  QCOMPARE(options.ExposureStops, 1.5);
  QCOMPARE(int(options.Highlights), int(kHighlightsReconstruct));

  // Closing the dialog through its title bar is a Cancel too.
  UseColourOptions(form, [&](TColourOptionsDialog& dialog) {
    Type(dialog, {});
    dialog.close();
  });
  QVERIFY(form.ColourChoice() == chosen);
}

void ColourOptionsTest::referenceFrameFillsTheMultipliers() {
  if (!tarn::test::RawDeveloperReads(ReferenceFrame())) QSKIP("the RAW developer cannot read it");
  const QString path = Native(ReferenceFrame());
  TfrmMain form;
  ShowAndWait(form);
  UseColourOptions(form, [&](TColourOptionsDialog& dialog) {
    ChooseReferenceFrame(dialog, path);
    dialog.accept();
  });
  const TConvertOptions options = form.CaptureConvertOptions();
  QCOMPARE(int(options.WhiteBalance), int(kWhiteBalanceMultipliers));
  QCOMPARE(options.WhiteBalanceMultipliers[0], 2150.0 / 1024);
  QCOMPARE(options.WhiteBalanceMultipliers[1], 1.0);
  QCOMPARE(options.WhiteBalanceMultipliers[2], 1713.0 / 1024);
  QCOMPARE(form.ColourChoice().referenceFrame, path);

  // Opened again, the dialog names the frame and shows its numbers.
  QString shownName;
  QString shownTip;
  double shownRed = 0;
  UseColourOptions(form, [&](TColourOptionsDialog& dialog) {
    shownName = Child<QLabel>(dialog, "lblReferenceFrame")->text();
    shownTip = Child<QLabel>(dialog, "lblReferenceFrame")->toolTip();
    shownRed = Child<QDoubleSpinBox>(dialog, "edtMultiplierRed")->value();
    QCOMPARE(Child<QComboBox>(dialog, "cbxWhiteBalance")->currentIndex(),
             kWhiteBalanceFromReference);
    dialog.reject();
  });
  QCOMPARE(shownName, QStringLiteral("eos-350d-small.cr2"));
  QCOMPARE(shownTip, path);
  QCOMPARE(shownRed, 2.0996);
}

void ColourOptionsTest::referenceFrameReadWhenAccepted() {
  // A frame chosen and then given up for another mode is never read.
  tarn::test::TempDir temp;
  const QString missing = Native(temp / "IMG_0001.CR2");
  TColourOptionsDialog dialog(TColourChoice{});
  ShowAndWait(dialog);
  MessageRecorder messages;
  ChooseReferenceFrame(dialog, missing);
  QCOMPARE(Child<QComboBox>(dialog, "cbxWhiteBalance")->currentIndex(), kWhiteBalanceFromReference);
  QCOMPARE(Child<QLabel>(dialog, "lblReferenceFrame")->text(), QStringLiteral("IMG_0001.CR2"));
  Child<QComboBox>(dialog, "cbxWhiteBalance")->setCurrentIndex(kWhiteBalanceDaylight);
  dialog.accept();
  QCOMPARE(dialog.result(), int(QDialog::Accepted));
  QVERIFY(messages.Shown().isEmpty());
  TConvertOptions options;
  dialog.Choice().ApplyTo(options);
  QCOMPARE(int(options.WhiteBalance), int(kWhiteBalanceDaylight));
}

void ColourOptionsTest::unreadableReferenceFrame_data() {
  QTest::addColumn<QString>("source");  // in tests/data/raw; empty: a file that is not there
  QTest::newRow("no RAW file") << "not-a-raw.cr2";
  QTest::newRow("truncated") << "truncated.cr2";
  QTest::newRow("missing") << "";
}

void ColourOptionsTest::unreadableReferenceFrame() {
  QFETCH(QString, source);
  tarn::test::TempDir temp;
  const fs::path frame = temp / "IMG_0042.CR2";
  if (!source.isEmpty()) {
    fs::copy_file(tarn::test::DataDir() / "raw" / source.toStdString(), frame);
  }
  const QString path = Native(frame);

  TfrmMain form;
  ShowAndWait(form);
  // The choice in force before: it stays.
  UseColourOptions(form, [](TColourOptionsDialog& dialog) {
    Type(dialog, {kWhiteBalanceDaylight, {1, 1, 1}, 5500, 0, 0.5, 0});
    dialog.accept();
  });
  const TColourChoice before = form.ColourChoice();

  MessageRecorder messages;
  bool stayedOpen = false;
  UseColourOptions(form, [&](TColourOptionsDialog& dialog) {
    ChooseReferenceFrame(dialog, path);
    dialog.accept();
    stayedOpen = dialog.isVisible() && dialog.result() != QDialog::Accepted;
    dialog.reject();
  });
  QVERIFY(stayedOpen);
  QCOMPARE(messages.Shown().size(), 1);
  const ShownMessage& box = messages.Shown().first();
  QVERIFY2(box.text.startsWith(QStringLiteral("EOS Error: ")), qPrintable(box.text));
  // The file and the reason in words.
  QVERIFY2(box.informativeText.startsWith(path + QStringLiteral(": ")),
           qPrintable(box.informativeText));
  QVERIFY2(box.informativeText.size() > path.size() + 4, qPrintable(box.informativeText));
  QVERIFY(form.ColourChoice() == before);
}

void ColourOptionsTest::referenceModeWithoutAFrame() {
  TColourOptionsDialog dialog(TColourChoice{});
  ShowAndWait(dialog);
  Child<QComboBox>(dialog, "cbxWhiteBalance")->setCurrentIndex(kWhiteBalanceFromReference);
  dialog.accept();
  QVERIFY(dialog.isVisible());
  QVERIFY(dialog.result() != QDialog::Accepted);
  auto* error = Child<QLabel>(dialog, "lblError");
  QVERIFY(!error->isHidden());
  QVERIFY2(error->text().contains(QStringLiteral("reference frame")), qPrintable(error->text()));
}

TARN_APP_TEST_MAIN(ColourOptionsTest)
#include "ColourOptionsTest.moc"
