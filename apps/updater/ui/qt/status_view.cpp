#include "status_view.h"

#include "window_assets.h"

#include "shell/window_procedure.h"
#include "state/shared_state.h"

#include <QApplication>
#include <QFontMetrics>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>

namespace {

// Painting widens each status text, one character per byte, into a 250-character buffer.
constexpr int kStatusChars = 249;

const char* const kWarning = "Do not unplug GPS";
constexpr int kWarningHeight = 31;

// A font whose line (cell) height is the given number of pixels.
QFont fontWithCellHeight(QFont font, int height)
{
    font.setPixelSize(height);
    const int measured = QFontMetrics(font).height();
    if (measured > 0 && measured != height)
        font.setPixelSize(std::max(1, height * height / measured));
    return font;
}

QString statusLine(const std::string& text)
{
    return QString::fromLatin1(text.data(), std::min<int>(int(text.size()), kStatusChars));
}

} // namespace

StatusView::StatusView(QWidget* parent, std::function<void()> firstPaint)
    : QWidget(parent)
    , m_background(composedBackground())
    , m_warningFont(fontWithCellHeight(QApplication::font(), kWarningHeight))
    , m_firstPaint(std::move(firstPaint))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The status lines use the window's own font, made as tall as a window's default text.
    setFont(fontWithCellHeight(QApplication::font(), 16));
}

QPixmap StatusView::composedBackground()
{
    const QImage view = backgroundView();
    if (!view.isNull())
        return QPixmap::fromImage(view);
    QPixmap black(kBackgroundViewWidth, kBackgroundViewHeight);
    black.fill(Qt::black);
    return black;
}

void StatusView::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    p.drawPixmap(0, 0, m_background);

    // Word-broken text starts at the top of its rectangle: bottom alignment applies to single
    // lines only, and these lines break.
    p.setPen(Qt::white);
    p.setFont(font());
    p.drawText(QRect(QPoint(10, 20), QPoint(279, 99)), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
               statusLine(statusText.get()));
    p.drawText(QRect(QPoint(10, 380), QPoint(279, 499)), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
               statusLine(statusDetail.get()));

    if (warningShown()) {
        p.setPen(Qt::red);
        p.setFont(m_warningFont);
        p.drawText(QRect(QPoint(10, 50), QPoint(279, 219)), Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap,
                   QString::fromLatin1(kWarning));
    }
    p.end();

    if (m_firstPaint) {
        auto once = std::move(m_firstPaint);
        m_firstPaint = nullptr;
        once();
    }
}
