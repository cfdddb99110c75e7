#include "MainForm.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScopeGuard>
#include <QStyle>
#include <algorithm>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "About.h"
#include "ErrorDisplay.h"
#include "FileListView.h"
#include "MessageDialogs.h"
#include "PathDialog.h"
#include "ProdInfo.h"
#include "ProgressPanel.h"
#include "RawFileDialog.h"
#include "RawFiles.h"
#include "SequencePlan.h"

namespace {

constexpr int kMaxSizeDigits = 5;
const QPoint kInitialPosition{261, 145};

// A one-line label whose text, when wider than the label, ends in an ellipsis at its right
// edge; text() keeps the whole text.
class TElidedLabel : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect area = contentsRect();
    const QString shown = fontMetrics().elidedText(text(), Qt::ElideRight, area.width());
    style()->drawItemText(&painter, area, Qt::AlignLeft | Qt::AlignVCenter, palette(), isEnabled(),
                          shown, foregroundRole());
  }
};

std::string LocalPath(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

// A key press that types a character, as opposed to moving the caret, deleting forward, moving
// the focus or an editing command (copy, paste, ...), which the size fields handle as usual.
bool TypesCharacter(const QKeyEvent& event) {
  if (event.text().isEmpty()) return false;
  switch (event.key()) {
    case Qt::Key_Delete:
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      return false;
    default:
      break;
  }
  for (const QKeySequence::StandardKey command :
       {QKeySequence::Copy, QKeySequence::Cut, QKeySequence::Paste, QKeySequence::SelectAll,
        QKeySequence::Undo, QKeySequence::Redo}) {
    if (event.matches(command)) return false;
  }
  return true;
}

// Carries the batch engine's callbacks, which come on the run's own thread, over to the window's
// thread: a question waits there for its answer, a finished entry is only announced.
class TWindowBatchObserver : public BatchObserver {
 public:
  using Ask = std::function<OverwriteAnswer(const QString& outputPath)>;
  using Finished = std::function<void()>;

  TWindowBatchObserver(QObject* windowThread, Ask ask, Finished finished)
      : windowThread_(windowThread), ask_(std::move(ask)), finished_(std::move(finished)) {}

  OverwriteAnswer AskOverwrite(std::size_t, const std::string& outputPath) override {
    const QString path = QFile::decodeName(QByteArray::fromStdString(outputPath));
    OverwriteAnswer answer = OverwriteAnswer::Cancel;
    QMetaObject::invokeMethod(
        windowThread_, [&] { answer = ask_(path); }, Qt::BlockingQueuedConnection);
    return answer;
  }

  void EntryFinished(std::size_t, EntryOutcome, const BatchFailure*) override {
    QMetaObject::invokeMethod(windowThread_, finished_, Qt::QueuedConnection);
  }

 private:
  QObject* windowThread_;
  Ask ask_;
  Finished finished_;
};

// The error that ends a run: the first failure in list order, as the conversion raised it, with
// the file it is about.
[[noreturn]] void RaiseFailure(const BatchFailure& failure) {
  const QString input = QFile::decodeName(QByteArray::fromStdString(failure.input));
  try {
    if (failure.code != 0) throw EosError(failure.code);
    throw Exception(failure.message);
  } catch (const Exception&) {
    RaiseForFile(input);
  }
}

}  // namespace

TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(tr("Tarn RAW to DPX Converter"));
  // Arial at a character height of 12 pixels; fontconfig maps it to a metric-compatible face.
  QFont font(QStringLiteral("Arial"));
  font.setPixelSize(12);
  setFont(font);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);

  CreateControls();

  setMinimumSize(kMinimumClientSize);
  resize(kInitialClientSize);
  move(kInitialPosition);

  // The list has the focus when the window opens.
  lvwFiles_->setFocus(Qt::OtherFocusReason);
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::CreateControls() {
  lvwFiles_ = new TFileListView(this);
  lvwFiles_->setObjectName(QStringLiteral("lvwFiles"));
  lvwFiles_->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lvwFiles_, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& position) { lvwFilesContextMenu(position); });
  connect(lvwFiles_, &TFileListView::PathsDropped, this, [this](const QStringList& paths) {
    if (batchRunning_) return;  // the list stays as it is while a batch runs
    RunCommand([&] { AddPaths(paths); });
  });

  Panel1_ = new QWidget(this);
  Panel1_->setObjectName(QStringLiteral("Panel1"));
  Panel1_->setFixedWidth(kPanelWidth);
  Panel1_->setFocusPolicy(Qt::NoFocus);
  Panel1_->installEventFilter(this);

  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(lvwFiles_, 1);
  layout->addWidget(Panel1_);

  const auto button = [this](const char* name, const QString& caption, const QRect& geometry) {
    auto* created = new QPushButton(caption, Panel1_);
    created->setObjectName(QLatin1String(name));
    created->setGeometry(geometry);
    created->setFocusPolicy(Qt::NoFocus);
    return created;
  };
  const auto label = [this](const char* name, const QString& caption, const QRect& geometry) {
    auto* created = new QLabel(caption, Panel1_);
    created->setObjectName(QLatin1String(name));
    created->setGeometry(geometry);
    return created;
  };

  sbnAddFiles_ = button("sbnAddFiles", tr("Add RAW Files..."), {18, 24, 150, 28});
  connect(sbnAddFiles_, &QPushButton::clicked, this,
          [this] { RunCommand([this] { sbnAddFilesClick(); }); });

  sbnOutFolder_ = button("sbnOutFolder", tr("Choose Output Folder..."), {18, 72, 150, 28});
  connect(sbnOutFolder_, &QPushButton::clicked, this,
          [this] { RunCommand([this] { sbnOutFolderClick(); }); });

  lblOutFolder_ = new TElidedLabel(tr("Select an output folder"), Panel1_);
  lblOutFolder_->setObjectName(QStringLiteral("lblOutFolder"));
  lblOutFolder_->setGeometry(18, 104, 145, 15);
  lblOutFolder_->setTextFormat(Qt::PlainText);

  cbxResizeImages_ = new QCheckBox(tr("Resize Images to"), Panel1_);
  cbxResizeImages_->setObjectName(QStringLiteral("cbxResizeImages"));
  cbxResizeImages_->setGeometry(18, 142, 129, 17);
  cbxResizeImages_->setFocusPolicy(Qt::ClickFocus);

  const auto sizeField = [this](const char* name, const QString& text, const QRect& geometry) {
    auto* field = new QLineEdit(text, Panel1_);
    field->setObjectName(QLatin1String(name));
    field->setGeometry(geometry);
    field->setMaxLength(kMaxSizeDigits);
    field->setFocusPolicy(Qt::ClickFocus);
    field->installEventFilter(this);
    connect(field, &QLineEdit::textChanged, this, [this, field] { edtResizeWidthChange(field); });
    return field;
  };
  edtResizeWidth_ = sizeField("edtResizeWidth", QStringLiteral("1920"), {18, 163, 57, 23});
  Label3_ = label("Label3", QStringLiteral("x"), {90, 165, 5, 15});
  edtResizeHeight_ = sizeField("edtResizeHeight", QStringLiteral("1080"), {111, 163, 57, 23});

  Label1_ = label("Label1", tr("Color Space of DPX files"), {18, 212, 134, 15});
  cbxColorSpace_ = new QComboBox(Panel1_);
  cbxColorSpace_->setObjectName(QStringLiteral("cbxColorSpace"));
  cbxColorSpace_->setGeometry(19, 229, 150, 23);
  // Listed in the order of their ids, so that the index is the id.
  for (std::uint8_t id = 0; id < kColorSpaceCount; ++id) {
    cbxColorSpace_->addItem(QString::fromUtf8(ColorSpaceNames(id).caption));
  }
  cbxColorSpace_->setCurrentIndex(0);
  cbxColorSpace_->setFocusPolicy(Qt::ClickFocus);

  sbnConvert_ = button("sbnConvert", tr("Convert"), {18, 296, 150, 28});
  connect(sbnConvert_, &QPushButton::clicked, this, [this] {
    RunCommand([this] { sbnConvertClick(); });
    // A close asked for during the run happens now that the run, and its error box, are over.
    if (closeRequested_ && !batchRunning_) {
      closeRequested_ = false;
      close();
    }
  });

  // One row in the gap between the colour space and Convert: below Convert the About button
  // climbs to y 350 at the window's minimum size and would cover them. The short captions fit
  // half the column; the tooltips and accessible names carry the full ones.
  const auto optionsButton = [&button](const char* name, const QString& caption,
                                       const QString& toolTip, const QString& accessibleName,
                                       int left) {
    auto* created = button(name, caption, {left, 262, 73, 26});
    created->setToolTip(toolTip);
    created->setAccessibleName(accessibleName);
    return created;
  };
  sbnOutputOptions_ = optionsButton("sbnOutputOptions", tr("Output..."), tr("Output Options"),
                                    tr("Output Options..."), 18);
  connect(sbnOutputOptions_, &QPushButton::clicked, this,
          [this] { RunCommand([this] { sbnOutputOptionsClick(); }); });

  sbnColourOptions_ = optionsButton("sbnColourOptions", tr("Colour..."), tr("Colour Options"),
                                    tr("Colour Options..."), 95);
  connect(sbnColourOptions_, &QPushButton::clicked, this,
          [this] { RunCommand([this] { sbnColourOptionsClick(); }); });

  // Kept kAboutBottomGap above the panel's bottom edge by eventFilter.
  sbnAbout_ = button("sbnAbout", tr("About..."), {18, 474, 150, 28});
  connect(sbnAbout_, &QPushButton::clicked, this,
          [this] { RunCommand([this] { sbnAboutClick(); }); });

  pmnFiles_ = new QMenu(this);
  pmnFiles_->setObjectName(QStringLiteral("pmnFiles"));
  pmnFiles_->setAttribute(Qt::WA_WindowPropagation);  // the window's font
  miDelete_ = pmnFiles_->addAction(tr("Delete from List"));
  miDelete_->setObjectName(QStringLiteral("miDelete"));
  miDelete_->setShortcut(QKeySequence(Qt::Key_Delete));
  // Only while the list has the focus: in the size fields Delete edits the text.
  miDelete_->setShortcutContext(Qt::WidgetShortcut);
  lvwFiles_->addAction(miDelete_);
  connect(miDelete_, &QAction::triggered, this,
          [this] { RunCommand([this] { miDeleteClick(); }); });
  miClear_ = pmnFiles_->addAction(tr("Clear List"));
  miClear_->setObjectName(QStringLiteral("miClear"));
  connect(miClear_, &QAction::triggered, this, [this] { RunCommand([this] { miClearClick(); }); });

  odgFiles_ = new TRawFileDialog(this);
  odgFiles_->setObjectName(QStringLiteral("odgFiles"));
  odgFiles_->setAcceptMode(QFileDialog::AcceptOpen);
  odgFiles_->setFileMode(QFileDialog::ExistingFiles);
  // Canon cameras name their files in upper case; on a case-sensitive file system "*.cr2"
  // alone would hide every one of them.
  odgFiles_->setNameFilters({tr("Canon RAW Files (*.cr2 *.CR2)"), tr("All Files (*)")});
  odgFiles_->selectNameFilter(odgFiles_->nameFilters().first());
}

