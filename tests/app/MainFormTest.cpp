// The main window: its controls at start, the layout when resized, the size fields' digit
// filter and empty-to-"0" rule, adding files with their sizes (and failing to), Delete and
// Clear, the output folder, the missing-input messages of Convert and the open-file dialog.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QRegularExpression>
#include <QStyle>
#include <QTreeWidget>
#include <QUrl>
#include <cstdlib>

#include "AppTestSupport.h"
#include "MainForm.h"
#include "PathDialog.h"
#include "RawToDpx.h"
#include "TestPaths.h"
#include "edsdk/EDSDKErrors.h"

using tarn::test::DataDir;
using tarn::test::TempDir;

namespace {

QString Native(const std::filesystem::path& path) {
  return QString::fromStdString(path.string());
}

// A property value as the tables below spell it.
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
      return QStringLiteral("%1 %2px").arg(font.family()).arg(font.pixelSize());
    }
    case QMetaType::QKeySequence:
      return value.value<QKeySequence>().toString(QKeySequence::NativeText);
    case QMetaType::Bool:
      return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    default:
      break;
  }
  if (value.metaType() == QMetaType::fromType<Qt::FocusPolicy>()) {
    return QString::fromLatin1(
        QMetaEnum::fromType<Qt::FocusPolicy>().valueToKey(value.value<Qt::FocusPolicy>()));
  }
  return value.toString();
}

void ShowAndActivate(TfrmMain& form) {
  form.show();
  QVERIFY(QTest::qWaitForWindowExposed(&form));
  QApplication::setActiveWindow(&form);
  QVERIFY(QTest::qWaitForWindowActive(&form));
}

template <class T>
T* Child(const TfrmMain& form, const char* name) {
  T* child = form.findChild<T*>(QLatin1String(name));
  if (child == nullptr) qFatal("no control %s", name);
  return child;
}

QStringList SizeTexts(const TfrmMain& form) {
  QStringList sizes;
  const auto* list = Child<QTreeWidget>(form, "lvwFiles");
  for (int i = 0; i < list->topLevelItemCount(); ++i) sizes.append(list->topLevelItem(i)->text(1));
  return sizes;
}

// Drops local files and folders on the list the way a file manager does.
void DropOnList(TfrmMain& form, const QStringList& paths) {
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& path : paths) urls.append(QUrl::fromLocalFile(path));
  data.setUrls(urls);
  QWidget* target = Child<QTreeWidget>(form, "lvwFiles")->viewport();
  const QPoint position = target->rect().center();
  QDragEnterEvent enter(position, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QVERIFY(enter.isAccepted());
  QDropEvent drop(QPointF(position), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
}

// A file dialog that the application has made the active window: only there does its name field
// have the keyboard focus, and without it the dialog replaces the typed names with the files
// selected in its view whenever its folder reader selects them.
bool ActiveFileDialog(const QFileDialog& dialog) {
  return QApplication::activeWindow() == &dialog;
}

QImage StandardIcon(QStyle::StandardPixmap icon) {
  return QApplication::style()->standardIcon(icon).pixmap(32, 32).toImage();
}

}  // namespace

class MainFormTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();
  void initialState_data();
  void initialState();
  void listHasTheFocusAndIsTheOnlyTabStop();
  void layoutFollowsTheWindowSize_data();
  void layoutFollowsTheWindowSize();
  void panelControlsAllVisibleAndApart_data();
  void panelControlsAllVisibleAndApart();
  void digitFilter_data();
  void digitFilter();
  void emptyFieldBecomesZero_data();
  void emptyFieldBecomesZero();
  void addFilesWithSizes_data();
  void addFilesWithSizes();
  void failingSecondFileEndsAdding();
  void failingFileRaisesTheSdkError();
  void realRawFile();
  void droppedFolderAddsItsRawFilesByName();
  void deleteAndClear_data();
  void deleteAndClear();
  void contextMenu();
  void selectionShownOnlyWithFocus();
  void narrowListKeepsTheFileNamesReadable();
  void outputFolderLabelAndTooltip();
  void longOutputFolderIsCutOffInTheLabel();
  void convertNeedsFilesAndFolder_data();
  void convertNeedsFilesAndFolder();
  void fileDialogSetup();
  void rawFilterMatchesUpperCaseNames_data();
  void rawFilterMatchesUpperCaseNames();
  void fileDialogRemembersAConfirmedUseOnly();
  void typedNamesAreAddedInTheOrderNamed_data();
  void typedNamesAreAddedInTheOrderNamed();

 private:
  std::unique_ptr<ScopedFakeSdk> sdk_;
  std::unique_ptr<TempDir> temp_;
};

void MainFormTest::init() {
  sdk_ = std::make_unique<ScopedFakeSdk>();
  temp_ = std::make_unique<TempDir>();
}

void MainFormTest::cleanup() {
  temp_.reset();
  sdk_.reset();
}

