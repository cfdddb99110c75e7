#include "PathDialog.h"

#include <QCoreApplication>
#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSortFilterProxyModel>
#include <QStandardPaths>
#include <QTreeView>
#include <QVBoxLayout>

#include "Exception.h"
#include "MessageDialogs.h"

// Keeps the branch of the tree that leads to the root folder and everything below the root.
class TFolderTreeFilter : public QSortFilterProxyModel {
 public:
  TFolderTreeFilter(QFileSystemModel* folders, const QString& rootFolder, QObject* parent)
      : QSortFilterProxyModel(parent),
        folders_(folders),
        root_(rootFolder),
        rootPrefix_(WithSeparator(rootFolder)) {
    setSourceModel(folders);
  }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    if (root_ == QDir::rootPath()) return true;
    const QString path = folders_->filePath(folders_->index(row, 0, parent));
    return path == root_ || path.startsWith(rootPrefix_) ||
           rootPrefix_.startsWith(WithSeparator(path));
  }

 private:
  static QString WithSeparator(const QString& path) {
    return path.endsWith(u'/') ? path : path + u'/';
  }

  QFileSystemModel* folders_;
  QString root_;
  QString rootPrefix_;
};

// ---------------------------------------------------------------------------------------------
// TPathDialog

TPathDialog::TPathDialog(QObject* owner) : QObject(owner) {}

TPathDialog::~TPathDialog() = default;

QString TPathDialog::RootFolder(TRootItem root) {
  QString folder = QDir::rootPath();
  if (root == TRootItem::riDesktop) {
    folder = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  }
  return !folder.isEmpty() && QFileInfo(folder).isDir() ? QDir::cleanPath(folder) : QString();
}

bool TPathDialog::Execute() {
  const QString root = RootFolder(rootItem_);
  if (root.isEmpty()) return false;

  auto* ownerWidget = qobject_cast<QWidget*>(parent());
  QWidget* ownerWindow =
      ownerWidget != nullptr ? ownerWidget->window() : QApplication::activeWindow();
  TFolderBrowser browser(root, ownerWindow);
  browser.SetTitleLine(title_);
  browser.SetStatusVisible(showStatus_);
  connect(&browser, &TFolderBrowser::Ready, this, [this, &browser] { BrowserReady(&browser); });
  connect(&browser, &TFolderBrowser::SelectionChanged, this,
          [this](const QString& path) { BrowserSelectionChanged(path); });

  const auto closed = qScopeGuard([this] { dialogWindow_ = nullptr; });
  if (browser.exec() != QDialog::Accepted || browser.ChosenFolder().isEmpty()) return false;
  // Taken as the browser gives it, not through the setter.
  directory_ = browser.ChosenFolder();
  return true;
}

void TPathDialog::SetDirectory(const QString& directory) {
  if (directory.isEmpty()) {
    directory_ = QDir::currentPath();
  } else if (directory.size() > 1 && directory.endsWith(u'/')) {
    directory_ = directory.chopped(1);
  } else {
    directory_ = directory;
  }
  if (dialogWindow_ != nullptr && !directory_.isEmpty()) dialogWindow_->SelectFolder(directory_);
}

void TPathDialog::SetStatusText(const QString& text) {
  statusText_ = text;
  if (dialogWindow_ != nullptr && showStatus_) dialogWindow_->SetStatusLine(statusText_);
}

void TPathDialog::BrowserReady(TFolderBrowser* browser) {
  try {
    dialogWindow_ = browser;
    SetDirectory(directory_);
    SetStatusText(statusText_);
    if (onShow_) RunHandler([this] { onShow_(this); });
  } catch (...) {
    // Nothing may stop the browser from working on.
  }
}

void TPathDialog::BrowserSelectionChanged(const QString& path) {
  try {
    if (onSelect_) RunHandler([this, &path] { onSelect_(this, path); });
  } catch (...) {
  }
}

