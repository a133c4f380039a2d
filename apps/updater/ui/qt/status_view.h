#pragma once
// The main window's client area: the background picture, the two white status lines and, while
// device work is under way, the red "Do not unplug GPS" warning. The texts and the warning's
// condition are read from the shared state on every paint.

#include <QPixmap>
#include <QWidget>

#include <functional>

class StatusView : public QWidget {
public:
    StatusView(QWidget* parent, std::function<void()> firstPaint);

    // The background as painted: the picture's top-left 320 x 480 unscaled, then the whole
    // picture stretched into (0, -80) 300 x 550; composed at build time from the 1080 x 1922
    // asset. Black when the embedded view is missing.
    static QPixmap composedBackground();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QPixmap m_background;
    QFont m_warningFont;
    std::function<void()> m_firstPaint;
};