void MainFormTest::initialState_data() {
  QTest::addColumn<QString>("control");
  QTest::addColumn<QByteArray>("property");
  QTest::addColumn<QString>("expected");

  const auto row = [](const char* control, const char* property, const char* expected) {
    QTest::addRow("%s.%s", control, property) << control << QByteArray(property) << expected;
  };
  row("frmMain", "windowTitle", "Tarn RAW to DPX Converter");
  row("frmMain", "pos", "261,145");
  row("frmMain", "size", "854x516");
  row("frmMain", "minimumSize", "384x392");
  row("frmMain", "font", "Arial 12px");
  row("lvwFiles", "geometry", "0,0,669,516");
  row("lvwFiles", "topLevelItemCount", "0");
  row("lvwFiles", "columnCount", "2");
  row("lvwFiles", "focusPolicy", "StrongFocus");
  row("lvwFiles", "frameShape", "NoFrame");
  row("Panel1", "geometry", "669,0,185,516");
  row("Panel1", "focusPolicy", "NoFocus");
  row("sbnAddFiles", "text", "Add RAW Files...");
  row("sbnAddFiles", "geometry", "18,24,150,28");
  row("sbnAddFiles", "focusPolicy", "NoFocus");
  row("sbnOutFolder", "text", "Choose Output Folder...");
  row("sbnOutFolder", "geometry", "18,72,150,28");
  row("sbnOutFolder", "focusPolicy", "NoFocus");
  row("lblOutFolder", "text", "Select an output folder");
  row("lblOutFolder", "geometry", "18,104,145,15");
  row("lblOutFolder", "toolTip", "");
  row("cbxResizeImages", "text", "Resize Images to");
  row("cbxResizeImages", "checked", "false");
  row("cbxResizeImages", "geometry", "18,142,129,17");
  row("cbxResizeImages", "focusPolicy", "ClickFocus");
  row("edtResizeWidth", "text", "1920");
  row("edtResizeWidth", "maxLength", "5");
  row("edtResizeWidth", "geometry", "18,163,57,23");
  row("edtResizeWidth", "focusPolicy", "ClickFocus");
  row("Label3", "text", "x");
  row("Label3", "geometry", "90,165,5,15");
  row("edtResizeHeight", "text", "1080");
  row("edtResizeHeight", "maxLength", "5");
  row("edtResizeHeight", "geometry", "111,163,57,23");
  row("edtResizeHeight", "focusPolicy", "ClickFocus");
  row("Label1", "text", "Color Space of DPX files");
  row("Label1", "geometry", "18,212,134,15");
  row("cbxColorSpace", "count", "6");
  row("cbxColorSpace", "currentIndex", "0");
  row("cbxColorSpace", "currentText", "sRGB/Rec.709");
  row("cbxColorSpace", "editable", "false");
  row("cbxColorSpace", "geometry", "19,229,150,23");
  row("cbxColorSpace", "focusPolicy", "ClickFocus");
  row("sbnConvert", "text", "Convert");
  row("sbnConvert", "geometry", "18,296,150,28");
  row("sbnConvert", "focusPolicy", "NoFocus");
  row("sbnOutputOptions", "text", "Output...");
  row("sbnOutputOptions", "toolTip", "Output Options");
  row("sbnOutputOptions", "accessibleName", "Output Options...");
  row("sbnOutputOptions", "geometry", "18,262,73,26");
  row("sbnOutputOptions", "focusPolicy", "NoFocus");
  row("sbnColourOptions", "text", "Colour...");
  row("sbnColourOptions", "toolTip", "Colour Options");
  row("sbnColourOptions", "accessibleName", "Colour Options...");
  row("sbnColourOptions", "geometry", "95,262,73,26");
  row("sbnColourOptions", "focusPolicy", "NoFocus");
  row("sbnAbout", "text", "About...");
  row("sbnAbout", "geometry", "18,474,150,28");
  row("sbnAbout", "focusPolicy", "NoFocus");
  row("miDelete", "text", "Delete from List");
  row("miDelete", "shortcut", "Del");
  row("miDelete", "enabled", "true");
  row("miClear", "text", "Clear List");
  row("miClear", "shortcut", "");
  row("miClear", "enabled", "true");
}

void MainFormTest::initialState() {
  QFETCH(QString, control);
  QFETCH(QByteArray, property);
  QFETCH(QString, expected);

  TfrmMain form;
  ShowAndActivate(form);
  const QObject* object = control == "frmMain" ? &form : form.findChild<QObject*>(control);
  QVERIFY2(object != nullptr, qPrintable(control));
  const QVariant value = object->property(property.constData());
  QVERIFY2(value.isValid(), property.constData());
  QCOMPARE(Describe(value), expected);
}

void MainFormTest::listHasTheFocusAndIsTheOnlyTabStop() {
  TfrmMain form;
  ShowAndActivate(form);
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  QCOMPARE(QApplication::focusWidget(), list);
  QCOMPARE(form.OutputFolder(), QString());
  QVERIFY(form.FileEntries().isEmpty());

  QTest::keyClick(list, Qt::Key_Tab);
  QCOMPARE(QApplication::focusWidget(), list);
  QTest::keyClick(list, Qt::Key_Backtab);
  QCOMPARE(QApplication::focusWidget(), list);
}

void MainFormTest::layoutFollowsTheWindowSize_data() {
  QTest::addColumn<QSize>("client");
  QTest::newRow("initial size") << QSize(854, 516);
  QTest::newRow("minimum size") << QSize(384, 392);
  QTest::newRow("larger") << QSize(1200, 800);
  QTest::newRow("below the minimum") << QSize(200, 200);
}

