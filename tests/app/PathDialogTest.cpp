// The folder chooser: its setters, Execute with the browser, the show and selection events and
// what happens to errors raised by their handlers.
#include <QDir>
#include <QLineEdit>
#include <QTreeView>
#include <stdexcept>

#include "AppTestSupport.h"
#include "Exception.h"
#include "PathDialog.h"
#include "TestPaths.h"

using tarn::test::TempDir;

namespace {

bool IsReady(const TFolderBrowser& browser) {
  return browser.IsReady();
}

QString Native(const std::filesystem::path& path) {
  return QString::fromStdString(path.string());
}

// While alive, rejects every folder browser that comes up and counts them.
class BrowserRejecter {
 public:
  BrowserRejecter() {
    timer_->setInterval(5);
    QObject::connect(timer_.get(), &QTimer::timeout, timer_.get(), [this] {
      if (auto* browser = qobject_cast<TFolderBrowser*>(QApplication::activeModalWidget())) {
        ++rejected;
        browser->reject();
      }
    });
    timer_->start();
  }
  int rejected = 0;

 private:
  std::unique_ptr<QTimer> timer_ = std::make_unique<QTimer>();
};

// Sets an environment variable for the lifetime of the object.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const QByteArray& value)
      : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
    qputenv(name, value);
  }
  ~ScopedEnvironment() {
    if (had_) {
      qputenv(name_, old_);
    } else {
      qunsetenv(name_);
    }
  }

 private:
  const char* name_;
  bool had_;
  QByteArray old_;
};

}  // namespace

class PathDialogTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();
  void defaults();
  void directorySetter_data();
  void directorySetter();
  void statusTextIsOnlyStoredWhileClosed();
  void executeConfirms_data();
  void executeConfirms();
  void cancelKeepsTheNormalisedDirectory_data();
  void cancelKeepsTheNormalisedDirectory();
  void typedFolderThatDoesNotExistKeepsTheBrowserOpen();
  void showAndSelectEvents();
  void settersFollowedWhileOpen_data();
  void settersFollowedWhileOpen();
  void handlerErrors_data();
  void handlerErrors();
  void myComputerRootIsTheFileSystemRoot();
  void desktopRoot();
  void missingDesktopShowsNothing();
  void newFolder();
  void browserBelongsToTheOwnersWindow();

 private:
  std::unique_ptr<TempDir> temp_;
  QString out_;  // <temp>/out with the sub-folders "a", "b" and "day 1"
};

void PathDialogTest::init() {
  temp_ = std::make_unique<TempDir>();
  out_ = Native(temp_->path() / "out");
  for (const char* sub : {"a", "b", "day 1"}) QVERIFY(QDir().mkpath(out_ + "/" + sub));
}

void PathDialogTest::cleanup() {
  temp_.reset();
}

void PathDialogTest::defaults() {
  const TPathDialog chooser;
  QCOMPARE(chooser.Title(), QString());
  QCOMPARE(chooser.Directory(), QString());
  QCOMPARE(chooser.ShowStatus(), false);
  QCOMPARE(chooser.StatusText(), QString());
  QVERIFY(chooser.RootItem() == TRootItem::riMyComputer);
  QCOMPARE(chooser.Tag(), 0);
  QVERIFY(!chooser.OnShow());
  QVERIFY(!chooser.OnSelect());
  QVERIFY(chooser.DialogWindow() == nullptr);
}

void PathDialogTest::directorySetter_data() {
  QTest::addColumn<QString>("value");
  QTest::addColumn<QString>("stored");

  QTest::newRow("one trailing separator is dropped") << "/photos/"
                                                     << "/photos";
  QTest::newRow("two trailing separators keep one") << "/photos//"
                                                    << "/photos/";
  QTest::newRow("the root stays the root") << "/"
                                           << "/";
  QTest::newRow("a doubled root becomes the root") << "//"
                                                   << "/";
  QTest::newRow("a plain path is kept") << "/photos/day 1"
                                        << "/photos/day 1";
  QTest::newRow("a relative path is kept") << "raw"
                                           << "raw";
  QTest::newRow("empty means the current folder") << "" << QDir::currentPath();
}

void PathDialogTest::directorySetter() {
  QFETCH(QString, value);
  QFETCH(QString, stored);
  TPathDialog chooser;
  chooser.SetDirectory(value);
  QCOMPARE(chooser.Directory(), stored);
}