void TPathDialog::RunHandler(const std::function<void()>& handler) {
  try {
    handler();
  } catch (const Exception& error) {
    MessageDlg(QString::fromUtf8(error.what()), MsgKind::Plain, MsgButton::OK);
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------------
// TFolderBrowser

TFolderBrowser::TFolderBrowser(const QString& rootFolder, QWidget* parent)
    : QDialog(parent), rootFolder_(rootFolder) {
  setObjectName(QStringLiteral("FolderBrowser"));
  setWindowTitle(tr("Browse for Folder"));
  setSizeGripEnabled(true);
  resize(440, 480);

  folders_ = new QFileSystemModel(this);
  folders_->setFilter(QDir::Dirs | QDir::NoDotAndDotDot);
  folders_->setReadOnly(false);  // lets a new folder be named in place
  folders_->setRootPath(rootFolder_);
  filter_ = new TFolderTreeFilter(folders_, rootFolder_, this);

  lblTitle_ = new QLabel(this);
  lblTitle_->setObjectName(QStringLiteral("lblTitle"));
  lblTitle_->setTextFormat(Qt::PlainText);
  lblTitle_->setWordWrap(true);
  lblStatus_ = new QLabel(this);
  lblStatus_->setObjectName(QStringLiteral("lblStatus"));
  lblStatus_->setTextFormat(Qt::PlainText);
  lblStatus_->setWordWrap(true);
  lblStatus_->hide();

  tvwFolders_ = new QTreeView(this);
  tvwFolders_->setObjectName(QStringLiteral("tvwFolders"));
  tvwFolders_->setModel(filter_);
  tvwFolders_->setRootIndex(filter_->mapFromSource(folders_->index(rootFolder_).parent()));
  tvwFolders_->setHeaderHidden(true);
  for (int column = 1; column < folders_->columnCount(); ++column) {
    tvwFolders_->hideColumn(column);
  }
  tvwFolders_->setSelectionMode(QAbstractItemView::SingleSelection);
  tvwFolders_->setEditTriggers(QAbstractItemView::EditKeyPressed);
  tvwFolders_->setAnimated(false);
  connect(tvwFolders_->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { CurrentChanged(current); });
  // Folders load in the background: once the branch that holds the selected folder is read,
  // bring the selection into view again.
  connect(folders_, &QFileSystemModel::directoryLoaded, this, [this](const QString& loaded) {
    const QString selected = SelectedFolder();
    if (selected == loaded || selected.startsWith(loaded.endsWith(u'/') ? loaded : loaded + u'/')) {
      tvwFolders_->scrollTo(tvwFolders_->currentIndex(), QAbstractItemView::PositionAtCenter);
    }
  });
  // A new folder named in place changes the selected path.
  connect(folders_, &QFileSystemModel::fileRenamed, this,
          [this] { CurrentChanged(tvwFolders_->currentIndex()); });

  auto* folderLabel = new QLabel(tr("&Folder:"), this);
  edtFolder_ = new QLineEdit(this);
  edtFolder_->setObjectName(QStringLiteral("edtFolder"));
  folderLabel->setBuddy(edtFolder_);

  btnNewFolder_ = new QPushButton(tr("&New Folder"), this);
  btnNewFolder_->setObjectName(QStringLiteral("btnNewFolder"));
  btnNewFolder_->setAutoDefault(false);
  connect(btnNewFolder_, &QPushButton::clicked, this, &TFolderBrowser::CreateFolder);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  btnOK_ = buttons->button(QDialogButtonBox::Ok);
  btnOK_->setObjectName(QStringLiteral("btnOK"));
  btnOK_->setEnabled(false);
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("btnCancel"));
  connect(buttons, &QDialogButtonBox::accepted, this, &TFolderBrowser::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TFolderBrowser::reject);
  connect(edtFolder_, &QLineEdit::textChanged, this,
          [this] { btnOK_->setEnabled(!TypedOrSelectedFolder().isEmpty()); });

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(lblTitle_);
  layout->addWidget(lblStatus_);
  layout->addWidget(tvwFolders_, 1);
  auto* folderRow = new QHBoxLayout;
  folderRow->addWidget(folderLabel);
  folderRow->addWidget(edtFolder_, 1);
  layout->addLayout(folderRow);
  auto* buttonRow = new QHBoxLayout;
  buttonRow->addWidget(btnNewFolder_);
  buttonRow->addStretch(1);
  buttonRow->addWidget(buttons);
  layout->addLayout(buttonRow);

  tvwFolders_->setFocus(Qt::OtherFocusReason);
}

TFolderBrowser::~TFolderBrowser() = default;

void TFolderBrowser::SetTitleLine(const QString& text) {
  lblTitle_->setText(text);
}
QString TFolderBrowser::TitleLine() const {
  return lblTitle_->text();
}
void TFolderBrowser::SetStatusVisible(bool visible) {
  lblStatus_->setVisible(visible);
}
bool TFolderBrowser::StatusVisible() const {
  return !lblStatus_->isHidden();
}
void TFolderBrowser::SetStatusLine(const QString& text) {
  lblStatus_->setText(text);
}
QString TFolderBrowser::StatusLine() const {
  return lblStatus_->text();
}

void TFolderBrowser::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (readyQueued_) return;
  readyQueued_ = true;
  // Ready once the window is up and the first show has been handled.
  QMetaObject::invokeMethod(
      this,
      [this] {
        ready_ = true;
        Q_EMIT Ready();
      },
      Qt::QueuedConnection);
}

