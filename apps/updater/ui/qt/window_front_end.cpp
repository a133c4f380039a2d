#include "window_front_end.h"

#include "main_window.h"
#include "window_assets.h"
#include "qt_window_port.h"

#include "shell/run_options.h"
#include "shell/window_procedure.h"
#include "state/shared_state.h"

#include "platform/device_events.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

const char* const kCaption = "Tarvel GPS Updater Message";
const char* const kAlreadyRunning = "You already have updater running.";

// Device work that must not be cut short by returning through the program's destructors.
bool workMustFinish()
{
    return deviceWorkUnderWay() || isSet(scanInProgress);
}

// The X server going away ends the window for good. Qt would end the process from inside its
// event dispatch with static destructors running under the workers; leave at once instead.
// What is on disk stays safe: a held backup is marked only after its copy succeeded and is
// restored at the next start, and a device left in its bootloader is finished by the next run.
QtMessageHandler g_previousHandler = nullptr;
void watchForLostDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.contains(QLatin1String("X11 connection broke"))
        || message.contains(QLatin1String("could not connect to display"))) {
        static const char text[] = "tarvel-updater: the display went away; the updater ends. A device left in its "
                                   "bootloader is finished and a held backup restored by the next run.\n";
        (void)!::write(STDERR_FILENO, text, sizeof text - 1);
        std::fflush(stdout);
        platform::deviceEventService().stop();
        std::_Exit(0);
    }
    if (g_previousHandler)
        g_previousHandler(type, context, message);
}

// The wall-clock time (and the process's CPU time) of the steps of start-up up to the window's
// first paint, for the start-up benchmark, which took the time just before it started the process.
void reportStep(const char* step)
{
    if (!std::getenv("TARVEL_REPORT_FIRST_PAINT"))
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    timespec cpu{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
    std::fprintf(stderr, "tarvel-updater: %s at %lld cpu %lld\n", step,
                 static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                 static_cast<long long>(cpu.tv_sec) * 1000000000LL + cpu.tv_nsec);
    std::fflush(stderr);
}
void reportFirstPaint() { reportStep("first paint"); }

void showAlreadyRunning()
{
    if (runOptions().autoAnswer) {
        std::fprintf(stderr, "[%s] %s\n", kCaption, kAlreadyRunning);
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, kCaption, kAlreadyRunning, QMessageBox::Ok);
    box.exec();
}

// The probe's connection to the X server, held until the window has its own: an X server
// whose last client leaves resets itself, and a window connecting meanwhile waits for the
// reset to end (tens of milliseconds on the way to the first paint).
xcb_connection_t* g_displayProbe = nullptr;

void releaseDisplayProbe()
{
    if (g_displayProbe)
        xcb_disconnect(g_displayProbe);
    g_displayProbe = nullptr;
}

} // namespace

bool windowDisplayAvailable()
{
    const char* platformName = std::getenv("QT_QPA_PLATFORM");
    if (platformName && *platformName && std::strncmp(platformName, "xcb", 3) != 0)
        return true;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display)
        return false;
    releaseDisplayProbe();
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const bool reachable = connection && xcb_connection_has_error(connection) == 0;
    if (reachable)
        g_displayProbe = connection;
    else if (connection)
        xcb_disconnect(connection);
    return reachable;
}

int runWindowFrontEnd(int argc, char** argv)
{
    reportStep("window front end");
    int qtArgc = argc;
    QApplication app(qtArgc, argv);
    releaseDisplayProbe(); // the window's own connection is made: the server keeps a client
    reportStep("application");
    g_previousHandler = qInstallMessageHandler(watchForLostDisplay);
    QApplication::setApplicationName("tarvel-updater");

    if (!startUpdater()) {
        QApplication::setWindowIcon(windowIcon());
        showAlreadyRunning();
        return 0;
    }

    // The first scans run once the window has been drawn; a window that never gets an expose
    // still starts them after a second. The device events start just before them: the kernel
    // keeps what happens from then on until the event thread reads it, and the first scan
    // finds what was there before, so nothing is missed and the first paint does not wait
    // for the event thread's start.
    QtWindowPort* port = nullptr;
    auto shown = std::make_shared<bool>(false);
    auto startScans = [&port, shown] {
        if (*shown)
            return;
        *shown = true;
        platform::deviceEventService().start(
            [port](const platform::DeviceEvent& event) { port->postDeviceChange(deviceChangeMessage(event.kind)); });
        port->dispatch([] { onWindowShown(); });
    };

    // The port and its window live until the process ends; workers may hold the port.
    // The icon's PNGs are decoded when a window takes them, which waits until the window has
    // been drawn.
    port = new QtWindowPort([startScans] {
        reportFirstPaint();
        QApplication::setWindowIcon(windowIcon());
        QTimer::singleShot(0, startScans);
    });
    setMainWindow(port);
    reportStep("window");

    port->dispatch([] { onWindowCreated(); });

    port->window()->show();
    QTimer::singleShot(1000, startScans);

    if (!port->quitRequested())
        app.exec();

    platform::deviceEventService().stop();
    setMainWindow(nullptr);
    port->close();
    port->window()->hide();
    std::fflush(stdout);
    std::fflush(stderr);
    if (workMustFinish()) {
        // Workers are still at the device; they are parked at their next window call and end
        // with the process. The device and the rider's data are left as a crash would leave
        // them, which the next run takes up.
        std::fprintf(stderr, "tarvel-updater: the window closed while device work was under way; the next run "
                             "takes it up.\n");
        std::_Exit(0);
    }
    delete port->window();
    return 0;
}
