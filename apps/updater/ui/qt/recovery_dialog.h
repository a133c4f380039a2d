#pragma once
// "Emergency Recovery Mode": the modeless dialog, owned by the main window, in which the user
// ticks the model and the language of a device that only shows its ROM bootloader. Its boxes
// toggle themselves when clicked; every click, OK and Cancel are reported as commands by
// control id, and the close box separately.

#include <QDialog>

#include <functional>
#include <map>

class QAbstractButton;

class RecoveryDialog : public QDialog {
public:
    struct Hooks {
        std::function<void(int)> command; // control id
        std::function<void()> closeAsked;
    };
    RecoveryDialog(QWidget* owner, Hooks hooks);

    // A tick box or button by control id; nullptr for an unknown id.
    QAbstractButton* control(int controlId) const;
    bool ticked(int controlId) const;
    void setTicked(int controlId, bool ticked);
    // Leaves the dialog for good: its close box and Escape no longer report anything.
    void setClosing() { m_closing = true; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    Hooks m_hooks;
    std::map<int, QAbstractButton*> m_controls;
    bool m_closing = false;
};