void MainFormTest::layoutFollowsTheWindowSize() {
  QFETCH(QSize, client);
  TfrmMain form;
  ShowAndActivate(form);
  form.resize(client);
  const QSize actual = client.expandedTo(TfrmMain::kMinimumClientSize);
  QTRY_COMPARE(form.size(), actual);

  const auto* panel = Child<QWidget>(form, "Panel1");
  const auto* list = Child<QTreeWidget>(form, "lvwFiles");
  QTRY_COMPARE(panel->geometry(), QRect(actual.width() - 185, 0, 185, actual.height()));
  QTRY_COMPARE(list->geometry(), QRect(0, 0, actual.width() - 185, actual.height()));
  QCOMPARE(list->header()->sectionSize(1), 100);
  // The header lays its sections out for the new width when its own pending layout runs.
  QTRY_COMPARE(list->header()->sectionSize(0), list->viewport()->width() - 100);

  const auto* about = Child<QPushButton>(form, "sbnAbout");
  QCOMPARE(about->geometry(), QRect(18, actual.height() - 14 - 28, 150, 28));
  QCOMPARE(Child<QPushButton>(form, "sbnConvert")->geometry(), QRect(18, 296, 150, 28));
  QCOMPARE(Child<QLineEdit>(form, "edtResizeHeight")->geometry(), QRect(111, 163, 57, 23));
}

void MainFormTest::panelControlsAllVisibleAndApart_data() {
  QTest::addColumn<QSize>("client");
  QTest::newRow("first size") << TfrmMain::kInitialClientSize;
  QTest::newRow("minimum size") << TfrmMain::kMinimumClientSize;
}

// The About button follows the panel's bottom edge; at the smallest window it must still leave
// every other control whole and reachable.
void MainFormTest::panelControlsAllVisibleAndApart() {
  QFETCH(QSize, client);
  TfrmMain form;
  ShowAndActivate(form);
  form.resize(client);
  const auto* panel = Child<QWidget>(form, "Panel1");
  QTRY_COMPARE(panel->height(), client.height());
  const auto* about = Child<QPushButton>(form, "sbnAbout");
  QTRY_COMPARE(about->y() + about->height(), client.height() - 14);

  const QList<QWidget*> controls = panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  QVERIFY(controls.size() >= 13);
  for (qsizetype i = 0; i < controls.size(); ++i) {
    const QWidget* control = controls[i];
    QVERIFY2(control->isVisible(), qPrintable(control->objectName()));
    QVERIFY2(panel->rect().contains(control->geometry()), qPrintable(control->objectName()));
    for (qsizetype j = i + 1; j < controls.size(); ++j) {
      QVERIFY2(
          !control->geometry().intersects(controls[j]->geometry()),
          qPrintable(control->objectName() + QStringLiteral(" / ") + controls[j]->objectName()));
    }
  }
}

void MainFormTest::digitFilter_data() {
  QTest::addColumn<QString>("field");
  QTest::addColumn<QTestEventList>("typing");
  QTest::addColumn<QString>("character");  // one more typed character, outside Latin-1
  QTest::addColumn<QString>("expected");   // "<start>" stands for the field's start text

  for (const char* field : {"edtResizeWidth", "edtResizeHeight"}) {
    const auto row = [field](const char* name, const QTestEventList& events, const char* text,
                             const QString& character = QString()) {
      QTest::addRow("%s: %s", field, name)
          << QString::fromLatin1(field) << events << character << text;
    };
    QTestEventList events;
    events.addKeyClick('a');
    row("letter refused", events, "<start>");
    events.clear();
    events.addKeyClick('-');
    row("minus refused", events, "<start>");
    events.clear();
    events.addKeyClick(' ');
    row("blank refused", events, "<start>");
    events.clear();
    events.addKeyClick(Qt::Key_Return);
    row("Enter refused", events, "<start>");
    events.clear();
    events.addKeyClick(Qt::Key_Escape);
    row("Esc refused", events, "<start>");
    events.clear();
    row("Arabic-Indic digit refused", events, "<start>", QString(QChar(0x0663)));
    events.clear();
    events.addKeyClick('5');
    row("digit appended", events, "<start>5");
    events.clear();
    events.addKeyClick(Qt::Key_7, Qt::KeypadModifier);
    row("keypad digit appended", events, "<start>7");
    events.clear();
    events.addKeyClicks("56");
    row("sixth character refused", events, "<start>5");
    events.clear();
    events.addKeyClick(Qt::Key_Backspace);
    row("Backspace deletes", events, "<start-1>");
    events.clear();
    events.addKeyClick(Qt::Key_Home);
    events.addKeyClick(Qt::Key_Delete);
    row("Delete deletes forward", events, "<start+1>");
    events.clear();
    events.addKeyClick(Qt::Key_A, Qt::ControlModifier);
    events.addKeyClicks("640");
    row("select all, then digits", events, "640");
  }
}

void MainFormTest::digitFilter() {
  QFETCH(QString, field);
  QFETCH(QTestEventList, typing);
  QFETCH(QString, character);
  QFETCH(QString, expected);

  TfrmMain form;
  ShowAndActivate(form);
  auto* edit = Child<QLineEdit>(form, field.toLatin1().constData());
  const QString start = edit->text();
  expected.replace("<start-1>", start.chopped(1));
  expected.replace("<start+1>", start.mid(1));
  expected.replace("<start>", start);
  QTest::mouseClick(edit, Qt::LeftButton);
  QCOMPARE(QApplication::focusWidget(), edit);
  edit->end(false);
  typing.simulate(edit);
  if (!character.isEmpty()) {
    QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, character, Qt::NoModifier);
  }
  QCOMPARE(edit->text(), expected);
}

