#include "window_assets.h"

#include <QIcon>
#include <QString>

void initWindowAssets() { Q_INIT_RESOURCE(window_assets); }

QIcon windowIcon()
{
    initWindowAssets();
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/tarvel/icon-%1.png").arg(size));
    return icon;
}
