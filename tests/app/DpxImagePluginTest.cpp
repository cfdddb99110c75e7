// The DPX image format inside the program (QImage reads DPX files while the format is
// registered) and the loadable plugin that other Qt programs use.
#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QJsonArray>
#include <QJsonObject>
#include <QPluginLoader>
#include <cstring>
#include <vector>

#include "AppTestSupport.h"
#include "DPXLib.h"
#include "DpxImagePlugin.h"
#include "RawToDpx.h"
#include "TestPaths.h"

using tarn::test::TempDir;

namespace {

constexpr int kWidth = 3;
constexpr int kHeight = 2;

// Samples of a 3 x 2 picture, R, G, B per pixel, rows top-down: red, green, blue on top;
// white, black and a mid grey below.
std::vector<std::uint16_t> Samples() {
  return {0xFFFF, 0,      0,      0, 0xFFFF, 0, 0,      0,      0xFFFF,
          0xFFFF, 0xFFFF, 0xFFFF, 0, 0,      0, 0x8000, 0x8000, 0x8000};
}

QString WriteSampleDpx(const std::filesystem::path& path) {
  const std::vector<std::uint16_t> samples = Samples();
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(samples[i]);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(samples[i] >> 8);
  }
  WriteDpxFile(path.string(), kWidth, kHeight, TConvertOptions{}, bytes.data(),
               static_cast<std::int32_t>(bytes.size()));
  return QString::fromStdString(path.string());
}

// The decoder's own reading of the file.
TDPXImage Decode(const QString& path) {
  TDPXImage image;
  image.LoadFromFile(path.toStdString());
  return image;
}

}  // namespace

class DpxImagePluginTest : public QObject {
  Q_OBJECT

 private Q_SLOTS:
  void init();
  void cleanup();
  void formatIsListed();
  void qimageReadsDpxFiles_data();
  void qimageReadsDpxFiles();
  void decoderFixtures_data();
  void decoderFixtures();
  void unregisteredFormatReadsNothing();
  void damagedFileGivesANullImage();
  void loadablePlugin();

 private:
  std::unique_ptr<TempDir> temp_;
};

void DpxImagePluginTest::init() {
  temp_ = std::make_unique<TempDir>();
}

void DpxImagePluginTest::cleanup() {
  RegisterDpxFormat();
  temp_.reset();
}

void DpxImagePluginTest::formatIsListed() {
  QVERIFY(QImageReader::supportedImageFormats().contains("dpx"));
  QVERIFY(IsDpxFormatRegistered());
}

void DpxImagePluginTest::qimageReadsDpxFiles_data() {
  QTest::addColumn<QString>("name");
  QTest::newRow("by the .dpx extension") << "frame.dpx";
  QTest::newRow("upper-case extension") << "FRAME.DPX";
  QTest::newRow("by content, any name") << "frame.bin";
}

void DpxImagePluginTest::qimageReadsDpxFiles() {
  QFETCH(QString, name);
  const QString path = WriteSampleDpx(temp_->path() / name.toStdString());

  QImageReader reader(path);
  QVERIFY2(reader.canRead(), qPrintable(reader.errorString()));
  QCOMPARE(reader.format(), QByteArray("dpx"));

  const TDPXImage decoded = Decode(path);

  const QImage image(path);
  QVERIFY(!image.isNull());
  QCOMPARE(image.size(), QSize(kWidth, kHeight));
  for (int y = 0; y < kHeight; ++y) {
    const std::uint8_t* bgr = decoded.ScanLine(y);
    for (int x = 0; x < kWidth; ++x) {
      QCOMPARE(image.pixel(x, y), qRgb(bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x]));
    }
  }
  // Red, green and blue stay in their places.
  QCOMPARE(qRed(image.pixel(0, 0)), 255);
  QCOMPARE(qGreen(image.pixel(0, 0)), 0);
  QCOMPARE(qGreen(image.pixel(1, 0)), 255);
  QCOMPARE(qBlue(image.pixel(2, 0)), 255);
  QCOMPARE(qRed(image.pixel(1, 1)), 0);
}

void DpxImagePluginTest::decoderFixtures_data() {
  QTest::addColumn<QString>("name");
  QTest::addColumn<bool>("readable");
  for (const char* name :
       {"big-endian-16bit-2x1.dpx", "big-endian-10bit-2x1.dpx", "little-endian-10bit-2x1.dpx",
        "written-2x1-rec709.dpx", "data-offset-8192-element-offset-2048.dpx"}) {
    QTest::newRow(name) << name << true;
  }
  for (const char* name : {"empty-file.dpx", "lying-size-65535x65535.dpx",
                           "lying-size-2147483647x2147483647-wraps-64-bit.dpx",
                           "truncated-header-1000-bytes.dpx", "truncated-pixels-4x4-half-data.dpx",
                           "offset-0xFFFFFFFF-wraps-32-bit.dpx", "negative-width.dpx"}) {
    QTest::newRow(name) << name << false;
  }
}

