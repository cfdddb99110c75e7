// The message dialogs (titles, icons, button order, default and Esc answers) and the top-level
// error display (the "." rule, the box, the message-loop guard).
#include <QLabel>
#include <QStyle>

#include "AppTestSupport.h"
#include "ErrorDisplay.h"
#include "Exception.h"

Q_DECLARE_METATYPE(MsgKind)
Q_DECLARE_METATYPE(MsgButtons)
Q_DECLARE_METATYPE(MsgAnswer)

namespace {

QImage StandardIcon(QStyle::StandardPixmap icon) {
  return QApplication::style()->standardIcon(icon).pixmap(32, 32).toImage();
}

// An object whose event handling raises, as a user command does when it fails.
class FailingReceiver : public QObject {
 public:
  explicit FailingReceiver(std::string message) : message_(std::move(message)) {}
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw EosError(0x2D);
    if (event->type() == QEvent::User + 1) throw Exception(message_);
    return QObject::event(event);
  }

 private:
  std::string message_;
};

}  // namespace

class MessageDialogsTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void dialogLooks_data();
  void dialogLooks();
  void answers_data();
  void answers();
  void answerHookReplacesTheDialog();
  void longMessageWrapsWithinHalfTheScreen();
  void errorDisplayText_data();
  void errorDisplayText();
  void errorBox();
  void errorBoxNamesTheFile_data();
  void errorBoxNamesTheFile();
  void boxIsWideEnoughForItsTitle_data();
  void boxIsWideEnoughForItsTitle();
  void escapingErrorIsShownAndTheLoopGoesOn();
};

void MessageDialogsTest::dialogLooks_data() {
  QTest::addColumn<MsgKind>("kind");
  QTest::addColumn<MsgButtons>("buttons");
  QTest::addColumn<QString>("title");
  QTest::addColumn<int>("icon");
  QTest::addColumn<QStringList>("captions");
  QTest::addColumn<QString>("defaultButton");

  const MsgButtons all =
      MsgButton::YesToAll | MsgButton::Cancel | MsgButton::OK | MsgButton::No | MsgButton::Yes;
  QTest::newRow("information") << MsgKind::Information << MsgButtons(MsgButton::OK) << "Information"
                               << int(QStyle::SP_MessageBoxInformation) << QStringList{"OK"}
                               << "OK";
  QTest::newRow("overwrite question")
      << MsgKind::Confirmation
      << (MsgButton::Cancel | MsgButton::YesToAll | MsgButton::No | MsgButton::Yes) << "Confirm"
      << int(QStyle::SP_MessageBoxQuestion) << QStringList{"&Yes", "&No", "Cancel", "Yes to &All"}
      << "&Yes";
  QTest::newRow("every button, fixed order")
      << MsgKind::Confirmation << all << "Confirm" << int(QStyle::SP_MessageBoxQuestion)
      << QStringList{"&Yes", "&No", "OK", "Cancel", "Yes to &All"} << "&Yes";
  QTest::newRow("error box") << MsgKind::Error << MsgButtons(MsgButton::OK)
                             << "Tarn RAW to DPX Converter" << int(QStyle::SP_MessageBoxCritical)
                             << QStringList{"OK"} << "OK";
  QTest::newRow("plain message window")
      << MsgKind::Plain << MsgButtons(MsgButton::OK) << "Tarn RAW to DPX Converter" << -1
      << QStringList{"OK"} << "OK";
}

void MessageDialogsTest::dialogLooks() {
  QFETCH(MsgKind, kind);
  QFETCH(MsgButtons, buttons);
  QFETCH(QString, title);
  QFETCH(int, icon);
  QFETCH(QStringList, captions);
  QFETCH(QString, defaultButton);

  MessageRecorder recorder(QStringLiteral("btnOK"));
  MessageDlg(QStringLiteral("The message."), kind, buttons);

  QCOMPARE(recorder.Shown().size(), 1);
  const ShownMessage& shown = recorder.Shown().first();
  QCOMPARE(shown.title, title);
  QCOMPARE(shown.text, QStringLiteral("The message."));
  QCOMPARE(shown.buttons, captions);
  QCOMPARE(shown.defaultButton, defaultButton);
  QVERIFY(shown.applicationModal);
  if (icon < 0) {
    QVERIFY(shown.icon.isNull());
  } else {
    QCOMPARE(shown.icon, StandardIcon(QStyle::StandardPixmap(icon)));
  }
}