void MainFormTest::emptyFieldBecomesZero_data() {
  QTest::addColumn<QString>("field");
  QTest::addColumn<QString>("how");
  for (const char* field : {"edtResizeWidth", "edtResizeHeight"}) {
    for (const char* how : {"Backspace", "Delete", "cut", "set empty"}) {
      QTest::addRow("%s: %s", field, how) << QString::fromLatin1(field) << QString::fromLatin1(how);
    }
  }
}

void MainFormTest::emptyFieldBecomesZero() {
  QFETCH(QString, field);
  QFETCH(QString, how);

  TfrmMain form;
  ShowAndActivate(form);
  auto* edit = Child<QLineEdit>(form, field.toLatin1().constData());
  auto* other =
      Child<QLineEdit>(form, field == "edtResizeWidth" ? "edtResizeHeight" : "edtResizeWidth");
  const QString otherText = other->text();
  QTest::mouseClick(edit, Qt::LeftButton);
  if (how == "Backspace") {
    edit->end(false);
    for (int i = 0; i < 4; ++i) QTest::keyClick(edit, Qt::Key_Backspace);
  } else if (how == "Delete") {
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
  } else if (how == "cut") {
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
  } else {
    edit->setText(QString());
  }
  QCOMPARE(edit->text(), QStringLiteral("0"));
  QCOMPARE(other->text(), otherText);
  // A digit typed now goes after the "0"; the batch run reads "012" as 12.
  edit->end(false);
  QTest::keyClicks(edit, "12");
  QCOMPARE(edit->text(), QStringLiteral("012"));
}

void MainFormTest::addFilesWithSizes_data() {
  QTest::addColumn<QStringList>("names");
  QTest::addColumn<QList<QSize>>("sizes");  // per distinct name
  QTest::addColumn<QStringList>("sizeTexts");

  QTest::newRow("three files in the dialog's order")
      << QStringList{"IMG_0003.CR2", "IMG_0001.CR2", "IMG_0002.CR2"}
      << QList<QSize>{{4000, 3000}, {5000, 4000}, {6000, 4000}}
      << QStringList{"4000x3000", "5000x4000", "6000x4000"};
  QTest::newRow("the same file twice")
      << QStringList{"A.CR2", "A.CR2"} << QList<QSize>{{5184, 3456}, {5184, 3456}}
      << QStringList{"5184x3456", "5184x3456"};
  QTest::newRow("portrait and tiny")
      << QStringList{"tall.cr2", "dot.cr2"} << QList<QSize>{{3456, 5184}, {1, 1}}
      << QStringList{"3456x5184", "1x1"};
}

void MainFormTest::addFilesWithSizes() {
  QFETCH(QStringList, names);
  QFETCH(QList<QSize>, sizes);
  QFETCH(QStringList, sizeTexts);

  QStringList paths;
  for (int i = 0; i < names.size(); ++i) {
    paths.append(Native(temp_->path() / names[i].toStdString()));
    sdk_->fake->SetSize(paths.last().toStdString(), sizes[i].width(), sizes[i].height());
  }
  TfrmMain form;
  ShowAndActivate(form);
  form.AddFiles(paths);
  QCOMPARE(form.FileEntries(), paths);
  QCOMPARE(SizeTexts(form), sizeTexts);
  QCOMPARE(sdk_->fake->LiveObjects(), 0);
  QVERIFY(Child<QTreeWidget>(form, "lvwFiles")->updatesEnabled());

  // Adding again appends; nothing is sorted.
  form.AddFiles({paths.first()});
  QCOMPARE(form.FileEntries().size(), paths.size() + 1);
  QCOMPARE(form.FileEntries().last(), paths.first());
}

void MainFormTest::failingSecondFileEndsAdding() {
  const QString first = Native(temp_->path() / "IMG_0001.CR2");
  const QString second = Native(temp_->path() / "missing.CR2");
  const QString third = Native(temp_->path() / "IMG_0003.CR2");
  sdk_->fake->SetSize(first.toStdString(), 4000, 3000);
  sdk_->fake->SetSize(third.toStdString(), 6000, 4000);
  sdk_->fake->FailPath(second.toStdString(), EDS_ERR_FILE_NOT_FOUND);

  TfrmMain form;
  ShowAndActivate(form);
  MessageRecorder messages;
  DropOnList(form, {first, second, third});

  QCOMPARE(form.FileEntries(), (QStringList{first, second}));
  QCOMPARE(SizeTexts(form), (QStringList{"4000x3000", ""}));
  QCOMPARE(messages.Shown().size(), 1);
  const ShownMessage& shown = messages.Shown().first();
  QCOMPARE(shown.title, QStringLiteral("Tarn RAW to DPX Converter"));
  QCOMPARE(shown.text, QStringLiteral("EOS Error: 00000022."));
  QCOMPARE(shown.buttons, QStringList{"OK"});
  QCOMPARE(shown.icon, StandardIcon(QStyle::SP_MessageBoxCritical));
  QVERIFY(Child<QTreeWidget>(form, "lvwFiles")->updatesEnabled());
  QCOMPARE(sdk_->fake->LiveObjects(), 0);

  // The window works on: adding again adds.
  form.AddFiles({third});
  QCOMPARE(SizeTexts(form), (QStringList{"4000x3000", "", "6000x4000"}));
}

void MainFormTest::failingFileRaisesTheSdkError() {
  const QString bad = Native(temp_->path() / "bad.cr2");
  sdk_->fake->FailAt("GetImageInfo", EDS_ERR_FILE_DATA_CORRUPT);
  TfrmMain form;
  try {
    form.AddFiles({bad});
    QFAIL("no error raised");
  } catch (const EosError& error) {
    QCOMPARE(QString::fromUtf8(error.what()), QStringLiteral("EOS Error: 0000002D"));
  }
  QCOMPARE(form.FileEntries(), QStringList{bad});
  QCOMPARE(SizeTexts(form), QStringList{""});
  QCOMPARE(sdk_->fake->LiveObjects(), 0);
}

