// The window on the shell's real window procedure, under Qt's offscreen platform: the menu as a
// person finds it in each phase of an update and after updateMenuState's three cases, the
// recovery dialog's tick rules and what OK passes on, the warning while each of its six flags
// is set, "Show log", and the Update Alert's one showing a second after the window's creation.

#include "main_window.h"
#include "qt_window_port.h"
#include "recovery_dialog.h"

#include "shell/run_options.h"
#include "shell/shell.h"
#include "shell/window_procedure.h"
#include "state/device_models.h"
#include "state/shared_state.h"
#include "state/status_callbacks.h"
#include "state/window_messages.h"

#include "platform/clock.h"
#include "platform/virtual_bus.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const int kDeviceEntries[] = {kCommandFactoryReset, kCommandForceUpdate, kCommandEraseKeys, kCommandLanguagePacks,
                              kCommandLoadJapanFirmware, kCommandLoadStandardFirmware};

QMessageBox* openBox()
{
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible())
            return box;
    return nullptr;
}

int redPixels(const QImage& image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 60 && c.blue() < 60)
                ++count;
        }
    return count;
}

} // namespace

class WindowShellTest : public QObject {
    Q_OBJECT

    QTemporaryDir folder;
    QtWindowPort* port = nullptr;

    bool enabled(int id) { return port->window()->action(id)->isEnabled(); }
    // Which of the device entries a person can choose now, in kDeviceEntries' order.
    QString deviceMenu()
    {
        QString states;
        for (int id : kDeviceEntries)
            states += enabled(id) ? '1' : '0';
        return states;
    }
    // The menu as it is when it opens.
    void openMenus()
    {
        for (QMenu* menu : port->window()->findChildren<QMenu*>())
            emit menu->aboutToShow();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        // Nothing real is reached: an empty virtual bus in the test's own folder.
        platform::selectVirtualBus((folder.path() + "/bus.sock").toStdString());
        qputenv("XDG_RUNTIME_DIR", folder.path().toLocal8Bit());
        qputenv("XDG_STATE_HOME", (folder.path() + "/state").toLocal8Bit());
        qputenv("XDG_DATA_HOME", (folder.path() + "/data").toLocal8Bit());
        installAppCallbacks();
    }