QFileDialog* TfrmMain::FileDialog() const {
  return odgFiles_;
}

QStringList TfrmMain::FileEntries() const {
  QStringList entries;
  for (int i = 0; i < lvwFiles_->topLevelItemCount(); ++i) {
    entries.append(lvwFiles_->topLevelItem(i)->text(0));
  }
  return entries;
}

void TfrmMain::AddFiles(const QStringList& paths) {
  if (paths.isEmpty()) return;
  lvwFiles_->setUpdatesEnabled(false);
  const auto resumeRedraw = qScopeGuard([this] { lvwFiles_->setUpdatesEnabled(true); });
  for (const QString& path : paths) {
    const QString fullPath = QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
    // The list owns its items.
    auto* entry = new QTreeWidgetItem(lvwFiles_, QStringList{fullPath});
    TRawImageSize size;
    try {
      size = GetRawImageSize(LocalPath(fullPath));
    } catch (const Exception&) {
      RaiseForFile(fullPath);
    }
    entry->setText(1, QStringLiteral("%1x%2").arg(size.Width).arg(size.Height));
  }
}

void TfrmMain::AddPaths(const QStringList& paths) {
  for (const QString& path : paths) {
    if (!QFileInfo(path).isDir()) {
      AddFiles({path});
      continue;
    }
    QStringList files;
    for (const std::string& file : RawFilesInFolder(LocalPath(path))) {
      files.append(QFile::decodeName(QByteArray::fromStdString(file)));
    }
    AddFiles(files);
  }
}

void TfrmMain::sbnAddFilesClick() {
  if (batchRunning_) return;
  const QDir previousFolder = odgFiles_->directory();
  const QString previousFilter = odgFiles_->selectedNameFilter();
  if (odgFiles_->exec() != QDialog::Accepted) {
    // A cancelled use changes neither the filter nor the preset file.
    odgFiles_->setDirectory(previousFolder);
    odgFiles_->selectNameFilter(previousFilter);
    if (!presetFile_.isEmpty()) odgFiles_->selectFile(presetFile_);
    return;
  }
  const QStringList files = odgFiles_->ChosenFiles();
  if (files.isEmpty()) return;
  presetFile_ = files.first();
  odgFiles_->selectFile(presetFile_);
  AddFiles(files);
}

