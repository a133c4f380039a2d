#include "recovery_dialog.h"

#include "state/window_messages.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

#include <algorithm>

namespace {

struct ControlSpec {
    int id; // 0 for the static text
    enum Kind { DefaultButton, Button, Text, TickBox } kind;
    const char* text;
    int x, y, width, height; // dialog units
};

// In tab order.
constexpr ControlSpec kControls[] = {
    {kRecoveryOk, ControlSpec::DefaultButton, "OK", 24, 192, 50, 14},
    {kRecoveryCancel, ControlSpec::Button, "Cancel", 100, 192, 50, 14},
    {0, ControlSpec::Text, "Recovery Mode Carefully Choose Your Device", 7, 7, 163, 18},
    {1005, ControlSpec::TickBox, "G1 Ridge", 7, 25, 50, 10},
    {1006, ControlSpec::TickBox, "G1 Bst Sprig", 7, 40, 65, 10},
    {1007, ControlSpec::TickBox, "G1 SprigColor", 7, 55, 65, 10},
    {1008, ControlSpec::TickBox, "G1 SprigBand", 7, 70, 65, 10},
    {1009, ControlSpec::TickBox, "G1 BandColor", 7, 85, 65, 10},
    {1010, ControlSpec::TickBox, "G1 Lite", 7, 100, 43, 10},
    {1004, ControlSpec::TickBox, "G1 Boosted Peak", 80, 25, 83, 10},
    {1011, ControlSpec::TickBox, "G2 SummitXL", 80, 40, 52, 10},
    {1012, ControlSpec::TickBox, "G2 SummitC", 80, 55, 50, 10},
    {kRecoveryJapaneseBox, ControlSpec::TickBox, "Japanese", 22, 151, 46, 10},
    {kRecoveryEnglishBox, ControlSpec::TickBox, "English", 77, 150, 39, 10},
    {1013, ControlSpec::TickBox, "G3 PeakPro", 80, 69, 60, 10},
    {1014, ControlSpec::TickBox, "G3 Ridge Plus", 78, 85, 60, 10},
    {1015, ControlSpec::TickBox, "G3 Ridge Easy", 77, 99, 68, 10},
    {1016, ControlSpec::TickBox, "G4 Ridge Easy", 76, 113, 68, 10},
};

constexpr int kDialogWidth = 177;
constexpr int kDialogHeight = 213;

// Dialog units of a font: a horizontal unit is a quarter of the average character width, a
// vertical unit an eighth of the character height.
struct DialogUnits {
    double x, y;
    explicit DialogUnits(const QFont& font)
    {
        const QFontMetricsF metrics(font);
        const QString alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        x = metrics.horizontalAdvance(alphabet) / 52.0 / 4.0;
        y = metrics.height() / 8.0;
    }
    QRect rect(int left, int top, int width, int height) const
    {
        return QRect(int(left * x + 0.5), int(top * y + 0.5), int(width * x + 0.5), int(height * y + 0.5));
    }
};

} // namespace

RecoveryDialog::RecoveryDialog(QWidget* owner, Hooks hooks)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                         | Qt::WindowCloseButtonHint)
    , m_hooks(std::move(hooks))
{
    setObjectName("recoveryDialog");
    setWindowTitle("Emergency Recovery Mode");
    setModal(false);
    QFont dialogFont = QApplication::font();
    dialogFont.setPointSize(8);
    setFont(dialogFont);
    const DialogUnits units(dialogFont);

    QWidget* previous = nullptr;
    for (const ControlSpec& spec : kControls) {
        QWidget* widget = nullptr;
        QAbstractButton* button = nullptr;
        switch (spec.kind) {
        case ControlSpec::Text: {
            auto* label = new QLabel(QString::fromLatin1(spec.text), this);
            label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
            label->setWordWrap(true);
            widget = label;
            break;
        }
        case ControlSpec::TickBox:
            button = new QCheckBox(QString::fromLatin1(spec.text), this);
            break;
        case ControlSpec::DefaultButton:
        case ControlSpec::Button: {
            auto* push = new QPushButton(QString::fromLatin1(spec.text), this);
            push->setAutoDefault(spec.kind == ControlSpec::DefaultButton);
            push->setDefault(spec.kind == ControlSpec::DefaultButton);
            button = push;
            break;
        }
        }
        if (button) {
            widget = button;
            button->setObjectName(QString("control%1").arg(spec.id));
            button->setFocusPolicy(Qt::StrongFocus);
            m_controls[spec.id] = button;
            const int id = spec.id;
            QObject::connect(button, &QAbstractButton::clicked, this, [this, id] {
                if (!m_closing && m_hooks.command)
                    m_hooks.command(id);
            });
        }
        QRect area = units.rect(spec.x, spec.y, spec.width, spec.height);
        // A label in this desktop's font may run wider than its box was drawn for: the box
        // grows to the right rather than cutting its label.
        if (spec.kind == ControlSpec::TickBox)
            area.setWidth(std::max(area.width(), widget->sizeHint().width()));
        widget->setGeometry(area);
        if (previous && widget->focusPolicy() != Qt::NoFocus)
            QWidget::setTabOrder(previous, widget);
        if (widget->focusPolicy() != Qt::NoFocus)
            previous = widget;
    }
    setFixedSize(units.rect(0, 0, kDialogWidth, kDialogHeight).size());
}

QAbstractButton* RecoveryDialog::control(int controlId) const
{
    auto it = m_controls.find(controlId);
    return it == m_controls.end() ? nullptr : it->second;
}

bool RecoveryDialog::ticked(int controlId) const
{
    QAbstractButton* box = control(controlId);
    return box && box->isCheckable() && box->isChecked();
}

void RecoveryDialog::setTicked(int controlId, bool ticked)
{
    QAbstractButton* box = control(controlId);
    if (box && box->isCheckable())
        box->setChecked(ticked);
}

void RecoveryDialog::closeEvent(QCloseEvent* event)
{
    // The dialog goes only when the shell destroys it.
    event->ignore();
    if (!m_closing && m_hooks.closeAsked)
        m_hooks.closeAsked();
}

void RecoveryDialog::reject()
{
    // Escape is the Cancel button.
    if (!m_closing && m_hooks.command)
        m_hooks.command(kRecoveryCancel);
}