void PathDialogTest::statusTextIsOnlyStoredWhileClosed() {
  TPathDialog chooser;
  chooser.SetShowStatus(true);
  chooser.SetStatusText(QStringLiteral("Pick one"));
  QCOMPARE(chooser.StatusText(), QStringLiteral("Pick one"));
  QVERIFY(chooser.DialogWindow() == nullptr);
}

void PathDialogTest::executeConfirms_data() {
  QTest::addColumn<QString>("start");   // Directory before Execute, relative to out
  QTest::addColumn<QString>("select");  // folder selected in the tree, "" for none
  QTest::addColumn<QString>("typed");   // text typed into the folder field, "" for none
  QTest::addColumn<QString>("chosen");  // Directory afterwards; "<out>" stands for out

  QTest::newRow("the start folder as it opens") << "<out>"
                                                << ""
                                                << ""
                                                << "<out>";
  QTest::newRow("a folder selected in the tree") << "<out>"
                                                 << "<out>/a"
                                                 << ""
                                                 << "<out>/a";
  QTest::newRow("a full path typed") << "<out>"
                                     << ""
                                     << "<out>/day 1"
                                     << "<out>/day 1";
  QTest::newRow("a name typed below the selection") << "<out>"
                                                    << "<out>/b"
                                                    << "day 1"
                                                    << "<out>/b/day 1";
  QTest::newRow("a name typed below the start folder") << "<out>/"
                                                       << ""
                                                       << "../out/b"
                                                       << "<out>/b";
  QTest::newRow("the root keeps its separator") << "<out>"
                                                << "/"
                                                << ""
                                                << "/";
}

void PathDialogTest::executeConfirms() {
  QFETCH(QString, start);
  QFETCH(QString, select);
  QFETCH(QString, typed);
  QFETCH(QString, chosen);
  start.replace("<out>", out_);
  select.replace("<out>", out_);
  typed.replace("<out>", out_);
  chosen.replace("<out>", out_);
  QVERIFY(QDir().mkpath(out_ + "/b/day 1"));

  TPathDialog chooser;
  chooser.SetDirectory(start);
  QString openedAt;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        openedAt = browser.SelectedFolder();
        if (!select.isEmpty()) browser.SelectFolder(select);
        if (!typed.isEmpty()) browser.findChild<QLineEdit*>("edtFolder")->setText(typed);
        browser.accept();
      },
      IsReady);
  QVERIFY(chooser.Execute());
  QCOMPARE(openedAt, out_);
  QCOMPARE(chooser.Directory(), chosen);
  QVERIFY(chooser.DialogWindow() == nullptr);
}

void PathDialogTest::cancelKeepsTheNormalisedDirectory_data() {
  QTest::addColumn<QString>("start");
  QTest::addColumn<QString>("after");

  QTest::newRow("never set: opens at the current folder") << "<unset>" << QDir::currentPath();
  QTest::newRow("set empty: opens at the current folder") << "" << QDir::currentPath();
  QTest::newRow("trailing separator") << "<out>/"
                                      << "<out>";
}

void PathDialogTest::cancelKeepsTheNormalisedDirectory() {
  QFETCH(QString, start);
  QFETCH(QString, after);
  start.replace("<out>", out_);
  after.replace("<out>", out_);

  TPathDialog chooser;
  if (start != "<unset>") chooser.SetDirectory(start);
  QString openedAt;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        openedAt = browser.SelectedFolder();
        browser.SelectFolder(out_ + "/a");
        browser.reject();
      },
      IsReady);
  QVERIFY(!chooser.Execute());
  QCOMPARE(openedAt, after);
  QCOMPARE(chooser.Directory(), after);
}

void PathDialogTest::typedFolderThatDoesNotExistKeepsTheBrowserOpen() {
  TPathDialog chooser;
  chooser.SetDirectory(out_);
  MessageRecorder messages;
  bool stayedOpen = false;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        browser.findChild<QLineEdit*>("edtFolder")->setText(out_ + "/missing");
        browser.accept();
        stayedOpen = browser.isVisible();
        browser.reject();
      },
      IsReady);
  QVERIFY(!chooser.Execute());
  QVERIFY(stayedOpen);
  QCOMPARE(messages.Shown().size(), 1);
  QCOMPARE(messages.Shown().first().text,
           QStringLiteral("The folder \"%1/missing\" does not exist.").arg(out_));
  QCOMPARE(chooser.Directory(), out_);
}