    void init()
    {
        resetSharedState();
        platform::setTimeScale(0);
        setRunOptions(RunOptions{});
        port = new QtWindowPort();
        setMainWindow(port);
        port->dispatch([] { onWindowCreated(); });
        port->killTimer(UPDATE_ALERT_TIMER); // its own test below
        port->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(port->window()));
    }

    void cleanup()
    {
        port->killTimer(UPDATE_ALERT_TIMER);
        setMainWindow(nullptr);
        delete port;
        port = nullptr;
        platform::setTimeScale(1);
    }

    void menuInEachPhase()
    {
        // At creation: every device entry but "Erase Encryption Key Storage" disabled.
        QCOMPARE(deviceMenu(), QString("001000"));
        QVERIFY(enabled(kCommandAbout) && enabled(kCommandExit) && enabled(kCommandShowLog));

        // No device.
        port->dispatch([] { updateMenuState(); });
        QCOMPARE(deviceMenu(), QString("000000"));
        QVERIFY(!port->window()->updateButton()->isVisible() && !port->window()->progressBar()->isVisible());
        QCOMPARE(QString::fromStdString(statusText.get()), QString("Please connect your\nTarvel GPS Device"));

        // A standard device, idle; then a Japanese one.
        ishf = 1;
        port->dispatch([] { updateMenuState(); });
        QCOMPARE(deviceMenu(), QString("111000"));
        deviceInfo.dlv = 60;
        port->dispatch([] { updateMenuState(); });
        QCOMPARE(deviceMenu(), QString("111100"));

        // Device work: the bar shows, the button hides; the shell leaves its menu as it was,
        // and the window shows the entries that start device work disabled while it runs.
        struct Phase {
            const char* name;
            Flag* flags[2];
        } phases[] = {
            {"update worker", {&updateActive, &updateThreadActive}},
            {"flash bootloader", {&updateActive, &jbl}},
            {"wireless update", {&updateActive, &updateThreadActive}},
            {"language packs", {&languagePackActive, nullptr}},
            {"factory reset", {&factoryResetActive, nullptr}},
        };
        for (const Phase& phase : phases) {
            for (Flag* flag : phase.flags)
                if (flag)
                    *flag = 1;
            port->showControl(WindowControl::UpdateButton, true);
            port->dispatch([] { updateMenuState(); });
            openMenus();
            QVERIFY2(port->window()->progressBar()->isVisible(), phase.name);
            QVERIFY2(!port->window()->updateButton()->isVisible(), phase.name);
            QVERIFY2(menuItemEnabled(kCommandForceUpdate), phase.name);
            QVERIFY2(deviceMenu() == "000000", phase.name);
            // Chosen anyway (an accelerator, a menu opened before): refused, no worker.
            const int before = runningWorkers();
            port->window()->action(kCommandForceUpdate)->setEnabled(true);
            port->window()->action(kCommandForceUpdate)->trigger();
            QCOMPARE(runningWorkers(), before);
            for (Flag* flag : phase.flags)
                if (flag)
                    *flag = 0;
        }

        // Done: the device is back and idle.
        port->dispatch([] { updateMenuState(); });
        openMenus();
        QCOMPARE(deviceMenu(), QString("111100"));
        // The device leaves.
        ishf = 0;
        port->dispatch([] { updateMenuState(); });
        QCOMPARE(deviceMenu(), QString("000000"));
    }

    void recoveryDialogTickRules()
    {
        port->sendMessage(WM_CREATE_RECOVERY_MODE_DLG, 0);
        port->sendMessage(WM_CREATE_RECOVERY_MODE_DLG, 0); // a second scan: still one dialog
        RecoveryDialog* dialog = port->recoveryDialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(port->window()->findChildren<RecoveryDialog*>().size(), 1);
        QVERIFY(dialog->ticked(kRecoveryEnglishBox));
        auto click = [&](int id) { QTest::mouseClick(dialog->control(id), Qt::LeftButton, {}, QPoint(5, 5)); };
        auto tickedModels = [&] {
            QList<int> ids;
            for (int id = kRecoveryFirstModelBox; id <= kRecoveryLastModelBox; ++id)
                if (dialog->ticked(id))
                    ids << id;
            return ids;
        };

        // OK without a model does nothing.
        click(kRecoveryOk);
        QCOMPARE(port->recoveryDialog(), dialog);

        click(1013);
        click(1016);
        QCOMPARE(tickedModels(), QList<int>({1016}));
        QCOMPARE(recoveryDeviceType.load(), 16);
        click(1005);
        QCOMPARE(tickedModels(), QList<int>({1005}));
        click(1005); // unticked: none ticked, the type stays
        QCOMPARE(tickedModels(), QList<int>());
        QCOMPARE(recoveryDeviceType.load(), 5);

        click(kRecoveryEnglishBox); // English cannot be cleared by itself
        QVERIFY(dialog->ticked(kRecoveryEnglishBox));
        click(kRecoveryJapaneseBox);
        QVERIFY(dialog->ticked(kRecoveryJapaneseBox) && !dialog->ticked(kRecoveryEnglishBox));

        // OK passes the type kept and the Japanese variant; the dialog goes.
        click(kRecoveryOk);
        QTRY_VERIFY(!port->recoveryDialog());
        QCOMPARE(recoveryVariant.load(), 60);
        QCOMPARE(recoveryDeviceType.load(), 5);
        QVERIFY(isSet(updateActive));
    }

    void warningWhileAnyOfItsSixFlags()
    {
        QWidget* client = port->window()->clientArea();
        QCOMPARE(redPixels(client->grab().toImage()), 0);
        Flag* flags[] = {&updateActive, &factoryResetActive, &languagePackActive, &recoveryDialogActive, &backupHeld,
                         &resetBeforeNordic};
        for (Flag* flag : flags) {
            *flag = 1;
            QVERIFY(redPixels(client->grab().toImage()) > 200);
            *flag = 0;
        }
        ishf = 1;
        jbl = 1;
        updateThreadActive = 1;
        QCOMPARE(redPixels(client->grab().toImage()), 0);
    }

    void showLogTwiceReturnsToHidden()
    {
        QPlainTextEdit* log = port->window()->logEdit();
        appendLog("a line while hidden\r\n");
        port->window()->action(kCommandShowLog)->trigger();
        QVERIFY(log->isVisible());
        QVERIFY(log->toPlainText().contains("a line while hidden"));
        port->window()->action(kCommandShowLog)->trigger();
        QVERIFY(!log->isVisible());
        QVERIFY(isSet(logWindowHidden));
    }

    void updateAlertOnceAfterOneSecond()
    {
        // A window created now, on the real clock.
        cleanup();
        platform::setTimeScale(1);
        port = new QtWindowPort();
        setMainWindow(port);
        QElapsedTimer clock;
        clock.start();
        // The second is counted from when the window procedure ran, which a busy machine can
        // put off well after the dispatch.
        qint64 createdAt = -1;
        port->dispatch([&] {
            createdAt = clock.elapsed();
            onWindowCreated();
        });
        port->window()->show();
        // The box runs its own loop: a watcher answers it from inside.
        int shown = 0;
        qint64 shownAfter = -1;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer watcher;
        QObject::connect(&watcher, &QTimer::timeout, [&] {
            if (QMessageBox* box = openBox()) {
                if (shown++ == 0)
                    shownAfter = clock.elapsed();
                title = box->windowTitle();
                text = box->text();
                icon = box->icon();
                box->button(QMessageBox::No)->click();
            }
        });
        watcher.start(10);
        QTest::qWait(3500);
        QCOMPARE(shown, 1); // once, never again
        QCOMPARE(title, QString("Update Alert"));
        QCOMPARE(icon, QMessageBox::Warning);
        QVERIFY(text.startsWith("Before starting the update process on your Tarvel GPS"));
        QVERIFY(createdAt >= 0);
        shownAfter -= createdAt;
        QVERIFY2(shownAfter >= 950 && shownAfter < 1600, QByteArray::number(shownAfter));
    }
};

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    WindowShellTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "window_shell_test.moc"
