// The yardstick of the window's start-up: the least a Qt Widgets program does to show a
// 300 x 500 window with a picture (the updater's background, decoded from its PNG). Prints
// the wall-clock time of its first finished paint, and the process's CPU time then, as the
// updater does.
#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QWidget>

#include <cstdio>
#include <ctime>

namespace {

class PictureWindow : public QWidget {
public:
    explicit PictureWindow(const QString& picture)
        : m_picture(picture)
    {
        setFixedSize(300, 500);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.drawPixmap(rect(), m_picture);
        painter.end();
        if (!m_painted) {
            m_painted = true;
            timespec now {};
            clock_gettime(CLOCK_REALTIME, &now);
            timespec cpu {};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
            std::fprintf(stderr, "minimal window: first paint at %lld cpu %lld\n",
                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                static_cast<long long>(cpu.tv_sec) * 1000000000LL + cpu.tv_nsec);
            std::fflush(stderr);
        }
    }

private:
    QPixmap m_picture;
    bool m_painted = false;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: minimal_window PICTURE\n");
        return 2;
    }
    PictureWindow window(QString::fromLocal8Bit(argv[1]));
    window.show();
    return app.exec();
}
