#include "Tandalo/ui/DialogFolderPanel.h"

#include <QApplication>
#include <QFileDialog>
#include <QFileInfo>

namespace tandalo::ui {

DialogFolderPanel::DialogFolderPanel(Run run) : m_run(std::move(run)) {
    if (!m_run) {
        m_run = [](QFileDialog& dialog) { return dialog.exec() == QDialog::Accepted; };
    }
}

std::optional<std::filesystem::path> DialogFolderPanel::chooseFolder(const app::FolderPanelRequest& request) {
    QFileDialog dialog(QApplication::activeWindow());
    // The message says what the folder is for; a file dialog shows no text of its own but its title.
    dialog.setWindowTitle(QString::fromStdString(request.message));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, QString::fromStdString(request.prompt));
    const QString start = QString::fromStdString(request.startFolder.string());
    dialog.setDirectory(start);
    if (!request.presetName.empty() &&
        QFileInfo(QString::fromStdString((request.startFolder / request.presetName).string())).isDir()) {
        dialog.selectFile(QString::fromStdString(request.presetName));
    }
    if (!m_run(dialog)) {
        return std::nullopt;
    }
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.front().isEmpty()) {
        return std::nullopt;
    }
    return std::filesystem::path(chosen.front().toStdString());
}

} // namespace tandalo::ui