void MainFormTest::realRawFile() {
  sdk_.reset();  // the real developer
  const QString kodak = Native(DataDir() / "raw" / "kodak-dc50.kdc");
  TfrmMain form;
  try {
    form.AddFiles({kodak});
  } catch (const EosError& error) {
    if (error.code() == EDS_ERR_NOT_SUPPORTED) {
      QSKIP("The RAW developer of this build cannot open files yet (EOS Error: 00000007)");
    }
    QFAIL(error.what());
  }
  QCOMPARE(form.FileEntries(), QStringList{kodak});
  QCOMPARE(SizeTexts(form), QStringList{"768x512"});
}

void MainFormTest::droppedFolderAddsItsRawFilesByName() {
  const std::filesystem::path shots = temp_->path() / "shots";
  std::filesystem::create_directories(shots / "sub");
  for (const char* name : {"b.CR2", "a.cr2", "notes.txt", "c.Cr2", "sub/z.cr2"}) {
    tarn::test::WriteFileBytes(shots / name, "raw");
  }
  const QString single = Native(temp_->path() / "single.CR2");
  tarn::test::WriteFileBytes(temp_->path() / "single.CR2", "raw");

  TfrmMain form;
  ShowAndActivate(form);
  MessageRecorder messages;
  DropOnList(form, {single, Native(shots)});
  QCOMPARE(messages.Shown().size(), 0);
  QCOMPARE(form.FileEntries(), (QStringList{single, Native(shots / "a.cr2"),
                                            Native(shots / "b.CR2"), Native(shots / "c.Cr2")}));
  QCOMPARE(SizeTexts(form), (QStringList{"4x3", "4x3", "4x3", "4x3"}));
}

void MainFormTest::deleteAndClear_data() {
  QTest::addColumn<int>("entries");
  QTest::addColumn<int>("selected");  // -1: none
  QTest::addColumn<QString>("action");
  QTest::addColumn<int>("times");
  QTest::addColumn<QStringList>("remaining");

  QTest::newRow("Delete from List removes the selected entry")
      << 3 << 1 << "miDelete" << 1 << QStringList{"0.cr2", "2.cr2"};
  QTest::newRow("Delete from List without a selection")
      << 3 << -1 << "miDelete" << 1 << QStringList{"0.cr2", "1.cr2", "2.cr2"};
  QTest::newRow("Delete from List on an empty list") << 0 << -1 << "miDelete" << 1 << QStringList{};
  QTest::newRow("Clear List") << 3 << 1 << "miClear" << 1 << QStringList{};
  QTest::newRow("Clear List on an empty list") << 0 << -1 << "miClear" << 1 << QStringList{};
  QTest::newRow("Delete key in the list")
      << 3 << 0 << "Delete in list" << 1 << QStringList{"1.cr2", "2.cr2"};
  QTest::newRow("Delete key in the list, last entry")
      << 3 << 2 << "Delete in list" << 1 << QStringList{"0.cr2", "1.cr2"};
  QTest::newRow("Delete key in a size field edits the field")
      << 3 << 0 << "Delete in field" << 1 << QStringList{"0.cr2", "1.cr2", "2.cr2"};
  // The view selects a neighbour of the removed entry; a further Delete must not take it too.
  QTest::newRow("Delete key twice removes the chosen entry only")
      << 3 << 1 << "Delete in list" << 2 << QStringList{"0.cr2", "2.cr2"};
  QTest::newRow("Delete key three times from the first entry")
      << 3 << 0 << "Delete in list" << 3 << QStringList{"1.cr2", "2.cr2"};
  QTest::newRow("Delete key twice on the last entry")
      << 3 << 2 << "Delete in list" << 2 << QStringList{"0.cr2", "1.cr2"};
  QTest::newRow("Delete from List twice removes the chosen entry only")
      << 3 << 1 << "miDelete" << 2 << QStringList{"0.cr2", "2.cr2"};
}

void MainFormTest::deleteAndClear() {
  QFETCH(int, entries);
  QFETCH(int, selected);
  QFETCH(QString, action);
  QFETCH(int, times);
  QFETCH(QStringList, remaining);

  TfrmMain form;
  ShowAndActivate(form);
  QStringList paths;
  for (int i = 0; i < entries; ++i)
    paths.append(Native(temp_->path() / (std::to_string(i) + ".cr2")));
  form.AddFiles(paths);
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  if (selected >= 0) list->setCurrentItem(list->topLevelItem(selected));

  auto* width = Child<QLineEdit>(form, "edtResizeWidth");
  for (int i = 0; i < times; ++i) {
    if (action == "Delete in list") {
      list->setFocus();
      QTest::keyClick(list, Qt::Key_Delete);
    } else if (action == "Delete in field") {
      QTest::mouseClick(width, Qt::LeftButton);
      width->home(false);
      QTest::keyClick(width, Qt::Key_Delete);
      QCOMPARE(width->text(), QStringLiteral("920"));
    } else {
      form.findChild<QAction*>(action)->trigger();
    }
  }

  QStringList names;
  for (const QString& entry : form.FileEntries()) names.append(QFileInfo(entry).fileName());
  QCOMPARE(names, remaining);
  // After a removal nothing is selected.
  if (remaining.size() < entries && !remaining.isEmpty()) {
    QVERIFY(list->selectedItems().isEmpty());
  }
}

