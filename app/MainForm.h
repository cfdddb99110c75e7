// The main window: the list of RAW files with their pixel sizes, the output folder, the resize
// and colour options, and the commands Add RAW Files, Choose Output Folder, Convert and About.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>
#include <cstdint>

#include "BatchRun.h"
#include "ColourOptionsDialog.h"
#include "OutputOptionsDialog.h"
#include "RawToDpx.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class TFileListView;
class TRawFileDialog;

class TfrmMain : public QWidget {
  Q_OBJECT
 public:
  // Client area at 96 dpi (outer 870 x 554 with the frame), and its minimum (outer 400 x 430).
  static constexpr QSize kInitialClientSize{854, 516};
  static constexpr QSize kMinimumClientSize{384, 392};
  static constexpr int kPanelWidth = 185;
  static constexpr int kAboutBottomGap = 14;

  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  // The folder that converted files go to, as the folder chooser returned it; "" until chosen.
  const QString& OutputFolder() const { return outputFolder_; }

  // The list's entries (full paths), in list order.
  QStringList FileEntries() const;

  // Appends one entry per file, in this order, each with its pixel size read once now. A file
  // whose size cannot be read stays in the list without a size, the files after it are not
  // added, and the SDK error is raised.
  void AddFiles(const QStringList& paths);
  // As AddFiles; a folder stands for the RAW files directly inside it, sorted by name.
  void AddPaths(const QStringList& paths);

  // The open-file dialog of Add RAW Files; it lives as long as the window.
  QFileDialog* FileDialog() const;

  // How many conversions Convert runs at once; 0 (the default) lets the largest listed picture
  // decide: one per core, fewer when the memory would not hold that many.
  void SetConversionJobs(int jobs) { conversionJobs_ = jobs; }

  // The output format and naming Convert uses; the default writes DPX files named after the
  // RAW files. Changed by the Output Options dialog.
  const TOutputChoice& OutputChoice() const { return outputChoice_; }
  void SetOutputChoice(const TOutputChoice& choice) { outputChoice_ = choice; }

  // White balance, exposure and highlights of the next runs; changed by the Colour Options
  // dialog, as shot, 0 stops and clipped until then.
  const TColourChoice& ColourChoice() const { return colourChoice_; }

  // What Convert takes from the window when it is pressed: the resize fields, the colour space
  // and the colour choice.
  TConvertOptions CaptureConvertOptions() const;

 protected:
  // FormKeyDown: the Alt key alone does nothing when the window itself has the focus.
  void keyPressEvent(QKeyEvent* event) override;
  // During a batch run the window stays until the run has ended; see sbnConvertClick.
  void closeEvent(QCloseEvent* event) override;
  // The size fields' digit filter and the side panel's bottom-anchored About button.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void CreateControls();
  void sbnAddFilesClick();
  void sbnOutFolderClick();
  bool edtResizeWidthKeyPress(const QKeyEvent& event) const;
  void edtResizeWidthChange(QLineEdit* sender);
  void sbnConvertClick();
  std::int64_t LargestListedPixelCount() const;
  OverwriteAnswer AskOverwrite(const QString& outputPath);
  void sbnAboutClick();
  void sbnOutputOptionsClick();
  void sbnColourOptionsClick();
  // Output paths and headers of the listed files for a non-default output choice.
  void PlanOutputs(const std::vector<std::string>& inputs, BatchSettings& settings) const;
  void miDeleteClick();
  void miClearClick();
  void lvwFilesContextMenu(const QPoint& position);

  QString outputFolder_;
  int conversionJobs_ = 0;
  TOutputChoice outputChoice_;
  TColourChoice colourChoice_;
  bool batchRunning_ = false;
  // The window was asked to close while a batch ran: it closes when the run has ended.
  bool closeRequested_ = false;
  // The first file of the last confirmed Add RAW Files selection.
  QString presetFile_;

  TFileListView* lvwFiles_ = nullptr;
  QWidget* Panel1_ = nullptr;
  QPushButton* sbnAddFiles_ = nullptr;
  QPushButton* sbnOutFolder_ = nullptr;
  QLabel* lblOutFolder_ = nullptr;
  QCheckBox* cbxResizeImages_ = nullptr;
  QLineEdit* edtResizeWidth_ = nullptr;
  QLabel* Label3_ = nullptr;
  QLineEdit* edtResizeHeight_ = nullptr;
  QLabel* Label1_ = nullptr;
  QComboBox* cbxColorSpace_ = nullptr;
  QPushButton* sbnConvert_ = nullptr;
  QPushButton* sbnAbout_ = nullptr;
  QPushButton* sbnOutputOptions_ = nullptr;
  QPushButton* sbnColourOptions_ = nullptr;
  QMenu* pmnFiles_ = nullptr;
  QAction* miDelete_ = nullptr;
  QAction* miClear_ = nullptr;
  TRawFileDialog* odgFiles_ = nullptr;
};
