// The folder chooser: a reusable component that lets the user pick one folder in a modal folder
// browser, with a title line, an optional status line, a start folder and selection events.
#pragma once

#include <QDialog>
#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>

class QFileSystemModel;
class QLabel;
class QLineEdit;
class QModelIndex;
class QPushButton;
class QTreeView;
class TFolderTreeFilter;

// The top item of the browser's tree.
enum class TRootItem : std::uint8_t {
  riMyComputer,  // the file-system root, "/"
  riDesktop,     // the user's Desktop folder
};

class TFolderBrowser;

class TPathDialog : public QObject {
  Q_OBJECT
 public:
  using TNotifyEvent = std::function<void(QObject* sender)>;
  using TSelectEvent = std::function<void(QObject* sender, const QString& path)>;

  // The owner frees the component; a widget owner also parents the browser window.
  explicit TPathDialog(QObject* owner = nullptr);
  ~TPathDialog() override;

  // Shows the browser modally. True when the user confirmed a folder; Directory then holds its
  // path as the browser gives it ("/" for the root, no trailing "/" otherwise). False when the
  // root folder does not exist (nothing is shown) or the user cancelled.
  bool Execute();

  const QString& Title() const { return title_; }
  void SetTitle(const QString& title) { title_ = title; }

  // The setter drops one trailing "/" (the root "/" stays), turns "" into the current folder,
  // and makes an open browser select the folder at once.
  const QString& Directory() const { return directory_; }
  void SetDirectory(const QString& directory);

  bool ShowStatus() const { return showStatus_; }
  void SetShowStatus(bool show) { showStatus_ = show; }

  // Shown at once by an open browser when ShowStatus is set.
  const QString& StatusText() const { return statusText_; }
  void SetStatusText(const QString& text);

  TRootItem RootItem() const { return rootItem_; }
  void SetRootItem(TRootItem root) { rootItem_ = root; }

  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  // Called once per Execute when the browser is ready, after it has selected Directory and
  // shown the status text.
  const TNotifyEvent& OnShow() const { return onShow_; }
  void SetOnShow(TNotifyEvent handler) { onShow_ = std::move(handler); }

  // Called at every change of the browser's selection with the selected folder's path.
  const TSelectEvent& OnSelect() const { return onSelect_; }
  void SetOnSelect(TSelectEvent handler) { onSelect_ = std::move(handler); }

  // The browser while Execute shows it and it has reported that it is ready; else null.
  TFolderBrowser* DialogWindow() const { return dialogWindow_; }

  // The folder that stands for a root item, or "" when it does not exist.
  static QString RootFolder(TRootItem root);

 private:
  void BrowserReady(TFolderBrowser* browser);
  void BrowserSelectionChanged(const QString& path);
  // Runs an event handler. The general error is shown in a plain message window, anything else
  // is dropped: the browser must stay usable whatever a handler does.
  void RunHandler(const std::function<void()>& handler);

  QPointer<TFolderBrowser> dialogWindow_;
  QString title_;
  QString directory_;
  bool showStatus_ = false;
  QString statusText_;
  TRootItem rootItem_ = TRootItem::riMyComputer;
  int tag_ = 0;
  TNotifyEvent onShow_;
  TSelectEvent onSelect_;
};

// The modal folder browser that TPathDialog shows: a tree of the folders below a root, a title
// line above it, an optional status line, an edit field that names the selected folder and
// accepts a typed one, "New Folder", OK and Cancel. Resizable.
class TFolderBrowser : public QDialog {
  Q_OBJECT
 public:
  TFolderBrowser(const QString& rootFolder, QWidget* parent);
  ~TFolderBrowser() override;

  void SetTitleLine(const QString& text);
  QString TitleLine() const;
  void SetStatusVisible(bool visible);
  bool StatusVisible() const;
  void SetStatusLine(const QString& text);
  QString StatusLine() const;

  // Selects an existing folder inside the tree, unfolding the branches above it; anything else
  // changes nothing.
  void SelectFolder(const QString& path);
  // The selected folder's path, "" when nothing is selected.
  QString SelectedFolder() const;
  const QString& RootFolder() const { return rootFolder_; }
  // After the dialog was accepted: the folder that was confirmed.
  const QString& ChosenFolder() const { return chosen_; }
  // True once the browser has reported that it is ready.
  bool IsReady() const { return ready_; }

 public Q_SLOTS:
  void accept() override;
  // Creates a new folder in the selected one and lets the user name it.
  void CreateFolder();

 Q_SIGNALS:
  void Ready();
  void SelectionChanged(const QString& path);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QModelIndex SourceIndex(const QModelIndex& viewIndex) const;
  void CurrentChanged(const QModelIndex& current);
  // Delivers selection reports still queued, now that no model signal is under way.
  void ReportSelection();
  // The folder that the edit field names: the selected one unless the user typed another.
  QString TypedOrSelectedFolder() const;

  QString rootFolder_;
  QString chosen_;
  QString shownName_;
  bool ready_ = false;
  bool readyQueued_ = false;
  QFileSystemModel* folders_ = nullptr;
  TFolderTreeFilter* filter_ = nullptr;
  QLabel* lblTitle_ = nullptr;
  QLabel* lblStatus_ = nullptr;
  QTreeView* tvwFolders_ = nullptr;
  QLineEdit* edtFolder_ = nullptr;
  QPushButton* btnNewFolder_ = nullptr;
  QPushButton* btnOK_ = nullptr;
};