void TfrmMain::sbnOutFolderClick() {
  const auto chooser = std::make_unique<TPathDialog>(this);
  chooser->SetTitle(tr("Please select a folder for converted files"));
  if (!outputFolder_.isEmpty()) chooser->SetDirectory(outputFolder_);
  if (!chooser->Execute()) return;
  const QString folder = chooser->Directory();
  lblOutFolder_->setText(folder);
  lblOutFolder_->setToolTip(folder);
  outputFolder_ = folder;
}

bool TfrmMain::edtResizeWidthKeyPress(const QKeyEvent& event) const {
  if (!TypesCharacter(event)) return true;
  static const QString kAllowed = QStringLiteral("1234567890\b");
  return event.text().size() == 1 && kAllowed.contains(event.text().at(0));
}

void TfrmMain::edtResizeWidthChange(QLineEdit* sender) {
  // Setting "0" comes back here once more and then finds the field filled.
  if (sender->text().isEmpty()) sender->setText(QStringLiteral("0"));
}

void TfrmMain::sbnConvertClick() {
  if (batchRunning_) return;
  if (lvwFiles_->topLevelItemCount() == 0) {
    ShowInformation(tr("The RAW files are not selected."));
    return;
  }
  if (outputFolder_.isEmpty()) {
    ShowInformation(tr("The output folder is not selected."));
    return;
  }

  const QStringList entries = FileEntries();
  std::vector<std::string> inputs;
  inputs.reserve(entries.size());
  for (const QString& entry : entries) inputs.push_back(LocalPath(entry));
  BatchSettings settings;
  settings.outputFolder = LocalPath(outputFolder_);
  settings.options = CaptureConvertOptions();
  settings.jobs = conversionJobs_ > 0 ? conversionJobs_ : SuggestedJobs(LargestListedPixelCount());
  settings.overwriteAll = false;
  settings.keepGoing = false;
  if (!outputChoice_.IsDefault()) PlanOutputs(inputs, settings);

  // The list, the commands and a close request wait until the overlay is gone again.
  batchRunning_ = true;
  const auto idle = qScopeGuard([this] { batchRunning_ = false; });
  TProgressPanel panel(this);
  BatchRun run(std::move(inputs), settings);

  // The conversions run on the engine's workers and the engine itself on a thread of its own,
  // so that this thread keeps the window painted and sees Cancel at once. Whatever the engine
  // reports reaches this thread through windowThread, in the order it was sent.
  QObject windowThread;
  connect(&panel, &TProgressPanel::CancelClicked, &windowThread, [&run] { run.RequestCancel(); });
  const int count = static_cast<int>(entries.size());
  int finished = 0;
  TWindowBatchObserver observer(
      &windowThread, [this](const QString& outputPath) { return AskOverwrite(outputPath); },
      [&] {
        ++finished;
        // The bar shows what is done; the overlay goes before it would reach 100.
        if (!panel.SetProgress(std::min(finished, count - 1) * 100 / count)) run.RequestCancel();
      });
  panel.SetProgress(0);

  BatchResult result;
  std::exception_ptr engineError;
  bool ended = false;
  std::thread engine([&] {
    try {
      result = run.Run(observer);
    } catch (...) {
      engineError = std::current_exception();
    }
    QMetaObject::invokeMethod(
        &windowThread, [&ended] { ended = true; }, Qt::QueuedConnection);
  });
  // Not a QEventLoop: once the application has been asked to quit, a new event loop would end
  // at once, and the run has to end first.
  while (!ended) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  engine.join();

  if (engineError) std::rethrow_exception(engineError);
  if (!result.failures.empty()) RaiseFailure(result.failures.front());
}

void TfrmMain::PlanOutputs(const std::vector<std::string>& inputs, BatchSettings& settings) const {
  SequenceSettings sequence;
  sequence.output.format = outputChoice_.format;
  if (outputChoice_.usePattern) {
    sequence.pattern = outputChoice_.pattern.toStdString();
    sequence.start = outputChoice_.start;
  }
  // Numbered in list order; raises, naming the file, when a name cannot be made.
  const SequencePlan plan = PlanSequence(inputs, settings.outputFolder, sequence);
  const std::vector<NameClash> clashes = FindNameClashes(plan.frames);
  if (!clashes.empty()) {
    std::string message = "Two files would be written to one output file; nothing was converted.";
    for (const NameClash& clash : clashes) {
      message += "\n" + clash.second + " and " + clash.first + ": " + clash.output;
    }
    throw Exception(message);
  }
  settings.output = sequence.output;
  for (const PlannedFrame& frame : plan.frames) {
    settings.outputPaths.push_back(frame.output);
    settings.frames.push_back(frame.info);
  }
}

