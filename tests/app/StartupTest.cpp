// The program's start-up and shutdown order: product information, DPX format and SDK before the
// main window; the window gone before the SDK is terminated, the format removed and the product
// information released; exit code 0; options ignored.
#include <QTest>
#include <QTimer>

#include "Application.h"
#include "DpxImagePlugin.h"
#include "MainForm.h"
#include "ProdInfo.h"
#include "edsdk/EDSDKErrors.h"
#include "edsdk/EdsBackend.h"

namespace {

// What the program had reached at one step.
struct Snapshot {
  QString step;
  QString productName;
  bool dpxRegistered = false;
  bool applicationExists = false;
  QString applicationTitle;
  int mainWindows = 0;
  bool mainWindowVisible = false;
  QStringList arguments;
  QList<QSize> iconSizes;
  TProductInfo product;
};

Snapshot Take(const QString& step) {
  Snapshot snapshot;
  snapshot.step = step;
  snapshot.productName = ProductInfo.ProductName;
  snapshot.product = ProductInfo;
  snapshot.dpxRegistered = IsDpxFormatRegistered();
  snapshot.applicationExists = qApp != nullptr;
  if (qApp != nullptr) {
    snapshot.applicationTitle = QGuiApplication::applicationDisplayName();
    snapshot.arguments = QCoreApplication::arguments();
    snapshot.iconSizes = QApplication::windowIcon().availableSizes();
    for (QWidget* window : QApplication::topLevelWidgets()) {
      if (auto* form = qobject_cast<TfrmMain*>(window)) {
        ++snapshot.mainWindows;
        snapshot.mainWindowVisible = form->isVisible();
      }
    }
  }
  return snapshot;
}

// An SDK that notes what the program had reached when it was initialised and terminated. Once
// initialised, it has the main window closed as soon as the message loop runs.
class RecordingSdk final : public EdsBackend {
 public:
  explicit RecordingSdk(EdsError initializeResult) : initializeResult_(initializeResult) {}

  QList<Snapshot> steps;

  EdsError InitializeSDK() override {
    steps.append(Take("initialize SDK"));
    QTimer::singleShot(0, [this] {
      steps.append(Take("message loop"));
      for (QWidget* window : QApplication::topLevelWidgets()) {
        if (qobject_cast<TfrmMain*>(window) != nullptr) window->close();
      }
    });
    return initializeResult_;
  }
  EdsError TerminateSDK() override {
    steps.append(Take("terminate SDK"));
    return EDS_ERR_INTERNAL_ERROR;  // not examined
  }
  EdsError CreateFileStream(const char*, EdsFileCreateDisposition, EdsAccess,
                            EdsStreamRef*) override {
    return EDS_ERR_NOT_SUPPORTED;
  }
  EdsError CreateImageRef(EdsStreamRef, EdsImageRef*) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsError SetPropertyData(EdsBaseRef, EdsPropertyID, EdsInt32, EdsUInt32, const void*) override {
    return EDS_ERR_NOT_SUPPORTED;
  }
  EdsError GetImageInfo(EdsImageRef, EdsImageSource, EdsImageInfo*) override {
    return EDS_ERR_NOT_SUPPORTED;
  }
  EdsError CreateMemoryStream(EdsUInt64, EdsStreamRef*) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsError GetImage(EdsImageRef, EdsImageSource, EdsTargetImageType, EdsRect, EdsSize,
                    EdsStreamRef) override {
    return EDS_ERR_NOT_SUPPORTED;
  }
  EdsError GetPointer(EdsStreamRef, void**) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsError GetLength(EdsStreamRef, EdsUInt64*) override { return EDS_ERR_NOT_SUPPORTED; }
  EdsUInt32 Release(EdsBaseRef) override { return 0; }

 private:
  EdsError initializeResult_;
};

const QString kProduct = QStringLiteral("Tarn RAW to DPX Converter");

}  // namespace

class StartupTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void startAndShutdown_data();
  void startAndShutdown();
};

void StartupTest::startAndShutdown_data() {
  QTest::addColumn<QStringList>("arguments");
  QTest::addColumn<unsigned>("initializeResult");

  QTest::newRow("plain start") << QStringList{"tarn-raw2dpx"} << 0u;
  QTest::newRow("options are ignored")
      << QStringList{"tarn-raw2dpx", "-style", "bogus", "--help", "-reverse"} << 0u;
  QTest::newRow("failing SDK initialisation")
      << QStringList{"tarn-raw2dpx"} << unsigned(EDS_ERR_INTERNAL_ERROR);
}

void StartupTest::startAndShutdown() {
  QFETCH(QStringList, arguments);
  QFETCH(unsigned, initializeResult);

  auto sdk = std::make_shared<RecordingSdk>(initializeResult);
  SetEdsBackend(sdk);
  std::vector<QByteArray> storage;
  std::vector<char*> argv;
  for (const QString& argument : arguments) storage.push_back(argument.toLocal8Bit());
  for (QByteArray& argument : storage) argv.push_back(argument.data());
  argv.push_back(nullptr);

  QVERIFY(!IsDpxFormatRegistered());
  const int exitCode = RunTarnApplication(int(arguments.size()), argv.data());
  SetEdsBackend(nullptr);

  QCOMPARE(exitCode, 0);
  QCOMPARE(qApp, nullptr);
  QCOMPARE(ProductInfo.ProductName, QString());
  QCOMPARE(ProductInfo.ContactsAddress, QString());
  QVERIFY(!IsDpxFormatRegistered());

  QCOMPARE(sdk->steps.size(), 3);
  const Snapshot& init = sdk->steps[0];
  QCOMPARE(init.step, QStringLiteral("initialize SDK"));
  QVERIFY(init.applicationExists);
  QCOMPARE(init.productName, kProduct);
  QVERIFY(init.dpxRegistered);
  QVERIFY(init.applicationTitle != kProduct);  // the title is set after the module steps
  QCOMPARE(init.mainWindows, 0);
  QCOMPARE(init.iconSizes,
           (QList<QSize>{{16, 16}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
  QCOMPARE(init.product.Version, QStringLiteral("1.00"));
  QVERIFY(init.product.SiteAddress.startsWith(QStringLiteral("https://")));
  QCOMPARE(init.product.ContactsAddress, init.product.SiteAddress + QStringLiteral("/contacts/"));
  QVERIFY(!init.product.Copyright.isEmpty());
  QVERIFY(!init.product.Copyright.contains(u'\n'));
  QVERIFY(!init.product.GrayCopyright);

  const Snapshot& loop = sdk->steps[1];
  QCOMPARE(loop.step, QStringLiteral("message loop"));
  QCOMPARE(loop.applicationTitle, kProduct);
  QCOMPARE(loop.mainWindows, 1);
  QVERIFY(loop.mainWindowVisible);
  QCOMPARE(loop.arguments, QStringList{arguments.first()});

  const Snapshot& terminate = sdk->steps[2];
  QCOMPARE(terminate.step, QStringLiteral("terminate SDK"));
  QCOMPARE(terminate.mainWindows, 0);
  QCOMPARE(terminate.productName, kProduct);
  QVERIFY(terminate.dpxRegistered);
  QVERIFY(terminate.applicationExists);
}

QTEST_APPLESS_MAIN(StartupTest)
#include "StartupTest.moc"
