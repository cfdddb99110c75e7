// The progress overlay: its geometry for any window size (remainders dropped, a negative left
// edge for narrow windows), SetProgress before and after Cancel, what it hides and shields, the
// window's layout held while it is up, and the focus left where it was.
#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTreeWidget>
#include <memory>

#include "AppTestSupport.h"
#include "MainForm.h"
#include "ProgressPanel.h"

namespace {

QProgressBar* Bar(const TProgressPanel& panel) {
  return panel.findChild<QProgressBar*>(QStringLiteral("pbrProgress"));
}

QPushButton* CancelButton(const TProgressPanel& panel) {
  return panel.findChild<QPushButton*>(QStringLiteral("btnCancel"));
}

// A window with a layout of its own and two controls, at a client size of size.
class Host : public QWidget {
 public:
  explicit Host(QSize size) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLineEdit(this));
    layout->addWidget(new QPushButton(QStringLiteral("Covered"), this));
    setMinimumSize(1, 1);
    resize(size);
  }
};

void ShowAndActivate(QWidget& window) {
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  QApplication::setActiveWindow(&window);
  QVERIFY(QTest::qWaitForWindowActive(&window));
}

template <class T>
T* Child(const QWidget& form, const char* name) {
  T* child = form.findChild<T*>(QLatin1String(name));
  if (child == nullptr) qFatal("no control %s", name);
  return child;
}

QPoint CentreIn(const QWidget& form, const QWidget& control) {
  return control.mapTo(&form, control.rect().center());
}

}  // namespace

class ProgressPanelTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void geometry_data();
  void geometry();
  void coversTheMainWindowAtItsInitialSize();
  void setProgressBeforeAndAfterCancel();
  void positionsOutsideTheRangeArePinned_data();
  void positionsOutsideTheRangeArePinned();
  void hidesAndShieldsTheWindowsControls();
  void layoutHeldWhileUpAndRedoneForTheNewSize();
  void focusStaysWhereItWas();
};

void ProgressPanelTest::geometry_data() {
  QTest::addColumn<QSize>("client");
  QTest::addColumn<QRect>("bar");  // height: the toolkit's default, checked apart
  QTest::addColumn<QRect>("button");

  QTest::newRow("main window's initial size 854x516")
      << QSize(854, 516) << QRect(213, 258, 427, 0) << QRect(389, 288, 75, 25);
  QTest::newRow("odd width and height 855x517")
      << QSize(855, 517) << QRect(213, 258, 427, 0) << QRect(390, 288, 75, 25);
  QTest::newRow("width 857: quarters and halves each drop their remainder")
      << QSize(857, 400) << QRect(214, 200, 428, 0) << QRect(391, 230, 75, 25);
  QTest::newRow("exactly the button's width")
      << QSize(75, 60) << QRect(18, 30, 37, 0) << QRect(0, 60, 75, 25);
  QTest::newRow("width 60: negative left edge truncated toward zero")
      << QSize(60, 100) << QRect(15, 50, 30, 0) << QRect(-7, 80, 75, 25);
  QTest::newRow("width 74: -1 div 2 is 0")
      << QSize(74, 100) << QRect(18, 50, 37, 0) << QRect(0, 80, 75, 25);
  QTest::newRow("width 1") << QSize(1, 1) << QRect(0, 0, 0, 0) << QRect(-37, 30, 75, 25);
}

void ProgressPanelTest::geometry() {
  QFETCH(QSize, client);
  QFETCH(QRect, bar);
  QFETCH(QRect, button);

  Host host(client);
  ShowAndActivate(host);
  QCOMPARE(host.size(), client);
  TProgressPanel panel(&host);
  QCOMPARE(panel.parentWidget(), &host);
  QCOMPARE(panel.geometry(), QRect(QPoint(0, 0), client));
  QVERIFY(panel.isVisible());
  QCOMPARE(host.children().last(), &panel);  // in front of every other child

  const QProgressBar* progress = Bar(panel);
  QCOMPARE(progress->orientation(), Qt::Horizontal);
  QCOMPARE(progress->minimum(), 0);
  QCOMPARE(progress->maximum(), 100);
  QCOMPARE(progress->value(), 0);
  bar.setHeight(QProgressBar().sizeHint().height());
  QCOMPARE(progress->geometry(), bar);

  const QPushButton* cancel = CancelButton(panel);
  QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
  QCOMPARE(cancel->geometry(), button);
  QVERIFY(!cancel->isDefault());
  QVERIFY(!cancel->autoDefault());
  QVERIFY(!panel.Cancelled());
}

