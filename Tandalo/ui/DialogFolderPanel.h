#pragma once

#include "Tandalo/core/FolderPanel.h"

#include <functional>

class QFileDialog;

namespace tandalo::ui {

/// The folder panel of the core over Qt's file dialog: one folder, which the user may create there, with
/// the request's button title, message and start folder; the preset name is selected when that folder
/// exists already. Modal; main thread only.
class DialogFolderPanel final : public app::FolderPanel {
public:
    /// Runs the prepared dialog and says whether the user accepted it. The application runs it modally
    /// (exec()); tests answer it in place.
    using Run = std::function<bool(QFileDialog& dialog)>;

    explicit DialogFolderPanel(Run run = {});

    std::optional<std::filesystem::path> chooseFolder(const app::FolderPanelRequest& request) override;

private:
    Run m_run;
};

} // namespace tandalo::ui