void PathDialogTest::showAndSelectEvents() {
  TPathDialog chooser;
  chooser.SetTitle(QStringLiteral("Please select a folder"));
  chooser.SetDirectory(out_);
  chooser.SetShowStatus(true);
  chooser.SetStatusText(QStringLiteral("Ready"));
  QStringList events;
  QObject* shownSender = nullptr;
  QString selectedWhenShown;
  QString statusWhenShown;
  chooser.SetOnShow([&](QObject* sender) {
    shownSender = sender;
    events.append(QStringLiteral("show"));
    selectedWhenShown = chooser.DialogWindow()->SelectedFolder();
    statusWhenShown = chooser.DialogWindow()->StatusLine();
  });
  chooser.SetOnSelect([&](QObject* sender, const QString& path) {
    QCOMPARE(sender, &chooser);
    events.append("select " + path);
  });
  QString title;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        title = browser.TitleLine();
        browser.SelectFolder(out_ + "/a");
        browser.SelectFolder(out_ + "/b");
        browser.accept();
      },
      IsReady);
  QVERIFY(chooser.Execute());

  QCOMPARE(title, QStringLiteral("Please select a folder"));
  QCOMPARE(shownSender, &chooser);
  QCOMPARE(selectedWhenShown, out_);
  QCOMPARE(statusWhenShown, QStringLiteral("Ready"));
  QCOMPARE(events, (QStringList{"select " + out_, "show", "select " + out_ + "/a",
                                "select " + out_ + "/b"}));
  QCOMPARE(chooser.Directory(), out_ + "/b");
}

void PathDialogTest::settersFollowedWhileOpen_data() {
  QTest::addColumn<bool>("showStatus");
  QTest::newRow("status line shown") << true;
  QTest::newRow("status line off") << false;
}

void PathDialogTest::settersFollowedWhileOpen() {
  QFETCH(bool, showStatus);
  TPathDialog chooser;
  chooser.SetShowStatus(showStatus);
  chooser.SetOnShow([&](QObject*) {
    chooser.SetDirectory(out_ + "/b/");
    chooser.SetStatusText(QStringLiteral("Pick one"));
  });
  QString selected;
  QString status;
  bool statusVisible = false;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        selected = browser.SelectedFolder();
        status = browser.StatusLine();
        statusVisible = browser.StatusVisible();
        browser.reject();
      },
      IsReady);
  QVERIFY(!chooser.Execute());
  QCOMPARE(selected, out_ + "/b");
  QCOMPARE(statusVisible, showStatus);
  QCOMPARE(status, showStatus ? QStringLiteral("Pick one") : QString());
  QCOMPARE(chooser.StatusText(), QStringLiteral("Pick one"));
}

void PathDialogTest::handlerErrors_data() {
  QTest::addColumn<QString>("handler");
  QTest::addColumn<bool>("generalError");

  QTest::newRow("OnShow raises the general error") << "show" << true;
  QTest::newRow("OnShow raises another error") << "show" << false;
  QTest::newRow("OnSelect raises the general error") << "select" << true;
  QTest::newRow("OnSelect raises another error") << "select" << false;
}

void PathDialogTest::handlerErrors() {
  QFETCH(QString, handler);
  QFETCH(bool, generalError);

  TPathDialog chooser;
  chooser.SetDirectory(out_);
  int calls = 0;
  const auto fail = [&] {
    ++calls;
    if (generalError) throw Exception("No access to the folder");
    throw std::runtime_error("dropped");
  };
  if (handler == "show") {
    chooser.SetOnShow([&](QObject*) { fail(); });
  } else {
    chooser.SetOnSelect([&](QObject*, const QString&) { fail(); });
  }
  MessageRecorder messages;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        // The browser works on after every failing call.
        browser.SelectFolder(out_ + "/a");
        browser.SelectFolder(out_ + "/b");
        browser.accept();
      },
      IsReady);
  QVERIFY(chooser.Execute());
  QCOMPARE(chooser.Directory(), out_ + "/b");

  QCOMPARE(calls, handler == "show" ? 1 : 3);
  QCOMPARE(messages.Shown().size(), generalError ? calls : 0);
  for (const ShownMessage& shown : messages.Shown()) {
    QCOMPARE(shown.title, QStringLiteral("Tarn RAW to DPX Converter"));
    QCOMPARE(shown.text, QStringLiteral("No access to the folder"));
    QVERIFY(shown.icon.isNull());
    QCOMPARE(shown.buttons, QStringList{"OK"});
  }
}

