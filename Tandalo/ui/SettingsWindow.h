#pragma once

#include "Tandalo/core/Published.h"
#include "Tandalo/ui/ApplicationModel.h"
#include "Tandalo/view/SettingsContent.h"

#include <QWidget>

#include <functional>

class QAbstractButton;
class QCheckBox;
class QLabel;
class QPushButton;

namespace tandalo::ui {

class ElidedLabel;
class SymbolLabel;

/// The settings: automatic mounting, the mount folder and launch at login; the extension's state with the
/// ways to put it right and the set-up guide; the model's last error; the version and the update check.
/// It keeps nothing of its own: every control shows the model's value and every change goes to the model,
/// so it follows the model while it is open. Closing it hides it. 460 points wide, as high as its
/// content. Main thread only.
class SettingsWindow final : public QWidget {
    Q_OBJECT
public:
    static constexpr int fixedWidth = 460;

    SettingsWindow(ApplicationModel& model, std::function<void()> showSetupGuide, QWidget* parent = nullptr);

    /// Shows the window, or brings it to the front.
    void open();

    /// What it shows now, and its parts, for tests.
    const view::SettingsContent& content() const { return m_content; }
    QCheckBox* autoMountToggle() const { return m_autoMount; }
    QCheckBox* launchAtLoginToggle() const { return m_launchAtLogin; }
    QLabel* loginItemFailure() const { return m_loginItemFailure; }
    ElidedLabel* folderPath() const { return m_folder; }
    QLabel* extensionLabel() const { return m_extensionText; }
    QLabel* explanation() const { return m_explanation; }
    QWidget* lastErrorSection() const { return m_lastErrorSection; }
    QLabel* lastError() const { return m_lastError; }
    QLabel* version() const { return m_version; }
    /// The button with that title, wherever it stands.
    QAbstractButton* button(const QString& title) const;

private:
    void scheduleRefresh();
    void refresh();
    void fitHeight();

    ApplicationModel& m_model;
    std::function<void()> m_showSetupGuide;
    app::Subscription m_modelChanges;
    bool m_refreshQueued = false;
    view::SettingsContent m_content;

    QCheckBox* m_autoMount;
    ElidedLabel* m_folder;
    QCheckBox* m_launchAtLogin;
    QWidget* m_loginItemRow;
    QLabel* m_loginItemFailure;
    SymbolLabel* m_extensionSymbol;
    QLabel* m_extensionText;
    QLabel* m_explanation;
    QWidget* m_lastErrorSection;
    QLabel* m_lastError;
    QLabel* m_version;
    QPushButton* m_checkForUpdates;
};

} // namespace tandalo::ui