void MessageDialogsTest::answers_data() {
  QTest::addColumn<MsgButtons>("buttons");
  QTest::addColumn<QString>("action");  // a button's object name, or a key
  QTest::addColumn<MsgAnswer>("answer");

  const MsgButtons overwrite =
      MsgButton::Yes | MsgButton::No | MsgButton::Cancel | MsgButton::YesToAll;
  QTest::newRow("Yes") << overwrite << "btnYes" << MsgAnswer::Yes;
  QTest::newRow("No") << overwrite << "btnNo" << MsgAnswer::No;
  QTest::newRow("Cancel") << overwrite << "btnCancel" << MsgAnswer::Cancel;
  QTest::newRow("Yes to All") << overwrite << "btnYesToAll" << MsgAnswer::YesToAll;
  QTest::newRow("Enter takes the default") << overwrite << "Enter" << MsgAnswer::Yes;
  QTest::newRow("Esc cancels") << overwrite << "Esc" << MsgAnswer::Cancel;
  QTest::newRow("close box cancels") << overwrite << "close" << MsgAnswer::Cancel;
  QTest::newRow("access key A") << overwrite << "A" << MsgAnswer::YesToAll;
  QTest::newRow("access key N with Alt") << overwrite << "Alt+N" << MsgAnswer::No;
  QTest::newRow("information: Esc answers OK")
      << MsgButtons(MsgButton::OK) << "Esc" << MsgAnswer::OK;
  QTest::newRow("information: close box")
      << MsgButtons(MsgButton::OK) << "close" << MsgAnswer::Cancel;
}

void MessageDialogsTest::answers() {
  QFETCH(MsgButtons, buttons);
  QFETCH(QString, action);
  QFETCH(MsgAnswer, answer);

  OnNextModal<TMessageDialog>([action](TMessageDialog& dialog) {
    if (action == "Enter") {
      QTest::keyClick(&dialog, Qt::Key_Return);
    } else if (action == "Esc") {
      QTest::keyClick(&dialog, Qt::Key_Escape);
    } else if (action == "close") {
      dialog.close();
    } else if (action == "A") {
      QTest::keyClick(&dialog, Qt::Key_A);
    } else if (action == "Alt+N") {
      QTest::keyClick(&dialog, Qt::Key_N, Qt::AltModifier);
    } else {
      dialog.findChild<QPushButton*>(action)->click();
    }
  });
  QCOMPARE(MessageDlg(QStringLiteral("Overwrite it?"), MsgKind::Confirmation, buttons), answer);
}

void MessageDialogsTest::answerHookReplacesTheDialog() {
  QList<MessageRequest> requests;
  {
    ScopedMessageAnswers answers([&](const MessageRequest& request) {
      requests.append(request);
      return MsgAnswer::No;
    });
    QCOMPARE(Confirm(QStringLiteral("Overwrite it?"), MsgButton::Yes | MsgButton::No),
             MsgAnswer::No);
    ShowInformation(QStringLiteral("Done"));
  }
  QCOMPARE(requests.size(), 2);
  QCOMPARE(requests[0].title, QStringLiteral("Confirm"));
  QCOMPARE(requests[0].text, QStringLiteral("Overwrite it?"));
  QCOMPARE(requests[1].title, QStringLiteral("Information"));
  QVERIFY(requests[1].buttons == MsgButtons(MsgButton::OK));

  // Without the hook the dialog is real again.
  MessageRecorder recorder;
  ShowInformation(QStringLiteral("Shown"));
  QCOMPARE(recorder.Shown().size(), 1);
}

