#include "main_window.h"

#include "status_view.h"

#include "state/window_messages.h"

#include <QAction>
#include <QCloseEvent>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>

namespace {
constexpr int kClientWidth = 300;
constexpr int kClientHeight = 500; // includes the menu bar, as the window's outer rectangle did
constexpr int kLeft = 200;
constexpr int kTop = 200;
} // namespace

MainWindow::MainWindow(Hooks hooks)
    : QMainWindow(nullptr,
                  Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                      | Qt::WindowCloseButtonHint)
    , m_hooks(std::move(hooks))
{
    setObjectName("mainWindow");
    setWindowTitle("Tarvel GPS Firmware Programmer");
    buildMenu();

    m_view = new StatusView(this, m_hooks.firstPaint);
    setCentralWidget(m_view);

    m_progress = new QProgressBar(m_view);
    m_progress->setObjectName("progressBar");
    m_progress->setGeometry(52, 300, 194, 30);
    m_progress->setRange(0, 0); // marquee
    m_progress->setTextVisible(false);
    m_progress->hide();

    m_button = new QPushButton("OK", m_view);
    m_button->setObjectName("updateButton");
    m_button->setGeometry(52, 340, 194, 30);
    m_button->setDefault(true);
    m_button->setFocusPolicy(Qt::StrongFocus);
    m_button->hide();
    QObject::connect(m_button, &QPushButton::clicked, this, [this] { m_hooks.command(kCommandUpdateButton); });

    m_log = new QPlainTextEdit(m_view);
    m_log->setObjectName("logEdit");
    m_log->setGeometry(20, 60, 250, 230);
    m_log->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_log->setUndoRedoEnabled(false); // appended lines never enter an undo history
    m_log->hide();

    // Alt+"?" and Alt+"/" both bring up the About box.
    for (QKeySequence keys : {QKeySequence(Qt::ALT | Qt::Key_Question), QKeySequence(Qt::ALT | Qt::Key_Slash),
                              QKeySequence(Qt::ALT | Qt::SHIFT | Qt::Key_Question)}) {
        auto* shortcut = new QShortcut(keys, this);
        QObject::connect(shortcut, &QShortcut::activated, this, [this] { m_hooks.command(kCommandAbout); });
    }

    setFixedSize(kClientWidth, kClientHeight);
    move(kLeft, kTop);
}

void MainWindow::buildMenu()
{
    QMenu* top = menuBar()->addMenu("Tarvel Gps Firmware Programmer");
    top->setSeparatorsCollapsible(false);
    addCommand(top, kCommandAbout, "&About ...");
    top->addSeparator();
    addCommand(top, kCommandFactoryReset, "Restore device to factory defaults");
    addCommand(top, kCommandShowLog, "Show log");

    QMenu* advanced = top->addMenu("Advanced");
    advanced->setSeparatorsCollapsible(false);
    addCommand(advanced, kCommandForceUpdate, "Force update");
    advanced->addSeparator();
    addCommand(advanced, kCommandEraseKeys, "Erase Encryption Key Storage");
    advanced->addSeparator();
    addCommand(advanced, kCommandLoadStandardFirmware, "LOAD STANDARD FIRMWARE NOW");
    advanced->addSeparator();
    advanced->addSeparator();
    addCommand(advanced, kCommandLoadJapanFirmware, "LOAD JAPAN FIRMWARE NOW");
    advanced->addSeparator();
    advanced->addSeparator();
    addCommand(advanced, kCommandLanguagePacks, "LOAD Language Packs");

    top->addSeparator();
    addCommand(top, kCommandExit, "E&xit Tarvel Gps Updater");

    // The two LOAD FIRMWARE entries exist to be seen, never chosen.
    m_actions[kCommandLoadStandardFirmware]->setEnabled(false);
    m_actions[kCommandLoadJapanFirmware]->setEnabled(false);
}

void MainWindow::addCommand(QMenu* menu, int commandId, const char* text)
{
    QAction* action = menu->addAction(QString::fromLatin1(text));
    action->setObjectName(QString("command%1").arg(commandId));
    m_actions[commandId] = action;
    QObject::connect(action, &QAction::triggered, this, [this, commandId] {
        if (commandId == kCommandLoadStandardFirmware || commandId == kCommandLoadJapanFirmware)
            return;
        m_hooks.command(commandId);
    });
}

QAction* MainWindow::action(int commandId) const
{
    auto it = m_actions.find(commandId);
    return it == m_actions.end() ? nullptr : it->second;
}

QWidget* MainWindow::clientArea() const { return m_view; }

void MainWindow::insertLogText(const QString& text)
{
    QTextCursor cursor = m_log->textCursor();
    cursor.insertText(text);
    m_log->setTextCursor(cursor);
    m_log->ensureCursorVisible();
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The close box destroys the window through the shell, in its turn among the events; the
    // window itself goes when the loop ends.
    event->ignore();
    if (!m_closing && m_hooks.closeAsked)
        m_hooks.closeAsked();
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && m_hooks.focusGained)
        m_hooks.focusGained();
}