void ProgressPanelTest::coversTheMainWindowAtItsInitialSize() {
  TfrmMain form;
  ShowAndActivate(form);
  TProgressPanel panel(&form);
  QCOMPARE(panel.geometry(), QRect(0, 0, 854, 516));
  QCOMPARE(Bar(panel)->geometry().topLeft(), QPoint(213, 258));
  QCOMPARE(Bar(panel)->width(), 427);
  QCOMPARE(CancelButton(panel)->geometry(), QRect(389, 288, 75, 25));
}

void ProgressPanelTest::setProgressBeforeAndAfterCancel() {
  Host host({400, 300});
  ShowAndActivate(host);
  TProgressPanel panel(&host);
  QSignalSpy clicked(&panel, &TProgressPanel::CancelClicked);

  QVERIFY(panel.SetProgress(50));
  QCOMPARE(Bar(panel)->value(), 50);
  QVERIFY(panel.SetProgress(0));
  QCOMPARE(Bar(panel)->value(), 0);
  QVERIFY(!panel.Cancelled());

  QTest::mouseClick(CancelButton(panel), Qt::LeftButton);
  QVERIFY(panel.Cancelled());
  QCOMPARE(clicked.count(), 1);
  // The files under way still take their time: the button says that cancelling is under way.
  QVERIFY(!CancelButton(panel)->isEnabled());
  QCOMPARE(CancelButton(panel)->text(), QStringLiteral("Cancelling..."));
  QCOMPARE(CancelButton(panel)->geometry(), QRect(162, 180, 75, 25));
  // The bar still moves; only the answer changes.
  QVERIFY(!panel.SetProgress(70));
  QCOMPARE(Bar(panel)->value(), 70);

  // A second click changes nothing; the overlay and its button stay as they were.
  QTest::mouseClick(CancelButton(panel), Qt::LeftButton);
  QVERIFY(panel.Cancelled());
  QCOMPARE(clicked.count(), 1);
  QVERIFY(!panel.SetProgress(99));
  QCOMPARE(Bar(panel)->value(), 99);
  QCOMPARE(CancelButton(panel)->text(), QStringLiteral("Cancelling..."));
  QVERIFY(panel.isVisible());
}

void ProgressPanelTest::positionsOutsideTheRangeArePinned_data() {
  QTest::addColumn<int>("position");
  QTest::addColumn<int>("shown");
  QTest::newRow("above the range") << 150 << 100;
  QTest::newRow("below the range") << -5 << 0;
  QTest::newRow("top of the range") << 100 << 100;
}

void ProgressPanelTest::positionsOutsideTheRangeArePinned() {
  QFETCH(int, position);
  QFETCH(int, shown);
  Host host({400, 300});
  TProgressPanel panel(&host);
  QVERIFY(panel.SetProgress(40));
  QVERIFY(panel.SetProgress(position));
  QCOMPARE(Bar(panel)->value(), shown);
}