void MessageDialogsTest::longMessageWrapsWithinHalfTheScreen() {
  const int halfScreen = QGuiApplication::primaryScreen()->availableGeometry().width() / 2;
  const QString words = QStringLiteral("The message is long. ").repeated(40);
  int width = 0;
  int lineHeight = 0;
  int height = 0;
  OnNextModal<TMessageDialog>([&](TMessageDialog& dialog) {
    const auto* label = dialog.findChild<QLabel*>(QStringLiteral("lblMessage"));
    width = label->width();
    height = label->height();
    lineHeight = label->fontMetrics().height();
    dialog.reject();
  });
  ShowInformation(words);
  QVERIFY2(width <= halfScreen, qPrintable(QString::number(width)));
  QVERIFY(height >= 3 * lineHeight);
}

void MessageDialogsTest::errorDisplayText_data() {
  QTest::addColumn<QString>("message");
  QTest::addColumn<QString>("shown");

  QTest::newRow("SDK error gets a dot") << "EOS Error: 00000022"
                                        << "EOS Error: 00000022.";
  QTest::newRow("hex letter gets a dot") << "EOS Error: 0000002D"
                                         << "EOS Error: 0000002D.";
  QTest::newRow("ends in a dot") << "Cannot create file."
                                 << "Cannot create file.";
  QTest::newRow("ends in a parenthesis") << "Failed (disk full)"
                                         << "Failed (disk full)";
  QTest::newRow("ends in a blank") << "Failed "
                                   << "Failed ";
  QTest::newRow("question mark is above the dot") << "Why?"
                                                  << "Why?.";
  QTest::newRow("slash, just above the dot") << "/tmp/"
                                             << "/tmp/.";
  QTest::newRow("minus, just below the dot") << "value -"
                                             << "value -";
  QTest::newRow("comma stays") << "a,"
                               << "a,";
  QTest::newRow("quote stays") << "Cannot open \"x\""
                               << "Cannot open \"x\"";
  QTest::newRow("non-ASCII letter")
      << QString::fromUtf8("Fehler: Datei ü") << QString::fromUtf8("Fehler: Datei ü.");
  QTest::newRow("empty stays empty") << ""
                                     << "";
}

void MessageDialogsTest::errorDisplayText() {
  QFETCH(QString, message);
  QFETCH(QString, shown);
  QCOMPARE(ErrorDisplayText(message), shown);
}

void MessageDialogsTest::errorBox() {
  MessageRecorder recorder;
  ShowErrorMessage(QStringLiteral("EOS Error: 00000022"));
  QCOMPARE(recorder.Shown().size(), 1);
  const ShownMessage& shown = recorder.Shown().first();
  QCOMPARE(shown.title, QStringLiteral("Tarn RAW to DPX Converter"));
  QCOMPARE(shown.text, QStringLiteral("EOS Error: 00000022."));
  QCOMPARE(shown.buttons, QStringList{"OK"});
  QCOMPARE(shown.icon, StandardIcon(QStyle::SP_MessageBoxCritical));
  QVERIFY(shown.applicationModal);
}

void MessageDialogsTest::errorBoxNamesTheFile_data() {
  QTest::addColumn<QString>("raised");  // "sdk" (with its code), "message" or "sdk twice"
  QTest::addColumn<QString>("file");    // the file named with the error; empty: none
  QTest::addColumn<QString>("text");
  QTest::addColumn<QString>("informative");

  QTest::newRow("SDK failure: the file and the reason in words")
      << "sdk"
      << "/raw/IMG_0042.CR2"
      << "EOS Error: 0000002C."
      << "/raw/IMG_0042.CR2: not a RAW file that can be read";
  QTest::newRow("a failure in words: the file alone")
      << "message"
      << "/raw/IMG_0043.CR2"
      << "Cannot create file \"/out/IMG_0043.dpx\". No space left on device."
      << "/raw/IMG_0043.CR2";
  QTest::newRow("the first file named stays")
      << "sdk twice"
      << "/raw/IMG_0044.CR2"
      << "EOS Error: 0000002C."
      << "/raw/IMG_0044.CR2: not a RAW file that can be read";
  QTest::newRow("no file: no second line") << "sdk"
                                           << ""
                                           << "EOS Error: 0000002C."
                                           << "";
}