void MainFormTest::contextMenu() {
  TfrmMain form;
  ShowAndActivate(form);
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  auto* menu = Child<QMenu>(form, "pmnFiles");
  QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(20, 40),
                          list->viewport()->mapToGlobal(QPoint(20, 40)));
  QApplication::sendEvent(list->viewport(), &click);
  QVERIFY(menu->isVisible());
  QStringList items;
  for (const QAction* item : menu->actions()) {
    items.append(item->text());
    QVERIFY(item->isEnabled());
  }
  QCOMPARE(items, (QStringList{"Delete from List", "Clear List"}));
  QCOMPARE(menu->font().pixelSize(), 12);
  menu->close();
}

void MainFormTest::selectionShownOnlyWithFocus() {
  TfrmMain form;
  ShowAndActivate(form);
  form.AddFiles({Native(temp_->path() / "a.cr2")});
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  QTreeWidgetItem* entry = list->topLevelItem(0);
  list->setCurrentItem(entry);
  const QRect row = list->visualItemRect(entry);
  // Beyond the short size text, where only the row's background is drawn.
  const QPoint background(row.right() - 4, row.center().y());

  list->setFocus();
  QVERIFY(list->hasFocus());
  const QColor base = list->palette().color(QPalette::Active, QPalette::Base);
  const QColor highlight = QApplication::palette(list).color(QPalette::Active, QPalette::Highlight);
  const QColor focused = list->viewport()->grab().toImage().pixelColor(background);
  // The style may shade the highlight a little.
  const auto distance = [](const QColor& a, const QColor& b) {
    return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) +
           std::abs(a.blue() - b.blue());
  };
  QVERIFY2(distance(focused, highlight) < 16, qPrintable(focused.name()));
  QVERIFY(distance(focused, base) > 64);

  QTest::mouseClick(Child<QLineEdit>(form, "edtResizeWidth"), Qt::LeftButton);
  QVERIFY(!list->hasFocus());
  QVERIFY(entry->isSelected());
  const QColor unfocused = list->viewport()->grab().toImage().pixelColor(background);
  QCOMPARE(unfocused, base);
}

// Entries of one deep folder differ only at their end; a caption cut off at the right edge would
// show every one of them alike.
void MainFormTest::narrowListKeepsTheFileNamesReadable() {
  const std::filesystem::path folder =
      temp_->path() / "a folder with a long name" / "and another long one" / "RAW";
  const QStringList paths = {Native(folder / "IMG_0001.CR2"), Native(folder / "IMG_0002.CR2")};
  TfrmMain form;
  ShowAndActivate(form);
  form.resize(TfrmMain::kMinimumClientSize);
  auto* list = Child<QTreeWidget>(form, "lvwFiles");
  QTRY_COMPARE(list->width(), TfrmMain::kMinimumClientSize.width() - TfrmMain::kPanelWidth);
  form.AddFiles(paths);
  QVERIFY(list->fontMetrics().horizontalAdvance(paths.first()) > list->header()->sectionSize(0));

  const QImage drawn = list->viewport()->grab().toImage();
  const auto caption = [&](int row) {
    QRect area = list->visualItemRect(list->topLevelItem(row));
    area.setWidth(list->header()->sectionSize(0));
    return drawn.copy(area);
  };
  QVERIFY(caption(0) != caption(1));
  QCOMPARE(form.FileEntries(), paths);  // the entries keep their whole paths
}

void MainFormTest::outputFolderLabelAndTooltip() {
  const QString first = Native(temp_->path() / "out");
  const QString second = Native(temp_->path() / "other");
  QVERIFY(QDir().mkpath(first));
  QVERIFY(QDir().mkpath(second));
  TfrmMain form;
  ShowAndActivate(form);
  auto* label = Child<QLabel>(form, "lblOutFolder");

  QString title;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        title = browser.TitleLine();
        browser.SelectFolder(first);
        browser.accept();
      },
      [](const TFolderBrowser& browser) { return browser.IsReady(); });
  QTest::mouseClick(Child<QPushButton>(form, "sbnOutFolder"), Qt::LeftButton);
  QCOMPARE(title, QStringLiteral("Please select a folder for converted files"));
  QCOMPARE(form.OutputFolder(), first);
  QCOMPARE(label->text(), first);
  QCOMPARE(label->toolTip(), first);

  // The chooser opens at the folder chosen last; cancelling it keeps that folder.
  QString openedAt;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        openedAt = browser.SelectedFolder();
        browser.SelectFolder(second);
        browser.reject();
      },
      [](const TFolderBrowser& browser) { return browser.IsReady(); });
  QTest::mouseClick(Child<QPushButton>(form, "sbnOutFolder"), Qt::LeftButton);
  QCOMPARE(openedAt, first);
  QCOMPARE(form.OutputFolder(), first);
  QCOMPARE(label->text(), first);
  QCOMPARE(label->toolTip(), first);

  ChooseOutputFolder(form, second);
  QCOMPARE(form.OutputFolder(), second);
  QCOMPARE(label->toolTip(), second);
  QVERIFY(form.findChildren<TPathDialog*>().isEmpty());
}

