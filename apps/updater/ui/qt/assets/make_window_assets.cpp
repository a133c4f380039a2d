// Draws the window's background picture (1080 x 1922). Everything is drawn here from shapes
// and gradients, so the build makes its own artwork and the result is the same on every
// machine. (The program icon is packaging/icons/com.tarvel.GpsUpdater.svg and its PNGs.)
//
//   make_window_assets OUTDIR    writes OUTDIR/background.png, the same picture as raw 32-bit
//                                pixels in OUTDIR/background.rgb32, and the 320 x 480 view
//                                that the window paints, composed from it, as raw 32-bit
//                                pixels in OUTDIR/background-view.rgb32 (what the Qt window
//                                embeds: start-up neither decodes nor scales anything)

#include <QColor>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QString>

#include <cstdio>
#include <utility>

namespace {

constexpr int kWidth = 1080;
constexpr int kHeight = 1922;

// A ridge line through the given heights, closed down to the bottom of the picture.
QPainterPath ridge(std::initializer_list<QPointF> points)
{
    QPainterPath path;
    auto it = points.begin();
    path.moveTo(it->x(), kHeight);
    path.lineTo(*it);
    QPointF previous = *it;
    for (++it; it != points.end(); ++it) {
        const QPointF middle = (previous + *it) / 2;
        path.quadTo(previous, middle);
        previous = *it;
    }
    path.lineTo(previous);
    path.lineTo(previous.x(), kHeight);
    path.closeSubpath();
    return path;
}

QImage drawBackground()
{
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);

    // Night sky going over into dawn near the horizon: dark enough for white text.
    QLinearGradient sky(0, 0, 0, kHeight);
    sky.setColorAt(0.0, QColor(8, 14, 34));
    sky.setColorAt(0.45, QColor(18, 40, 78));
    sky.setColorAt(0.62, QColor(40, 86, 120));
    sky.setColorAt(0.70, QColor(96, 120, 128));
    sky.setColorAt(1.0, QColor(14, 22, 30));
    p.fillRect(image.rect(), sky);

    // Stars from a fixed linear congruential sequence.
    uint32_t seed = 20261209;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int i = 0; i < 420; ++i) {
        const int x = int(next() % kWidth);
        const int y = int(next() % 1100);
        const int size = 2 + int(next() % 3);
        const int alpha = 90 + int(next() % 160);
        p.fillRect(x, y, size, size, QColor(230, 236, 255, alpha));
    }

    // A low moon glow.
    QRadialGradient glow(780, 980, 260);
    glow.setColorAt(0.0, QColor(200, 220, 230, 140));
    glow.setColorAt(1.0, QColor(200, 220, 230, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QPointF(780, 980), 260, 260);

    // Three mountain ranges, farther ones lighter.
    p.setBrush(QColor(44, 70, 96));
    p.drawPath(ridge({{0, 1180}, {160, 1060}, {330, 1150}, {520, 990}, {700, 1120}, {880, 1030}, {1080, 1140}}));
    p.setBrush(QColor(26, 46, 62));
    p.drawPath(ridge({{0, 1330}, {200, 1210}, {420, 1300}, {610, 1190}, {820, 1290}, {1080, 1220}}));
    p.setBrush(QColor(14, 28, 36));
    p.drawPath(ridge({{0, 1480}, {240, 1400}, {480, 1460}, {760, 1380}, {1080, 1450}}));

    // A road winding from the foreground into the hills.
    QPainterPath road;
    road.moveTo(300, kHeight);
    road.cubicTo(420, 1750, 820, 1700, 640, 1560);
    road.cubicTo(540, 1490, 600, 1440, 660, 1420);
    road.lineTo(676, 1422);
    road.cubicTo(630, 1446, 600, 1490, 700, 1560);
    road.cubicTo(920, 1720, 620, 1800, 760, kHeight);
    road.closeSubpath();
    p.setBrush(QColor(58, 62, 70));
    p.drawPath(road);
    QPen dash(QColor(210, 200, 140), 6, Qt::DashLine);
    p.setPen(dash);
    p.setBrush(Qt::NoBrush);
    QPainterPath centre;
    centre.moveTo(530, kHeight);
    centre.cubicTo(600, 1760, 850, 1700, 670, 1560);
    centre.cubicTo(580, 1490, 620, 1450, 668, 1421);
    p.drawPath(centre);
    p.end();
    return image;
}

// The background as the window paints it: the picture's top-left 320 x 480 unscaled on black,
// then the whole picture stretched with halftone smoothing into (0, -80) 300 x 550. Composing
// it here keeps the 1080 x 1922 scale off the window's start.
QImage composeView(const QImage& picture)
{
    QImage view(320, 480, QImage::Format_RGB32);
    view.fill(Qt::black);
    QPainter p(&view);
    p.drawImage(QPoint(0, 0), picture, QRect(0, 0, 320, 480));
    p.drawImage(QPoint(0, -80), picture.scaled(300, 550, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
    p.end();
    return view;
}

bool writeRaw(const QImage& image, const QString& path)
{
    QFile raw(path);
    const qint64 bytes = qint64(image.sizeInBytes());
    return raw.open(QIODevice::WriteOnly) && raw.write(reinterpret_cast<const char*>(image.constBits()), bytes) == bytes;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_window_assets OUTDIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QImage background = drawBackground();
    if (!background.save(dir + "/background.png", "PNG")) {
        std::fprintf(stderr, "make_window_assets: cannot write %s/background.png\n", argv[1]);
        return 1;
    }
    for (const auto& [name, image] : { std::pair{ "background.rgb32", background },
             std::pair{ "background-view.rgb32", composeView(background) } }) {
        if (!writeRaw(image, dir + "/" + name)) {
            std::fprintf(stderr, "make_window_assets: cannot write %s/%s\n", argv[1], name);
            return 1;
        }
    }
    return 0;
}