// Whatever the decoder reads, QImage shows pixel for pixel; whatever it refuses is a null image.
void DpxImagePluginTest::decoderFixtures() {
  QFETCH(QString, name);
  QFETCH(bool, readable);
  const QString path =
      QString::fromStdString((tarn::test::DataDir() / "dpx" / name.toStdString()).string());
  const QImage image(path);
  if (!readable) {
    QVERIFY(image.isNull());
    return;
  }
  const TDPXImage decoded = Decode(path);
  QCOMPARE(image.size(), QSize(decoded.Width(), decoded.Height()));
  for (int y = 0; y < decoded.Height(); ++y) {
    const std::uint8_t* bgr = decoded.ScanLine(y);
    for (int x = 0; x < decoded.Width(); ++x) {
      QCOMPARE(image.pixel(x, y), qRgb(bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x]));
    }
  }
}

void DpxImagePluginTest::unregisteredFormatReadsNothing() {
  const QString path = WriteSampleDpx(temp_->path() / "frame.dpx");
  UnregisterDpxFormat();
  QVERIFY(!QImageReader(path).canRead());
  QVERIFY(QImage(path).isNull());
  RegisterDpxFormat();
  QVERIFY(QImageReader(path).canRead());
}

void DpxImagePluginTest::damagedFileGivesANullImage() {
  // A DPX header cut off after 100 bytes: the magic number is right, nothing else is there.
  const std::filesystem::path whole = temp_->path() / "whole.dpx";
  WriteSampleDpx(whole);
  const std::string bytes = tarn::test::ReadFileBytes(whole);
  tarn::test::WriteFileBytes(temp_->path() / "header-cut-at-100-bytes.dpx", bytes.substr(0, 100));

  QImageReader reader(
      QString::fromStdString((temp_->path() / "header-cut-at-100-bytes.dpx").string()));
  QVERIFY(reader.canRead());
  QVERIFY(reader.read().isNull());

  // Not DPX at all, under a DPX name.
  tarn::test::WriteFileBytes(temp_->path() / "text.dpx", "This is not a picture.");
  QVERIFY(QImage(QString::fromStdString((temp_->path() / "text.dpx").string())).isNull());
}

void DpxImagePluginTest::loadablePlugin() {
  QPluginLoader loader(QStringLiteral(TARN_DPX_PLUGIN_FILE));
  QObject* instance = loader.instance();
  QVERIFY2(instance != nullptr, qPrintable(loader.errorString()));
  auto* plugin = qobject_cast<QImageIOPlugin*>(instance);
  QVERIFY(plugin != nullptr);

  const QJsonObject metaData = loader.metaData().value("MetaData").toObject();
  QCOMPARE(metaData.value("Keys").toArray(), QJsonArray{"dpx"});
  QCOMPARE(metaData.value("Description").toString(), QStringLiteral("DPX File"));

  // Registered as soon as it is loaded; its switch is its own, not the program's.
  UnregisterDpxFormat();
  QCOMPARE(plugin->capabilities(nullptr, "dpx"), QImageIOPlugin::CanRead);
  QCOMPARE(plugin->capabilities(nullptr, "png"), QImageIOPlugin::Capabilities());

  const std::string bytes = tarn::test::ReadFileBytes(
      std::filesystem::path(WriteSampleDpx(temp_->path() / "frame.dpx").toStdString()));
  QByteArray dpx = QByteArray::fromStdString(bytes);
  QBuffer device(&dpx);
  QVERIFY(device.open(QIODevice::ReadOnly));
  QCOMPARE(plugin->capabilities(&device, QByteArray()), QImageIOPlugin::CanRead);
  QByteArray png("\x89PNG\r\n\x1a\n", 8);
  QBuffer other(&png);
  QVERIFY(other.open(QIODevice::ReadOnly));
  QCOMPARE(plugin->capabilities(&other, QByteArray()), QImageIOPlugin::Capabilities());

  const std::unique_ptr<QImageIOHandler> handler(plugin->create(&device, "dpx"));
  QVERIFY(handler->canRead());
  QImage image;
  QVERIFY(handler->read(&image));
  QCOMPARE(image.size(), QSize(kWidth, kHeight));
  QCOMPARE(qBlue(image.pixel(2, 0)), 255);
}

TARN_APP_TEST_MAIN(DpxImagePluginTest)
#include "DpxImagePluginTest.moc"