void PathDialogTest::myComputerRootIsTheFileSystemRoot() {
  TPathDialog chooser;
  QStringList topItems;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        const auto* tree = browser.findChild<QTreeView*>("tvwFolders");
        const QAbstractItemModel* model = tree->model();
        for (int row = 0; row < model->rowCount(tree->rootIndex()); ++row) {
          topItems.append(model->index(row, 0, tree->rootIndex()).data().toString());
        }
        browser.reject();
      },
      IsReady);
  QVERIFY(!chooser.Execute());
  QCOMPARE(topItems, QStringList{"/"});
}

void PathDialogTest::desktopRoot() {
  const QString home = Native(temp_->path());
  QVERIFY(QDir().mkpath(home + "/Desktop/shots"));
  QVERIFY(QDir().mkpath(home + "/Documents"));
  ScopedEnvironment homeVariable("HOME", home.toLocal8Bit());
  ScopedEnvironment config("XDG_CONFIG_HOME", (home + "/config").toLocal8Bit());

  TPathDialog chooser;
  chooser.SetRootItem(TRootItem::riDesktop);
  chooser.SetDirectory(home + "/Documents");  // outside the tree: nothing is selected
  QStringList topItems;
  QString openedAt;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        const auto* tree = browser.findChild<QTreeView*>("tvwFolders");
        const QAbstractItemModel* model = tree->model();
        for (int row = 0; row < model->rowCount(tree->rootIndex()); ++row) {
          topItems.append(model->index(row, 0, tree->rootIndex()).data().toString());
        }
        openedAt = browser.SelectedFolder();
        browser.SelectFolder(home + "/Desktop/shots");
        browser.accept();
      },
      IsReady);
  QVERIFY(chooser.Execute());
  QCOMPARE(topItems, QStringList{"Desktop"});
  QVERIFY(openedAt != home + "/Documents");
  QCOMPARE(chooser.Directory(), home + "/Desktop/shots");
}

void PathDialogTest::missingDesktopShowsNothing() {
  const QString home = Native(temp_->path());
  ScopedEnvironment homeVariable("HOME", home.toLocal8Bit());
  ScopedEnvironment config("XDG_CONFIG_HOME", (home + "/config").toLocal8Bit());

  TPathDialog chooser;
  chooser.SetRootItem(TRootItem::riDesktop);
  chooser.SetDirectory(out_);
  bool shown = false;
  chooser.SetOnShow([&](QObject*) { shown = true; });
  BrowserRejecter rejecter;
  QVERIFY(!chooser.Execute());
  QVERIFY(!shown);
  QCOMPARE(rejecter.rejected, 0);
  QCOMPARE(chooser.Directory(), out_);
}

void PathDialogTest::newFolder() {
  TPathDialog chooser;
  chooser.SetDirectory(out_);
  bool editing = false;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        browser.findChild<QPushButton*>("btnNewFolder")->click();
        auto* tree = browser.findChild<QTreeView*>("tvwFolders");
        const auto* editor = tree->findChild<QLineEdit*>();
        editing = editor != nullptr && editor->isVisible() && editor->text() == "New Folder";
        tree->setFocus();  // ends the naming with the name proposed
        browser.accept();
      },
      IsReady);
  QVERIFY(chooser.Execute());
  QVERIFY(editing);
  QCOMPARE(chooser.Directory(), out_ + "/New Folder");
  QVERIFY(QFileInfo(out_ + "/New Folder").isDir());
}

void PathDialogTest::browserBelongsToTheOwnersWindow() {
  QWidget window;
  QWidget child(&window);
  TPathDialog chooser(&child);
  QWidget* parent = nullptr;
  OnNextModal<TFolderBrowser>(
      [&](TFolderBrowser& browser) {
        parent = browser.parentWidget();
        browser.reject();
      },
      IsReady);
  QVERIFY(!chooser.Execute());
  QCOMPARE(parent, &window);
}

TARN_APP_TEST_MAIN(PathDialogTest)
#include "PathDialogTest.moc"
