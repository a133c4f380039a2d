#include "window_assets.h"

#include <QIcon>
#include <QImage>
#include <QResource>
#include <QString>

void initWindowAssets() { Q_INIT_RESOURCE(window_assets); }

QImage backgroundView()
{
    initWindowAssets();
    const QResource resource(":/tarvel/background-view.rgb32");
    const qint64 bytes = qint64(kBackgroundViewWidth) * kBackgroundViewHeight * 4;
    if (!resource.isValid() || resource.size() != bytes || resource.compressionAlgorithm() != QResource::NoCompression)
        return QImage();
    // The resource's bytes need not be aligned for QImage: a copy of them is.
    return QImage(resource.data(), kBackgroundViewWidth, kBackgroundViewHeight, kBackgroundViewWidth * 4,
               QImage::Format_RGB32)
        .copy();
}

QIcon windowIcon()
{
    initWindowAssets();
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/tarvel/icon-%1.png").arg(size));
    return icon;
}