void MainFormTest::longOutputFolderIsCutOffInTheLabel() {
  const QString deep =
      Native(temp_->path() / "a folder with a long name" / "and another long one" / "output");
  QVERIFY(QDir().mkpath(deep));
  TfrmMain form;
  ShowAndActivate(form);
  ChooseOutputFolder(form, deep);
  auto* label = Child<QLabel>(form, "lblOutFolder");
  QCOMPARE(label->text(), deep);
  QCOMPARE(label->toolTip(), deep);
  QCOMPARE(label->geometry(), QRect(18, 104, 145, 15));
  QVERIFY(label->fontMetrics().horizontalAdvance(deep) > 145);
}

void MainFormTest::convertNeedsFilesAndFolder_data() {
  QTest::addColumn<bool>("withFiles");
  QTest::addColumn<bool>("withFolder");
  QTest::addColumn<QString>("message");

  QTest::newRow("nothing chosen") << false << false << "The RAW files are not selected.";
  QTest::newRow("a folder but no files") << false << true << "The RAW files are not selected.";
  QTest::newRow("files but no folder") << true << false << "The output folder is not selected.";
}

void MainFormTest::convertNeedsFilesAndFolder() {
  QFETCH(bool, withFiles);
  QFETCH(bool, withFolder);
  QFETCH(QString, message);

  TfrmMain form;
  ShowAndActivate(form);
  if (withFiles) form.AddFiles({Native(temp_->path() / "a.cr2")});
  if (withFolder) ChooseOutputFolder(form, Native(temp_->path()));
  const auto callsBefore = sdk_->fake->Calls().size();

  MessageRecorder messages;
  QTest::mouseClick(Child<QPushButton>(form, "sbnConvert"), Qt::LeftButton);
  QCOMPARE(messages.Shown().size(), 1);
  const ShownMessage& shown = messages.Shown().first();
  QCOMPARE(shown.title, QStringLiteral("Information"));
  QCOMPARE(shown.text, message);
  QCOMPARE(shown.buttons, QStringList{"OK"});
  QCOMPARE(shown.icon, StandardIcon(QStyle::SP_MessageBoxInformation));
  QCOMPARE(sdk_->fake->Calls().size(), callsBefore);
}

void MainFormTest::fileDialogSetup() {
  TfrmMain form;
  QFileDialog* dialog = form.FileDialog();
  QCOMPARE(dialog->parent(), &form);
  QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFiles);
  QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptOpen);
  QCOMPARE(dialog->nameFilters(), (QStringList{"Canon RAW Files (*.cr2 *.CR2)", "All Files (*)"}));
  QCOMPARE(dialog->selectedNameFilter(), QStringLiteral("Canon RAW Files (*.cr2 *.CR2)"));
}

void MainFormTest::rawFilterMatchesUpperCaseNames_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<bool>("matches");
  QTest::newRow("as Canon cameras write it") << "IMG_0001.CR2" << true;
  QTest::newRow("renamed to lower case") << "img_0002.cr2" << true;
  QTest::newRow("not a CR2 file") << "IMG_0003.JPG" << false;
  QTest::newRow("CR2 in the middle of the name") << "IMG_0004.CR2.xmp" << false;
}

// The desktop's own file dialogs (GTK, the portal) match a filter's patterns case-sensitively,
// so the Canon filter has to name both spellings itself.
void MainFormTest::rawFilterMatchesUpperCaseNames() {
  QFETCH(QString, name);
  QFETCH(bool, matches);
  TfrmMain form;
  const QString filter = form.FileDialog()->nameFilters().first();
  const qsizetype open = filter.indexOf(u'(');
  const QStringList patterns =
      filter.mid(open + 1, filter.lastIndexOf(u')') - open - 1).split(u' ', Qt::SkipEmptyParts);
  bool matched = false;
  for (const QString& pattern : patterns) {
    matched |= QRegularExpression::fromWildcard(pattern, Qt::CaseSensitive).match(name).hasMatch();
  }
  QCOMPARE(matched, matches);
}

void MainFormTest::fileDialogRemembersAConfirmedUseOnly() {
  const QString second = Native(temp_->path() / "IMG_0002.CR2");
  const QString first = Native(temp_->path() / "IMG_0001.CR2");
  tarn::test::WriteFileBytes(temp_->path() / "IMG_0001.CR2", "raw");
  tarn::test::WriteFileBytes(temp_->path() / "IMG_0002.CR2", "raw");
  sdk_->fake->SetSize(second.toStdString(), 5184, 3456);
  sdk_->fake->SetSize(first.toStdString(), 3456, 5184);
  TfrmMain form;
  ShowAndActivate(form);
  QFileDialog* dialog = form.FileDialog();
  dialog->setOption(QFileDialog::DontUseNativeDialog);

  // Two files named in the order the user typed them.
  OnNextModal<QFileDialog>([&](QFileDialog& shown) {
    shown.setDirectory(Native(temp_->path()));
    shown.selectNameFilter(QStringLiteral("All Files (*)"));
    shown.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))
        ->setText(QStringLiteral("\"IMG_0002.CR2\" \"IMG_0001.CR2\""));
    static_cast<QDialog&>(shown).accept();
  });
  QTest::mouseClick(Child<QPushButton>(form, "sbnAddFiles"), Qt::LeftButton);
  QCOMPARE(form.FileEntries(), (QStringList{second, first}));
  QCOMPARE(SizeTexts(form), (QStringList{"5184x3456", "3456x5184"}));
  QCOMPARE(dialog->selectedNameFilter(), QStringLiteral("All Files (*)"));
  QCOMPARE(dialog->selectedFiles(), QStringList{second});

  // A cancelled use changes neither the filter nor the preset file.
  OnNextModal<QFileDialog>([&](QFileDialog& shown) {
    shown.selectNameFilter(QStringLiteral("Canon RAW Files (*.cr2 *.CR2)"));
    shown.setDirectory(QDir::rootPath());
    shown.reject();
  });
  QTest::mouseClick(Child<QPushButton>(form, "sbnAddFiles"), Qt::LeftButton);
  QCOMPARE(form.FileEntries().size(), 2);
  QCOMPARE(dialog->selectedNameFilter(), QStringLiteral("All Files (*)"));
  QCOMPARE(dialog->directory().absolutePath(), Native(temp_->path()));
  QCOMPARE(dialog->selectedFiles(), QStringList{second});
}

