// The window on its own, against a stand-in for the shell: its shape, the menu, the controls
// that setStatus and appendLog drive, the recovery dialog's controls, and above all the order in
// which events reach the shell's handlers and how calls cross from workers to the GUI thread.

#include "stand_in_procedure.h"

#include "main_window.h"
#include "qt_window_port.h"
#include "recovery_dialog.h"
#include "window_assets.h"

#include "shell/run_options.h"
#include "shell/window_procedure.h"
#include "state/shared_state.h"
#include "state/status_callbacks.h"
#include "state/window_messages.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include <QMouseEvent>

namespace {

// Presses the first button of whatever message box is open, once one is.
void answerNextBox(QMessageBox::StandardButton button)
{
    QTimer::singleShot(20, [button] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                box->button(button)->click();
                return;
            }
        }
        answerNextBox(button); // not open yet
    });
}

QStringList menuTexts(QMenu* menu)
{
    QStringList texts;
    for (QAction* action : menu->actions())
        texts << (action->isSeparator() ? QString("-") : action->text());
    return texts;
}

int redPixels(const QImage& image, const QRect& area)
{
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 60 && c.blue() < 60)
                ++count;
        }
    return count;
}

} // namespace

class WindowPortTest : public QObject {
    Q_OBJECT

    QtWindowPort* port = nullptr;

private slots:
    void init()
    {
        resetSharedState();
        standin::clear();
        standin::onCommandHook = nullptr;
        standin::onDeviceChangeHook = nullptr;
        standin::onMessageHook = nullptr;
        standin::onRecoveryCommandHook = nullptr;
        standin::onRecoveryInitHook = nullptr;
        standin::warning = false;
        setRunOptions(RunOptions{});
        port = new QtWindowPort();
        setMainWindow(port);
        port->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(port->window()));
    }

    void cleanup()
    {
        setMainWindow(nullptr);
        delete port;
        port = nullptr;
    }

    void windowHasItsFixedShapeAndControls()
    {
        MainWindow* w = port->window();
        QCOMPARE(w->size(), QSize(300, 500));
        QCOMPARE(w->minimumSize(), w->maximumSize());
        QCOMPARE(w->pos(), QPoint(200, 200));
        QVERIFY(!(w->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(w->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w->windowFlags() & Qt::WindowCloseButtonHint);
        QCOMPARE(w->progressBar()->geometry(), QRect(52, 300, 194, 30));
        QCOMPARE(w->updateButton()->geometry(), QRect(52, 340, 194, 30));
        QCOMPARE(w->logEdit()->geometry(), QRect(20, 60, 250, 230));
        QCOMPARE(w->progressBar()->maximum(), 0); // marquee
        QCOMPARE(w->updateButton()->text(), QString("OK"));
        QVERIFY(w->updateButton()->isDefault());
        QVERIFY(!w->progressBar()->isVisible());
        QVERIFY(!w->updateButton()->isVisible());
        QVERIFY(!w->logEdit()->isVisible());
        // The client area lies below the menu bar and ends at the window's bottom.
        QCOMPARE(w->clientArea()->geometry().bottom(), 499);
    }

    // The background comes composed from the build; a missing or wrong-sized resource would
    // leave the window black without a word.
    void backgroundIsThePictureComposedAtBuildTime()
    {
        const QImage view = backgroundView();
        QVERIFY(!view.isNull());
        QCOMPARE(view.size(), QSize(320, 480));
        QSet<QRgb> colours;
        for (int y = 0; y < view.height(); y += 16)
            for (int x = 0; x < view.width(); x += 16)
                colours.insert(view.pixel(x, y));
        QVERIFY2(colours.size() > 20, "the embedded view is not a picture");
        // Away from the status lines, the client area shows the view's pixels unchanged.
        const QImage shot = port->window()->clientArea()->grab().toImage();
        for (QPoint at : { QPoint(150, 250), QPoint(5, 150), QPoint(290, 300), QPoint(150, 360) })
            QCOMPARE(QColor(shot.pixel(at)).name(), QColor(view.pixel(at)).name());
    }

    void menuHoldsEveryEntryInItsPlace()
    {
        QMenuBar* bar = port->window()->menuBar();
        QCOMPARE(bar->actions().size(), 1);
        QMenu* top = bar->actions().first()->menu();
        QCOMPARE(top->title(), QString("Tarvel Gps Firmware Programmer"));
        QCOMPARE(menuTexts(top), QStringList({"&About ...", "-", "Restore device to factory defaults", "Show log",
                                              "Advanced", "-", "E&xit Tarvel Gps Updater"}));
        QMenu* advanced = top->actions().at(4)->menu();
        QCOMPARE(menuTexts(advanced),
                 QStringList({"Force update", "-", "Erase Encryption Key Storage", "-", "LOAD STANDARD FIRMWARE NOW",
                              "-", "-", "LOAD JAPAN FIRMWARE NOW", "-", "-", "LOAD Language Packs"}));
        const std::pair<int, const char*> ids[] = {
            {104, "&About ..."},
            {105, "E&xit Tarvel Gps Updater"},
            {32771, "Restore device to factory defaults"},
            {32772, "Show log"},
            {32778, "Force update"},
            {32779, "Erase Encryption Key Storage"},
            {32780, "LOAD Language Packs"},
            {32781, "LOAD JAPAN FIRMWARE NOW"},
            {32782, "LOAD STANDARD FIRMWARE NOW"},
        };
        for (auto [id, text] : ids)
            QCOMPARE(port->window()->action(id)->text(), QString(text));

        // Every choice reaches the shell as its command id.
        port->window()->action(32772)->trigger();
        port->window()->action(105)->trigger();
        QCOMPARE(standin::calls(), std::vector<std::string>({"command 32772", "command 105"}));
    }

    void loadFirmwareEntriesCanNeverBeChosen()
    {
        for (int id : {kCommandLoadStandardFirmware, kCommandLoadJapanFirmware}) {
            QVERIFY(!port->window()->action(id)->isEnabled());
            port->enableMenuItem(id, true);
            QVERIFY(!port->window()->action(id)->isEnabled());
            port->window()->action(id)->setEnabled(true); // even forced, a choice does nothing
            port->window()->action(id)->trigger();
        }
        QVERIFY(standin::calls().empty());
        port->enableMenuItem(kCommandForceUpdate, false);
        QVERIFY(!port->window()->action(kCommandForceUpdate)->isEnabled());
        port->enableMenuItem(kCommandForceUpdate, true);
        QVERIFY(port->window()->action(kCommandForceUpdate)->isEnabled());
    }

    void aboutAcceleratorsSendCommand104()
    {
        port->window()->activateWindow();
        QTest::keyClick(port->window(), Qt::Key_Slash, Qt::AltModifier);
        QTRY_COMPARE(standin::calls(), std::vector<std::string>({"command 104"}));
    }

    void buttonAndCloseBoxReachTheShell()
    {
        port->window()->updateButton()->show();
        QTest::mouseClick(port->window()->updateButton(), Qt::LeftButton);
        port->window()->close();
        QVERIFY(port->window()->isVisible()); // only the shell ends the window
        QCOMPARE(standin::calls(), std::vector<std::string>({"command 0", "close-asked"}));
    }

    void setStatusDrivesButtonAndBar()
    {
        MainWindow* w = port->window();
        port->showControl(WindowControl::ProgressBar, true);
        port->setButtonText("Update to 7.70");

        setStatus(1, "Summit GPS Flashing success", "Almost done");
        QVERIFY(w->updateButton()->isVisible());
        QVERIFY(!w->progressBar()->isVisible());
        QCOMPARE(w->updateButton()->text(), QString("OK"));
        QCOMPARE(QString::fromStdString(statusText.get()), QString("Summit GPS Flashing success"));

        // A completion during a reverse upgrade hides the bar and leaves the button hidden.
        port->showControl(WindowControl::UpdateButton, false);
        port->showControl(WindowControl::ProgressBar, true);
        reverseUpgrade = 1;
        setStatus(1, nullptr, nullptr);
        QVERIFY(!w->updateButton()->isVisible());
        QVERIFY(!w->progressBar()->isVisible());

        // While a factory reset or language pack runs, the bar shows whatever is reported.
        reverseUpgrade = 0;
        port->showControl(WindowControl::UpdateButton, true);
        factoryResetActive = 1;
        setStatus(1, nullptr, "Wait for Device to Reconnect\nPlease Wait...");
        QVERIFY(!w->updateButton()->isVisible());
        QVERIFY(w->progressBar()->isVisible());
        QCOMPARE(QString::fromStdString(statusDetail.get()), QString("Wait for Device to Reconnect\nPlease Wait..."));

        // Only texts change with isComplete 0 and no work flag.
        factoryResetActive = 0;
        setStatus(0, "", nullptr);
        QVERIFY(w->progressBar()->isVisible());
        QCOMPARE(QString::fromStdString(statusText.get()), QString(""));
    }

    void logWindowCutsEachTextAt299Bytes()
    {
        std::string text(500, 'x');
        text[298] = 'y';
        text[299] = 'z';
        appendLog(text.c_str());
        const QString shown = port->window()->logEdit()->toPlainText();
        QCOMPARE(shown.size(), 299);
        QVERIFY(shown.endsWith('y'));

        port->window()->logEdit()->clear();
        appendLog("first\r\n");
        appendLog("second\n");
        appendLog("\xe9t\xe9\r\n"); // one character per byte
        QCOMPARE(port->window()->logEdit()->toPlainText(), QString::fromUtf8("first\nsecond\nété\n"));
        QVERIFY(!port->window()->logEdit()->isVisible()); // kept while hidden
    }

    void logFromWorkersArrivesWhole()
    {
        std::vector<std::thread> workers;
        for (int t = 0; t < 4; ++t)
            workers.emplace_back([t] {
                for (int i = 0; i < 50; ++i)
                    appendLog((std::string(1, char('a' + t)) + "\r\n").c_str());
            });
        // The GUI thread keeps serving while the workers wait on it.
        while (port->window()->logEdit()->toPlainText().size() < 400)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        for (auto& worker : workers)
            worker.join();
        const QStringList lines = port->window()->logEdit()->toPlainText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 200);
        for (const QString& line : lines)
            QCOMPARE(line.size(), 1);
    }

    void deviceEventsWaitWhileAHandlerRuns()
    {
        // The button's handler asks a question; while the box is open, device changes and a
        // worker's send arrive. They run after the handler, in their order, never inside it.
        std::atomic<bool> sendReturned{false};
        std::thread worker;
        standin::onCommandHook = [&](int) {
            worker = std::thread([&] {
                port->postDeviceChange(DBT_DEVNODES_CHANGED);
                port->postDeviceChange(DBT_DEVICEARRIVAL);
                port->sendMessage(WM_ON_DEVICE_INFO_READ, 0);
                sendReturned = true;
            });
            QTRY_VERIFY(port->pendingHandlers() == 3); // queued while the box waits
            answerNextBox(QMessageBox::Ok);
            port->messageBox("Please do not unplug your device.  This will take a few minutes.", "",
                             MessageBoxKind::OkCancel, MessageBoxIcon::Question);
            QVERIFY(!sendReturned);
            port->postDeviceChange(DBT_DEVICEREMOVECOMPLETE);
        };
        port->window()->updateButton()->show();
        port->window()->updateButton()->click();
        QTRY_VERIFY(sendReturned);
        worker.join();
        QTRY_COMPARE(standin::calls(), std::vector<std::string>({"command 0", "device 7", "device 32768",
                                                                 "message 32869 0", "device 32772"}));
    }

    void clicksMadeWhileAHandlerHeldTheThreadAreDropped()
    {
        // The button's handler holds the GUI thread; the rider clicks the button three more
        // times meanwhile. Those clicks are not delivered afterwards.
        QPushButton* button = port->window()->updateButton();
        button->show();
        standin::onCommandHook = [&](int) {
            standin::onCommandHook = nullptr;
            for (int i = 0; i < 3; ++i) {
                const QPointF at(10, 10);
                QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonPress, at, button->mapToGlobal(at),
                                                                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
                QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, at, button->mapToGlobal(at),
                                                                    Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
        };
        button->click();
        QTest::qWait(100);
        QCOMPARE(standin::calls(), std::vector<std::string>({"command 0"}));

        // A short handler leaves later clicks alone.
        standin::onCommandHook = [&](int) {
            standin::onCommandHook = nullptr;
            const QPointF at(10, 10);
            QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonPress, at, button->mapToGlobal(at),
                                                                Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
            QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, at, button->mapToGlobal(at),
                                                                Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
        };
        button->click();
        QTRY_COMPARE(standin::calls(), std::vector<std::string>({"command 0", "command 0", "command 0"}));
    }

    void sendFromTheGuiThreadIsADirectCall()
    {
        standin::onRecoveryCommandHook = [&](int id) {
            if (id == kRecoveryCancel) {
                port->sendMessage(WM_CLOSE_RECOVERY_MODE_DLG, 0);
                standin::onMessageHook = nullptr;
                QCOMPARE(standin::calls().back(), std::string("message 6025 0"));
            }
        };
        standin::onMessageHook = [&](int message, MessageParam) {
            if (message == WM_CLOSE_RECOVERY_MODE_DLG)
                port->destroyRecoveryDialog();
        };
        port->createRecoveryDialog();
        port->recoveryDialog()->control(kRecoveryCancel)->click();
        QVERIFY(!port->recoveryDialog());
        QCOMPARE(standin::calls(), std::vector<std::string>({"dialog-init", "dialog 2", "message 6025 0"}));
    }

    void workersCallsAreDoneWhenTheyReturn()
    {
        std::atomic<int> step{0};
        std::thread worker([&] {
            port->showControl(WindowControl::ProgressBar, true);
            step = 1;
            port->setButtonText("Update to 8.10");
            port->enableMenuItem(kCommandEraseKeys, false);
            step = 2;
            port->sendMessage(WM_CREATE_RECOVERY_MODE_DLG, 0);
            step = 3;
        });
        QTRY_COMPARE(step.load(), 3);
        worker.join();
        QVERIFY(port->window()->progressBar()->isVisible());
        QCOMPARE(port->window()->updateButton()->text(), QString("Update to 8.10"));
        QVERIFY(!port->window()->action(kCommandEraseKeys)->isEnabled());
        QCOMPARE(standin::calls(), std::vector<std::string>({"message 6024 0"}));
    }

    void recoveryDialogIsBuiltAsTabled()
    {
        standin::onRecoveryInitHook = [&] {
            // Initialisation runs before the dialog shows, and may tick boxes.
            QVERIFY(!port->recoveryDialog()->isVisible());
            port->setRecoveryBoxTicked(kRecoveryEnglishBox, true);
        };
        port->createRecoveryDialog();
        port->createRecoveryDialog(); // a second creation keeps the one dialog
        RecoveryDialog* dialog = port->recoveryDialog();
        QVERIFY(dialog && dialog->isVisible());
        QVERIFY(!dialog->isModal());
        QCOMPARE(dialog->parentWidget(), static_cast<QWidget*>(port->window()));
        QCOMPARE(dialog->windowTitle(), QString("Emergency Recovery Mode"));
        QVERIFY(port->recoveryBoxTicked(kRecoveryEnglishBox));
        QCOMPARE(standin::calls(), std::vector<std::string>({"dialog-init"}));

        // Rectangles follow the dialog units of its font: "G1 Boosted Peak" is 83 x 10 units
        // at (80, 25) and OK 50 x 14 at (24, 192) in a dialog of 177 x 213.
        const QRect peak = dialog->control(1004)->geometry();
        const QRect ok = dialog->control(kRecoveryOk)->geometry();
        const double unitX = dialog->width() / 177.0, unitY = dialog->height() / 213.0;
        QVERIFY(unitX > 1 && unitY > 1);
        QVERIFY(qAbs(peak.x() - 80 * unitX) <= 2 && qAbs(peak.y() - 25 * unitY) <= 2);
        QVERIFY(peak.width() >= 83 * unitX - 2 && qAbs(ok.y() - 192 * unitY) <= 2);
        for (int id = kRecoveryFirstModelBox; id <= kRecoveryLastModelBox; ++id) // no label is cut
            QVERIFY(dialog->control(id)->width() >= dialog->control(id)->sizeHint().width());
        QVERIFY(qAbs(ok.width() - 50 * unitX) <= 2 && qAbs(ok.height() - 14 * unitY) <= 2);
        QVERIFY(qobject_cast<QPushButton*>(dialog->control(kRecoveryOk))->isDefault());

        // Tab order: OK, Cancel, then the boxes in the table's order.
        const int order[] = {1, 2, 1005, 1006, 1007, 1008, 1009, 1010, 1004, 1011, 1012, 1060, 1099, 1013, 1014,
                             1015, 1016};
        QWidget* at = dialog->control(kRecoveryOk);
        for (size_t i = 1; i < std::size(order); ++i) {
            at = at->nextInFocusChain();
            while (at->focusPolicy() == Qt::NoFocus)
                at = at->nextInFocusChain();
            QCOMPARE(at, static_cast<QWidget*>(dialog->control(order[i])));
        }

        // A click toggles the box first and then reports it; the close box and Escape report.
        QTest::mouseClick(dialog->control(1013), Qt::LeftButton);
        QVERIFY(port->recoveryBoxTicked(1013));
        QTest::keyClick(dialog, Qt::Key_Escape);
        dialog->close();
        QVERIFY(dialog->isVisible());
        QCOMPARE(standin::calls(),
                 std::vector<std::string>({"dialog-init", "dialog 1013", "dialog 2", "dialog-close"}));

        port->destroyRecoveryDialog();
        QVERIFY(!port->recoveryDialog());
        QVERIFY(!port->recoveryBoxTicked(1013));
    }

    void recoverOptionTicksAndPressesOk()
    {
        RunOptions options;
        options.recoverType = 13;
        options.recoverJapanese = true;
        setRunOptions(options);
        port->createRecoveryDialog();
        QTRY_COMPARE(standin::calls(),
                     std::vector<std::string>({"dialog-init", "dialog 1013", "dialog 1060", "dialog 1"}));
        QVERIFY(port->recoveryBoxTicked(1013));
        QVERIFY(port->recoveryBoxTicked(kRecoveryJapaneseBox));
    }

    void warningIsDrawnExactlyWhenAsked()
    {
        QWidget* client = port->window()->clientArea();
        const QRect warningArea(QPoint(10, 50), QPoint(279, 219));
        standin::warning = false;
        QCOMPARE(redPixels(client->grab().toImage(), client->rect()), 0);
        standin::warning = true;
        const QImage drawn = client->grab().toImage();
        QVERIFY(redPixels(drawn, warningArea) > 200);
        QCOMPARE(redPixels(drawn, client->rect()), redPixels(drawn, warningArea));
    }

    void statusLinesAreDrawnWhite()
    {
        QWidget* client = port->window()->clientArea();
        auto whitePixels = [](const QImage& image, const QRect& area) {
            int count = 0;
            for (int y = area.top(); y <= area.bottom(); ++y)
                for (int x = area.left(); x <= area.right(); ++x)
                    if (image.pixelColor(x, y).lightness() > 235)
                        ++count;
            return count;
        };
        statusText.set("");
        statusDetail.set("");
        const QImage blank = client->grab().toImage();
        statusText.set("Please connect your\nTarvel GPS Device");
        statusDetail.set("Latest software is installed on device");
        const QImage drawn = client->grab().toImage();
        QVERIFY(whitePixels(drawn, QRect(QPoint(10, 20), QPoint(279, 99)))
                > whitePixels(blank, QRect(QPoint(10, 20), QPoint(279, 99))) + 100);
        QVERIFY(whitePixels(drawn, QRect(QPoint(10, 380), QPoint(279, client->height() - 1)))
                > whitePixels(blank, QRect(QPoint(10, 380), QPoint(279, client->height() - 1))) + 100);
    }

    void timerRepeatsUntilKilled()
    {
        port->startTimer(UPDATE_ALERT_TIMER, 30);
        auto fires = [] {
            const auto calls = standin::calls();
            return std::count(calls.begin(), calls.end(), "timer 6027");
        };
        QTRY_VERIFY(fires() >= 2);
        port->killTimer(UPDATE_ALERT_TIMER);
        const auto fired = standin::calls().size();
        QTest::qWait(120);
        QCOMPARE(standin::calls().size(), fired);
    }

    void messageBoxesAnswerAsPressedOrInAdvance()
    {
        answerNextBox(QMessageBox::No);
        QCOMPARE(port->messageBox("Do you want to restore factory defaults?", "FACTORY RESET", MessageBoxKind::YesNo,
                                  MessageBoxIcon::None),
                 MessageBoxAnswer::No);
        answerNextBox(QMessageBox::Cancel);
        QCOMPARE(port->messageBox("Please do not unplug your device.  This will take a few minutes.", "",
                                  MessageBoxKind::OkCancel, MessageBoxIcon::Question),
                 MessageBoxAnswer::Cancel);
        RunOptions options;
        options.autoAnswer = true;
        setRunOptions(options);
        QCOMPARE(port->messageBox("Do you want to restore factory defaults?", "FACTORY RESET", MessageBoxKind::YesNo,
                                  MessageBoxIcon::None),
                 MessageBoxAnswer::Yes);
    }

    void closedPortParksWorkersAndDropsEvents()
    {
        port->close();
        port->postDeviceChange(DBT_DEVNODES_CHANGED);
        port->dispatch([] { onCommand(0); });
        std::atomic<bool> returned{false};
        std::thread([&] {
            port->setButtonText("late");
            returned = true;
        }).detach();
        QTest::qWait(100);
        QVERIFY(!returned);
        QVERIFY(standin::calls().empty());
        QCOMPARE(port->window()->updateButton()->text(), QString("OK"));
        // The parked worker keeps the port: it is left alive, as the program leaves it.
        port->window()->hide();
        setMainWindow(nullptr);
        port = nullptr;
    }
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    WindowPortTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_port_test.moc"
