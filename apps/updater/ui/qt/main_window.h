#pragma once
// The updater's one main window: fixed 300 x 500 at (200, 200), the background picture, the two
// status lines, the red warning, the marquee bar, the one button, the hidden log window and the
// menu. It only draws and reports: every command goes to the handler gate of its port.

#include <QMainWindow>
#include <QPixmap>

#include <functional>
#include <map>

class QAction;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

class StatusView;

class MainWindow : public QMainWindow {
public:
    // commands receives every command id (button 0, menu entries, accelerators); focusGained
    // and closeAsked are the window's focus and its close box; firstPaint runs once, after the
    // window was drawn for the first time.
    struct Hooks {
        std::function<void(int)> command;
        std::function<void()> focusGained;
        std::function<void()> closeAsked;
        std::function<void()> firstPaint;
    };
    explicit MainWindow(Hooks hooks);

    QPushButton* updateButton() const { return m_button; }
    QProgressBar* progressBar() const { return m_progress; }
    QPlainTextEdit* logEdit() const { return m_log; }
    QAction* action(int commandId) const;
    QWidget* clientArea() const;

    // Inserts text at the log window's selection (the end unless the user clicked into it).
    void insertLogText(const QString& text);
    // Leaves the window for good: the close box no longer asks anything.
    void setClosing() { m_closing = true; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void buildMenu();
    void addCommand(QMenu* menu, int commandId, const char* text);

    Hooks m_hooks;
    StatusView* m_view = nullptr;
    QPushButton* m_button = nullptr;
    QProgressBar* m_progress = nullptr;
    QPlainTextEdit* m_log = nullptr;
    std::map<int, QAction*> m_actions;
    bool m_closing = false;
};
