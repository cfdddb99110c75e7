// The main window's file list: a report view with "File Name" and "Size" columns that shows its
// selection only while it has the keyboard focus, and takes files and folders dropped on it.
#pragma once

#include <QStringList>
#include <QTreeWidget>

class TFileListView : public QTreeWidget {
  Q_OBJECT
 public:
  static constexpr int kSizeColumnWidth = 100;

  explicit TFileListView(QWidget* parent = nullptr);

 Q_SIGNALS:
  // Local files and folders dropped on the list, in the order the drag carried them.
  void PathsDropped(const QStringList& paths);

 protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void ShowSelection(bool visible);
};