void MessageDialogsTest::errorBoxNamesTheFile() {
  QFETCH(QString, raised);
  QFETCH(QString, file);
  QFETCH(QString, text);
  QFETCH(QString, informative);

  const auto fail = [&] {
    if (raised == "message") {
      throw Exception("Cannot create file \"/out/IMG_0043.dpx\". No space left on device");
    }
    throw EosError(0x2C);
  };
  // As a command names the file it was working on when an error passes.
  const auto raiseFor = [](const QString& path, const auto& work) {
    try {
      work();
    } catch (const Exception&) {
      RaiseForFile(path);
    }
  };
  MessageRecorder recorder;
  RunCommand([&] {
    if (file.isEmpty()) fail();
    if (raised == "sdk twice") {
      raiseFor(QStringLiteral("/raw/elsewhere.CR2"), [&] { raiseFor(file, fail); });
    }
    raiseFor(file, fail);
  });
  QCOMPARE(recorder.Shown().size(), 1);
  const ShownMessage& shown = recorder.Shown().first();
  QCOMPARE(shown.text, text);
  QCOMPARE(shown.informativeText, informative);
  QCOMPARE(shown.title, QStringLiteral("Tarn RAW to DPX Converter"));
  QCOMPARE(shown.buttons, QStringList{"OK"});
}

void MessageDialogsTest::boxIsWideEnoughForItsTitle_data() {
  QTest::addColumn<MsgKind>("kind");
  QTest::addColumn<QString>("text");
  QTest::newRow("error box, short message") << MsgKind::Error << "EOS Error: 0000002C.";
  QTest::newRow("information, short message") << MsgKind::Information << "Done.";
  QTest::newRow("error box, empty message") << MsgKind::Error << "";
}

// Window managers shorten a title that does not fit beside the frame's buttons ("Tarn R...
// verter"); a title bar's face is bold and its buttons take about 100 pixels.
void MessageDialogsTest::boxIsWideEnoughForItsTitle() {
  QFETCH(MsgKind, kind);
  QFETCH(QString, text);
  MessageRecorder recorder;
  MessageDlg(text, kind, MsgButton::OK);
  QCOMPARE(recorder.Shown().size(), 1);
  const ShownMessage& shown = recorder.Shown().first();
  QFont bold = QApplication::font();
  bold.setBold(true);
  const int titleWidth = QFontMetrics(bold).horizontalAdvance(shown.title);
  QVERIFY2(
      shown.size.width() >= titleWidth + 100,
      qPrintable(QStringLiteral("%1 for a title %2 wide").arg(shown.size.width()).arg(titleWidth)));
}

void MessageDialogsTest::escapingErrorIsShownAndTheLoopGoesOn() {
  FailingReceiver receiver("Cannot create file \"/out/a.dpx\". Permission denied");
  MessageRecorder recorder;
  QEvent sdkFailure(QEvent::User);
  QEvent writeFailure(QEvent::Type(QEvent::User + 1));
  QCOMPARE(QApplication::sendEvent(&receiver, &sdkFailure), false);
  // Posted events are owned by the queue.
  QApplication::postEvent(&receiver,
                          std::make_unique<QEvent>(QEvent::Type(QEvent::User + 1)).release());
  QCoreApplication::processEvents();
  QCOMPARE(QApplication::sendEvent(&receiver, &writeFailure), false);

  QCOMPARE(recorder.Shown().size(), 3);
  QCOMPARE(recorder.Shown()[0].text, QStringLiteral("EOS Error: 0000002D."));
  QCOMPARE(recorder.Shown()[1].text,
           QStringLiteral("Cannot create file \"/out/a.dpx\". Permission denied."));
  QCOMPARE(recorder.Shown()[2].title, QStringLiteral("Tarn RAW to DPX Converter"));
}

TARN_APP_TEST_MAIN(MessageDialogsTest)
#include "MessageDialogsTest.moc"