void TfrmMain::sbnOutputOptionsClick() {
  TOutputOptionsDialog dialog(outputChoice_, this);
  if (dialog.exec() == QDialog::Accepted) outputChoice_ = dialog.Choice();
}

void TfrmMain::sbnColourOptionsClick() {
  TColourOptionsDialog dialog(colourChoice_, this);
  // A reference frame is usually one of the frames to convert.
  const QStringList entries = FileEntries();
  if (!entries.isEmpty()) dialog.SetReferenceFolder(QFileInfo(entries.first()).absolutePath());
  if (dialog.exec() == QDialog::Accepted) colourChoice_ = dialog.Choice();
}

TConvertOptions TfrmMain::CaptureConvertOptions() const {
  TConvertOptions options;
  options.Resize = cbxResizeImages_->isChecked();
  // Text that is no decimal number reads as 0, and a 0 switches resizing off.
  options.Width = edtResizeWidth_->text().toInt();
  options.Height = edtResizeHeight_->text().toInt();
  if (options.Width == 0 || options.Height == 0) options.Resize = false;
  options.ColorSpace = static_cast<std::uint8_t>(cbxColorSpace_->currentIndex());
  colourChoice_.ApplyTo(options);
  return options;
}

std::int64_t TfrmMain::LargestListedPixelCount() const {
  std::int64_t largest = 0;
  for (int i = 0; i < lvwFiles_->topLevelItemCount(); ++i) {
    // "<width>x<height>", empty when the size could not be read.
    const QStringList size = lvwFiles_->topLevelItem(i)->text(1).split(u'x');
    if (size.size() != 2) continue;
    largest = std::max<std::int64_t>(largest, size[0].toLongLong() * size[1].toLongLong());
  }
  return largest;
}

OverwriteAnswer TfrmMain::AskOverwrite(const QString& outputPath) {
  // The window has been asked to close: the run ends here, without a question.
  if (closeRequested_) return OverwriteAnswer::Cancel;
  const MsgAnswer answer =
      Confirm(tr("The ") + outputPath + tr(" file is already exist. Overwrite it?"),
              MsgButton::Yes | MsgButton::No | MsgButton::Cancel | MsgButton::YesToAll);
  switch (answer) {
    case MsgAnswer::Yes:
      return OverwriteAnswer::Yes;
    case MsgAnswer::No:
      return OverwriteAnswer::No;
    case MsgAnswer::YesToAll:
      return OverwriteAnswer::YesToAll;
    case MsgAnswer::OK:
    case MsgAnswer::Cancel:
      break;
  }
  return OverwriteAnswer::Cancel;
}

void TfrmMain::sbnAboutClick() {
  ShowAboutBox(ProductInfo);
}

void TfrmMain::miDeleteClick() {
  if (batchRunning_) return;
  const QList<QTreeWidgetItem*> selected = lvwFiles_->selectedItems();
  if (selected.isEmpty()) return;
  std::unique_ptr<QTreeWidgetItem> removed(
      lvwFiles_->takeTopLevelItem(lvwFiles_->indexOfTopLevelItem(selected.first())));
  // The view moves the selection to a neighbour of the removed entry; left there, every further
  // Delete would remove one more entry that the user never chose.
  lvwFiles_->selectionModel()->clear();
}

void TfrmMain::miClearClick() {
  if (batchRunning_) return;
  lvwFiles_->clear();
}

void TfrmMain::lvwFilesContextMenu(const QPoint& position) {
  if (batchRunning_) return;
  pmnFiles_->popup(lvwFiles_->viewport()->mapToGlobal(position));
}

void TfrmMain::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Alt) {
    event->accept();
    return;
  }
  QWidget::keyPressEvent(event);
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (batchRunning_) {
    // The run goes on; a question it still has is answered Cancel, and the window closes when
    // the run has ended.
    closeRequested_ = true;
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress &&
      (watched == edtResizeWidth_ || watched == edtResizeHeight_)) {
    return !edtResizeWidthKeyPress(*static_cast<QKeyEvent*>(event));
  }
  if (event->type() == QEvent::Resize && watched == Panel1_) {
    sbnAbout_->move(sbnAbout_->x(), Panel1_->height() - kAboutBottomGap - sbnAbout_->height());
  }
  return QWidget::eventFilter(watched, event);
}
