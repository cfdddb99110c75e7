// Usage: tarn-dpx-probe FILE.dpx
// Loads the file the way any Qt program would, with the format found from the file itself, and
// prints its size and mean colour. Exit status 1 when no plugin reads it.
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <cstdio>

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarn-dpx-probe FILE.dpx\n");
    return 2;
  }
  const QList<QByteArray> formats = QImageReader::supportedImageFormats();
  if (!formats.contains("dpx")) {
    std::fprintf(stderr, "tarn-dpx-probe: no image plugin offers the format \"dpx\"\n");
    return 1;
  }
  QImageReader reader(QString::fromLocal8Bit(argv[1]));
  reader.setDecideFormatFromContent(true);
  // Asked before reading: the plugin that recognised the file's content.
  const QByteArray format = reader.format();
  const QImage image = reader.read();
  if (image.isNull()) {
    std::fprintf(stderr, "tarn-dpx-probe: %s: %s\n", argv[1],
                 reader.errorString().toLocal8Bit().constData());
    return 1;
  }
  double sum[3] = {0, 0, 0};
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QRgb pixel = image.pixel(x, y);
      sum[0] += qRed(pixel);
      sum[1] += qGreen(pixel);
      sum[2] += qBlue(pixel);
    }
  }
  const double count = double(image.width()) * image.height();
  std::printf("read as %s: %dx%d, mean RGB %.1f %.1f %.1f\n", format.constData(), image.width(),
              image.height(), sum[0] / count, sum[1] / count, sum[2] / count);
  return 0;
}