void ProgressPanelTest::hidesAndShieldsTheWindowsControls() {
  TfrmMain form;
  ShowAndActivate(form);
  auto* resize = Child<QCheckBox>(form, "cbxResizeImages");
  QSignalSpy resizeClicks(resize, &QCheckBox::clicked);
  const QPoint resizeCentre = CentreIn(form, *resize);
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  // Well inside the list, away from the bar and the button.
  const QPoint inList = list->viewport()->mapTo(&form, QPoint(20, 40));

  // Clicks through the window system, as a user's; without the overlay they land.
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, resizeCentre);
  QCOMPARE(resizeClicks.count(), 1);

  auto panel = std::make_unique<TProgressPanel>(&form);
  for (const char* name :
       {"sbnAddFiles", "sbnOutFolder", "lblOutFolder", "cbxResizeImages", "edtResizeWidth",
        "edtResizeHeight", "cbxColorSpace", "sbnConvert", "sbnAbout", "Panel1"}) {
    const QPoint centre = CentreIn(form, *Child<QWidget>(form, name));
    QWidget* hit = form.childAt(centre);
    QVERIFY2(hit == panel.get() || hit->parentWidget() == panel.get(), name);
  }
  QCOMPARE(form.childAt(inList), panel.get());
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, resizeCentre);
  QCOMPARE(resizeClicks.count(), 1);

  // A plain surface in the window's colour where the list was.
  const QColor surface = form.palette().color(form.backgroundRole());
  QCOMPARE(form.grab().toImage().pixelColor(inList), surface);

  panel.reset();
  QVERIFY(form.findChildren<TProgressPanel*>().isEmpty());
  QCOMPARE(form.childAt(inList), list->viewport());
  QVERIFY(form.grab().toImage().pixelColor(inList) != surface);
  QTest::mouseClick(form.windowHandle(), Qt::LeftButton, {}, resizeCentre);
  QCOMPARE(resizeClicks.count(), 2);
}

void ProgressPanelTest::layoutHeldWhileUpAndRedoneForTheNewSize() {
  TfrmMain form;
  ShowAndActivate(form);
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  auto* panel1 = Child<QWidget>(form, "Panel1");
  auto* about = Child<QPushButton>(form, "sbnAbout");

  auto panel = std::make_unique<TProgressPanel>(&form);
  const QRect barBefore = Bar(*panel)->geometry();
  const QRect buttonBefore = CancelButton(*panel)->geometry();
  form.resize(1000, 600);
  QTRY_COMPARE(form.size(), QSize(1000, 600));
  // Everything keeps its size and place; the gained area shows the window's background.
  QCOMPARE(list->geometry(), QRect(0, 0, 669, 516));
  QCOMPARE(panel1->geometry(), QRect(669, 0, 185, 516));
  QCOMPARE(about->geometry(), QRect(18, 474, 150, 28));
  QCOMPARE(panel->geometry(), QRect(0, 0, 854, 516));
  QCOMPARE(Bar(*panel)->geometry(), barBefore);
  QCOMPARE(CancelButton(*panel)->geometry(), buttonBefore);

  panel.reset();
  QCOMPARE(list->geometry(), QRect(0, 0, 815, 600));
  QCOMPARE(panel1->geometry(), QRect(815, 0, 185, 600));
  QCOMPARE(about->geometry(), QRect(18, 600 - 14 - 28, 150, 28));

  // The layout follows the window again.
  form.resize(900, 500);
  QTRY_COMPARE(list->geometry(), QRect(0, 0, 715, 500));
}

void ProgressPanelTest::focusStaysWhereItWas() {
  TfrmMain form;
  ShowAndActivate(form);
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  QCOMPARE(QApplication::focusWidget(), list);
  TProgressPanel panel(&form);
  QApplication::processEvents();
  QCOMPARE(QApplication::focusWidget(), list);
  QCOMPARE(CancelButton(panel)->focusPolicy(), Qt::ClickFocus);
  QTest::mousePress(CancelButton(panel), Qt::LeftButton);
  QCOMPARE(QApplication::focusWidget(), CancelButton(panel));
  // Once clicked the button is disabled, and the focus goes back to the list.
  QTest::mouseRelease(CancelButton(panel), Qt::LeftButton);
  QVERIFY(panel.Cancelled());
  QCOMPARE(QApplication::focusWidget(), list);
}

TARN_APP_TEST_MAIN(ProgressPanelTest)
#include "ProgressPanelTest.moc"