void MainFormTest::typedNamesAreAddedInTheOrderNamed_data() {
  QTest::addColumn<QString>("typed");          // "<dir>" stands for the dialog's folder
  QTest::addColumn<QStringList>("entries");    // file names, in list order
  QTest::addColumn<QStringList>("sizeTexts");  // the Size cells
  QTest::addColumn<QString>("errorDetails");   // the error box's second line; empty: no box

  // The folder holds eos-350d-small.cr2, canon-powershot-s40.crw and nikon-d1.nef; the "Canon
  // RAW Files" filter shows the first only.
  QTest::newRow("names the filter hides")
      << R"("eos-350d-small.cr2" "canon-powershot-s40.crw" "nikon-d1.nef")"
      << QStringList{"eos-350d-small.cr2", "canon-powershot-s40.crw", "nikon-d1.nef"}
      << QStringList{"3474x2314", "2272x1704", "2000x1312"} << "";
  QTest::newRow("the order named, not the folder's")
      << R"("nikon-d1.nef" "eos-350d-small.cr2")"
      << QStringList{"nikon-d1.nef", "eos-350d-small.cr2"} << QStringList{"2000x1312", "3474x2314"}
      << "";
  QTest::newRow("one name without quotes")
      << "canon-powershot-s40.crw" << QStringList{"canon-powershot-s40.crw"}
      << QStringList{"2272x1704"} << "";
  QTest::newRow("a full path") << "<dir>/nikon-d1.nef" << QStringList{"nikon-d1.nef"}
                               << QStringList{"2000x1312"} << "";
  // As for any file that cannot be read: the entry stays without a size, the files after it
  // are not added, and the error names it.
  QTest::newRow("a file that does not exist")
      << R"("eos-350d-small.cr2" "IMG_9999.CR2" "nikon-d1.nef")"
      << QStringList{"eos-350d-small.cr2", "IMG_9999.CR2"} << QStringList{"3474x2314", ""}
      << "<dir>/IMG_9999.CR2: file not found";
}

// The names typed into the file dialog and confirmed with Enter.
void MainFormTest::typedNamesAreAddedInTheOrderNamed() {
  QFETCH(QString, typed);
  QFETCH(QStringList, entries);
  QFETCH(QStringList, sizeTexts);
  QFETCH(QString, errorDetails);

  const QString folder = Native(temp_->path());
  const QList<std::pair<const char*, QSize>> files = {{"eos-350d-small.cr2", {3474, 2314}},
                                                      {"canon-powershot-s40.crw", {2272, 1704}},
                                                      {"nikon-d1.nef", {2000, 1312}}};
  for (const auto& [name, size] : files) {
    tarn::test::WriteFileBytes(temp_->path() / name, "raw");
    sdk_->fake->SetSize((temp_->path() / name).string(), size.width(), size.height());
  }
  sdk_->fake->FailPath((temp_->path() / "IMG_9999.CR2").string(), EDS_ERR_FILE_NOT_FOUND);
  typed.replace("<dir>", folder);
  errorDetails.replace("<dir>", folder);

  TfrmMain form;
  ShowAndActivate(form);
  form.FileDialog()->setOption(QFileDialog::DontUseNativeDialog);
  form.FileDialog()->setDirectory(folder);
  bool filterWasCanon = false;
  OnNextModal<QFileDialog>(
      [&](QFileDialog& shown) {
        filterWasCanon = shown.selectedNameFilter().startsWith(QStringLiteral("Canon RAW Files"));
        auto* name = shown.findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        // The names as the field holds them once typed (typing itself brings up the completion
        // list, whose timing is the folder reader's).
        name->setFocus();
        name->setText(typed);
        QTest::keyClick(name, Qt::Key_Return);
      },
      ActiveFileDialog);
  MessageRecorder messages;
  QTest::mouseClick(Child<QPushButton>(form, "sbnAddFiles"), Qt::LeftButton);
  QVERIFY(filterWasCanon);

  QStringList expected;
  for (const QString& name : entries) expected.append(folder + u'/' + name);
  QCOMPARE(form.FileEntries(), expected);
  QCOMPARE(SizeTexts(form), sizeTexts);
  if (errorDetails.isEmpty()) {
    QCOMPARE(messages.Shown().size(), 0);
  } else {
    QCOMPARE(messages.Shown().size(), 1);
    QCOMPARE(messages.Shown().first().text, QStringLiteral("EOS Error: 00000022."));
    QCOMPARE(messages.Shown().first().informativeText, errorDetails);
  }
  // The next use starts with the first file named.
  QCOMPARE(form.FileDialog()->selectedFiles(), QStringList{expected.first()});
}

TARN_APP_TEST_MAIN(MainFormTest)
#include "MainFormTest.moc"
