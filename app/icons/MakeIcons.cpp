// Draws the application icon, a mountain tarn seen through a film frame, at each size of the
// icon set: tarn_make_icons <output folder>. Small sizes leave out the film perforations and the
// reflections so that the picture stays readable.
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

QPolygonF Scaled(std::initializer_list<QPointF> points, double scale) {
  QPolygonF polygon;
  for (const QPointF& point : points) polygon << point * scale;
  return polygon;
}

void DrawIcon(QPainter& painter, int size) {
  const double s = size / 256.0;
  const bool detailed = size >= 48;
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);

  // Body: a dark film strip with rounded corners.
  const QRectF body(QPointF(6, 6) * s, QPointF(250, 250) * s);
  QPainterPath outline;
  outline.addRoundedRect(body, 40 * s, 40 * s);
  painter.fillPath(outline, QColor(0x14, 0x1d, 0x2b));

  // The picture area inside the strip.
  const QRectF frame = detailed ? QRectF(QPointF(46, 22) * s, QPointF(210, 234) * s)
                                : QRectF(QPointF(6, 6) * s, QPointF(250, 250) * s);
  QPainterPath framePath;
  framePath.addRoundedRect(frame, (detailed ? 10 : 40) * s, (detailed ? 10 : 40) * s);
  painter.save();
  painter.setClipPath(framePath);

  QLinearGradient sky(frame.topLeft(), frame.bottomLeft());
  sky.setColorAt(0.0, QColor(0xff, 0x9e, 0x5e));
  sky.setColorAt(0.55, QColor(0xff, 0xd6, 0x8a));
  painter.fillRect(frame, sky);

  // Sun.
  painter.setBrush(QColor(0xff, 0xf3, 0xc4));
  painter.drawEllipse(QPointF(160, 78) * s, 20 * s, 20 * s);

  // Mountains with snow caps.
  painter.setBrush(QColor(0x3d, 0x4f, 0x6e));
  painter.drawPolygon(Scaled({{20, 160}, {96, 64}, {150, 130}, {180, 104}, {240, 160}}, s));
  painter.setBrush(QColor(0x2b, 0x39, 0x52));
  painter.drawPolygon(Scaled({{96, 64}, {150, 130}, {120, 160}, {96, 160}}, s));
  painter.setBrush(QColor(0xf4, 0xf7, 0xfb));
  painter.drawPolygon(Scaled({{96, 64}, {78, 87}, {90, 84}, {98, 92}, {108, 82}, {116, 90}}, s));

  // The tarn.
  const QRectF lake(QPointF(0, 156) * s, QPointF(256, 256) * s);
  QLinearGradient water(lake.topLeft(), lake.bottomLeft());
  water.setColorAt(0.0, QColor(0x2f, 0x80, 0xc8));
  water.setColorAt(1.0, QColor(0x12, 0x4a, 0x86));
  painter.fillRect(lake, water);
  if (detailed) {
    painter.setBrush(QColor(0xff, 0xf3, 0xc4, 170));
    painter.drawRoundedRect(QRectF(QPointF(138, 176) * s, QSizeF(44, 5) * s), 2.5 * s, 2.5 * s);
    painter.drawRoundedRect(QRectF(QPointF(146, 192) * s, QSizeF(28, 5) * s), 2.5 * s, 2.5 * s);
    painter.setBrush(QColor(0xff, 0xff, 0xff, 90));
    painter.drawRoundedRect(QRectF(QPointF(70, 206) * s, QSizeF(56, 5) * s), 2.5 * s, 2.5 * s);
  }
  painter.restore();

  if (detailed) {
    // Film perforations down both edges.
    painter.setBrush(QColor(0xe8, 0xee, 0xf4));
    for (int i = 0; i < 6; ++i) {
      const double y = 28 + i * 36;
      painter.drawRoundedRect(QRectF(QPointF(18, y) * s, QSizeF(16, 22) * s), 4 * s, 4 * s);
      painter.drawRoundedRect(QRectF(QPointF(222, y) * s, QSizeF(16, 22) * s), 4 * s, 4 * s);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarn_make_icons <output folder>\n");
    return 2;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  for (const int size : {16, 32, 48, 64, 128, 256}) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    DrawIcon(painter, size);
    painter.end();
    const QString path = QStringLiteral("%1/tarn-raw2dpx-%2.png").arg(folder).arg(size);
    if (!image.save(path)) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      return 1;
    }
  }
  return 0;
}
