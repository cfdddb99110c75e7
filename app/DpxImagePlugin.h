// The DPX decoder TDPXImage as a Qt image format (key "dpx", "DPX File"): QImage, QImageReader
// and QPixmap read DPX files through it.
#pragma once

#include <QImageIOHandler>
#include <QImageIOPlugin>

inline constexpr char kDpxFormatKey[] = "dpx";
inline constexpr char kDpxFormatDescription[] = "DPX File";

// The format answers only while registered: the program registers it at start-up and removes it
// at exit; the loadable plugin is registered as soon as Qt loads it.
void RegisterDpxFormat();
void UnregisterDpxFormat();
bool IsDpxFormatRegistered();

class TDpxImageHandler : public QImageIOHandler {
 public:
  bool canRead() const override;
  bool read(QImage* image) override;

  // True when the device's next bytes are a DPX file's magic number, in either byte order.
  static bool CanRead(QIODevice* device);
};

class TDpxImagePlugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "dpx.json")
 public:
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
  QImageIOHandler* create(QIODevice* device,
                          const QByteArray& format = QByteArray()) const override;
};
