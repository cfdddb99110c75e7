#include "FileListView.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QUrl>

namespace {

QStringList LocalPaths(const QMimeData* data) {
  QStringList paths;
  if (data == nullptr || !data->hasUrls()) return paths;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) paths.append(url.toLocalFile());
  }
  return paths;
}

}  // namespace

TFileListView::TFileListView(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(2);
  setHeaderLabels({tr("File Name"), tr("Size")});
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSortingEnabled(false);
  setFrameShape(QFrame::NoFrame);
  setFocusPolicy(Qt::StrongFocus);
  // In a narrow list the file name, at the end of the path, is what tells entries apart.
  setTextElideMode(Qt::ElideMiddle);

  // "File Name" always takes what "Size" leaves of the list's width.
  QHeaderView* columns = header();
  columns->setStretchLastSection(false);
  columns->setSectionsClickable(false);
  columns->setSectionsMovable(false);
  columns->setSectionResizeMode(0, QHeaderView::Stretch);
  columns->setSectionResizeMode(1, QHeaderView::Fixed);
  columns->resizeSection(1, kSizeColumnWidth);

  setAcceptDrops(true);
  viewport()->setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  setDropIndicatorShown(false);

  ShowSelection(false);
}

void TFileListView::focusInEvent(QFocusEvent* event) {
  ShowSelection(true);
  QTreeWidget::focusInEvent(event);
}

void TFileListView::focusOutEvent(QFocusEvent* event) {
  ShowSelection(false);
  QTreeWidget::focusOutEvent(event);
}

void TFileListView::changeEvent(QEvent* event) {
  // A new style or palette brings its own highlight colours; hide them again when unfocused.
  QTreeWidget::changeEvent(event);
  if (event->type() == QEvent::StyleChange) ShowSelection(hasFocus());
}

// Without the focus, the selected row is drawn like every other row.
void TFileListView::ShowSelection(bool visible) {
  QPalette colours = palette();
  const QPalette defaults = QApplication::palette(this);
  for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    if (visible) {
      colours.setColor(group, QPalette::Highlight, defaults.color(group, QPalette::Highlight));
      colours.setColor(group, QPalette::HighlightedText,
                       defaults.color(group, QPalette::HighlightedText));
    } else {
      colours.setColor(group, QPalette::Highlight, colours.color(group, QPalette::Base));
      colours.setColor(group, QPalette::HighlightedText, colours.color(group, QPalette::Text));
    }
  }
  setPalette(colours);
}

void TFileListView::dragEnterEvent(QDragEnterEvent* event) {
  if (LocalPaths(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TFileListView::dragMoveEvent(QDragMoveEvent* event) {
  if (LocalPaths(event->mimeData()).isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
}

void TFileListView::dropEvent(QDropEvent* event) {
  const QStringList paths = LocalPaths(event->mimeData());
  if (paths.isEmpty()) {
    event->ignore();
    return;
  }
  event->setDropAction(Qt::CopyAction);
  event->accept();
  Q_EMIT PathsDropped(paths);
}