QModelIndex TFolderBrowser::SourceIndex(const QModelIndex& viewIndex) const {
  return filter_->mapToSource(viewIndex);
}

void TFolderBrowser::SelectFolder(const QString& path) {
  const QFileInfo info(path);
  if (!info.isDir()) return;
  const QModelIndex source = folders_->index(QDir::cleanPath(info.absoluteFilePath()));
  if (!source.isValid()) return;
  const QModelIndex item = filter_->mapFromSource(source);
  if (!item.isValid()) return;  // not below the root
  // Setting the current item runs the selection handler, which may open a message window whose
  // loop lets the folder model change: nothing may use the index afterwards.
  tvwFolders_->scrollTo(item, QAbstractItemView::PositionAtCenter);
  tvwFolders_->setCurrentIndex(item);
  ReportSelection();
}

void TFolderBrowser::ReportSelection() {
  QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
}

QString TFolderBrowser::SelectedFolder() const {
  const QModelIndex current = tvwFolders_->currentIndex();
  return current.isValid() ? folders_->filePath(SourceIndex(current)) : QString();
}

void TFolderBrowser::CurrentChanged(const QModelIndex& current) {
  const QString path = current.isValid() ? folders_->filePath(SourceIndex(current)) : QString();
  const QString name = QFileInfo(path).fileName();
  shownName_ = name.isEmpty() ? path : name;
  edtFolder_->setText(shownName_);
  btnOK_->setEnabled(!TypedOrSelectedFolder().isEmpty());
  // The tree may settle on a first item while it opens; only changes after that are reported.
  // Reported from the event loop, not from inside the selection model's own signal: a handler
  // may open a message window, and the folder model must not change under the selection model
  // while that is still mid-update.
  if (ready_) {
    QMetaObject::invokeMethod(
        this, [this, path] { Q_EMIT SelectionChanged(path); }, Qt::QueuedConnection);
  }
}

QString TFolderBrowser::TypedOrSelectedFolder() const {
  const QString typed = edtFolder_->text();
  const QString selected = SelectedFolder();
  if (typed.isEmpty() || typed == shownName_) return selected;
  QString folder = typed;
  if (folder == u'~' || folder.startsWith(QStringLiteral("~/"))) {
    folder = QDir::homePath() + folder.mid(1);
  }
  if (QDir::isRelativePath(folder)) {
    folder = (selected.isEmpty() ? rootFolder_ : selected) + u'/' + folder;
  }
  return QDir::cleanPath(folder);
}

void TFolderBrowser::accept() {
  ReportSelection();  // a change just before OK is reported while the browser is still open
  const QString folder = TypedOrSelectedFolder();
  if (folder.isEmpty()) return;
  if (!QFileInfo(folder).isDir()) {
    MessageDlg(tr("The folder \"%1\" does not exist.").arg(folder), MsgKind::Error, MsgButton::OK);
    edtFolder_->setFocus(Qt::OtherFocusReason);
    edtFolder_->selectAll();
    return;
  }
  chosen_ = folder;
  QDialog::accept();
}

void TFolderBrowser::CreateFolder() {
  QString parentFolder = SelectedFolder();
  if (parentFolder.isEmpty()) parentFolder = rootFolder_;
  const QDir parentDir(parentFolder);
  QString name = tr("New Folder");
  for (int n = 2; parentDir.exists(name); ++n) name = tr("New Folder (%1)").arg(n);

  const QModelIndex created = folders_->mkdir(folders_->index(parentFolder), name);
  if (!created.isValid()) {
    MessageDlg(tr("Cannot create a folder in \"%1\".").arg(parentFolder), MsgKind::Error,
               MsgButton::OK);
    return;
  }
  const QPersistentModelIndex item = filter_->mapFromSource(created);
  tvwFolders_->scrollTo(item);
  tvwFolders_->setCurrentIndex(item);
  if (item.isValid()) tvwFolders_->edit(item);
}
