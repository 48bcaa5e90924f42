#pragma once

#include "Tandalo/ui/ApplicationModel.h"
#include "Tandalo/view/DeviceRowState.h"

#include <QWidget>

#include <map>

class QHBoxLayout;
class QLabel;

namespace tandalo::ui {

// The buttons of the windows act on the device as the model has it at the click, never on the state a
// row or a step was drawn with: between the two the device may have been ejected, remounted elsewhere or
// unplugged.

/// Shows the device's folder in the file manager while it is mounted now; does nothing otherwise.
void showDeviceFolder(ApplicationModel& model, std::string_view id);
/// Asks the model to mount the device as it stands now; nothing once it is gone.
void mountDevice(ApplicationModel& model, std::string_view id, ApplicationModel::TakeOverFromAnyone takeOver);

class ElidedLabel;
class SoftButton;
class Spinner;
class SymbolLabel;

/// One attached device in the menu-bar window: its symbol, its name, a status line and the buttons of its
/// state. Updated in place: a button that stays from one state to the next is the same widget, so the
/// pointer's hover and the keyboard focus stay on it.
class DeviceRow final : public QWidget {
    Q_OBJECT
public:
    explicit DeviceRow(QWidget* parent);

    /// Shows the state; does nothing when it is what the row shows already.
    void setState(const view::DeviceRowState& state);
    const view::DeviceRowState& state() const { return m_state; }
    /// The button of that kind, or nullptr while the state offers none.
    SoftButton* button(view::RowButton kind) const;

signals:
    void buttonClicked(view::RowButton button);

private:
    void showButtons(const std::vector<view::RowButton>& buttons);
    SoftButton* makeButton(view::RowButton kind);

    view::DeviceRowState m_state;
    bool m_shown = false; // false until the first state
    SymbolLabel* m_symbol;
    ElidedLabel* m_name;
    QLabel* m_message;  // the note or the failure, wrapping
    QWidget* m_battery; // the level and its symbol
    QLabel* m_batteryText;
    SymbolLabel* m_batterySymbol;
    QWidget* m_progress; // the spinner and "Mounting…" or "Ejecting…"
    QLabel* m_progressText;
    QHBoxLayout* m_buttonLayout;
    std::map<view::RowButton, SoftButton*> m_buttons;
};

/// A phone attached in charge-only mode, with the words that say how to switch it to file transfer.
class WaitingRow final : public QWidget {
    Q_OBJECT
public:
    explicit WaitingRow(QWidget* parent);
    void setState(const view::WaitingRowState& state);

private:
    ElidedLabel* m_name;
    QLabel* m_mode;
    QLabel* m_hint;
};

} // namespace tandalo::ui
