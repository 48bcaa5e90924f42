#pragma once

#include "Tandalo/core/Published.h"
#include "Tandalo/ui/ApplicationModel.h"
#include "Tandalo/ui/CommandMenu.h"
#include "Tandalo/view/MenuContent.h"

#include <QMenu>
#include <QPointer>
#include <QRect>
#include <QWidget>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

class QLabel;
class QVBoxLayout;

namespace desktop {
class ClockTimers;
}

namespace tandalo::ui {

class DeviceRow;
class IconButton;
class PillButton;
class WaitingRow;

/// The window that drops down from the status item, the application's main surface: a banner while the
/// extension is off, one while an update waits, the devices and the phones in charge-only mode (or how
/// to connect one), and a footer with the Options menu. It shows the model's values and forwards the
/// clicks; it follows every change of the model while it is open, updating its rows in place by device.
/// Each time it comes on screen it tidies stale mounts and asks again about the extension; while it is
/// shown it reads the battery levels every 20 s. Main thread only.
class MenuWindow final : public QWidget {
    Q_OBJECT
public:
    static constexpr int fixedWidth = 300;
    static constexpr std::chrono::seconds batteryInterval{20};

    /// A drop-down that closes when the user clicks elsewhere, or, where the desktop has no status area
    /// to drop from, an ordinary window that the application keeps when it is closed.
    enum class Presentation { popup, window };

    MenuWindow(ApplicationModel& model, desktop::ClockTimers& timers, SceneActions scene,
               Presentation presentation = Presentation::popup, QWidget* parent = nullptr);
    ~MenuWindow() override;

    Presentation presentation() const { return m_presentation; }
    /// Opens the window below the anchor (the status item, or the pointer), kept on the screen; above it
    /// when the anchor is at the bottom of the screen. An ordinary window opens where the desktop places it.
    void open(const QRect& anchor);

    /// The parts of what it shows now, for tests.
    DeviceRow* row(const std::string& id) const;
    WaitingRow* waitingRow(std::uint64_t id) const;
    QWidget* banner(view::Banner banner) const;
    PillButton* bannerButton(view::Banner banner) const;
    QWidget* emptyState() const { return m_emptyState; }
    IconButton* optionsButton() const { return m_options; }
    /// The Options menu while it is open.
    QMenu* optionsMenu() const { return m_optionsMenu; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct BannerParts {
        QWidget* banner = nullptr;
        QWidget* divider = nullptr;
        QLabel* message = nullptr;
        PillButton* button = nullptr;
    };

    BannerParts makeBanner(QVBoxLayout& layout, const std::string& symbol, const QColor& colour,
                           const QString& title);
    QWidget* makeEmptyState();
    void scheduleRefresh();
    void refresh();
    void showRows();
    void fitHeight();
    void place();
    void rowClicked(const std::string& id, view::RowButton button);
    void openOptionsMenu();
    void scheduleBatteryRefresh();

    ApplicationModel& m_model;
    desktop::ClockTimers& m_timers;
    SceneActions m_scene;
    Presentation m_presentation;
    app::Subscription m_modelChanges;
    bool m_refreshQueued = false;
    view::ModelState m_state;
    view::MenuContent m_content;

    BannerParts m_extensionBanner;
    BannerParts m_updateBanner;
    QWidget* m_emptyState;
    QWidget* m_list;
    QVBoxLayout* m_listLayout;
    IconButton* m_options;
    QPointer<QMenu> m_optionsMenu;
    std::map<std::string, DeviceRow*> m_rows;
    std::map<std::uint64_t, WaitingRow*> m_waitingRows;

    std::optional<QRect> m_anchor; // where the drop-down hangs from while it is open
    std::optional<std::uint64_t> m_batteryTimer;
};

/// Where a drop-down of the size goes: its top-left corner, centred under the anchor and kept inside the
/// available area; above the anchor when there is no room below it.
QPoint dropDownPosition(const QRect& anchor, const QSize& size, const QRect& available);

} // namespace tandalo::ui
