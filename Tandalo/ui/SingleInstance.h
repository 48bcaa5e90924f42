#pragma once

#include "platform/foundation/Clock.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/UniqueFd.h"

#include <QObject>

#include <chrono>
#include <filesystem>
#include <vector>

class QLocalServer;

namespace tandalo::ui {

/// Keeps one copy of the application running per user. The first copy to take the instance lock (an
/// flock on a file in the user's private runtime folder, which the system drops when the process ends)
/// is the one that runs: it serves a local socket beside the lock. Every later copy asks it through that
/// socket to show itself, waits at most 3 s for the answer, and then ends. Copies that start at the same
/// moment cannot all end: exactly one of them holds the lock. Main thread only; the running copy needs
/// the event loop to answer.
class SingleInstance final : public QObject {
    Q_OBJECT
public:
    enum class Role { running, handedOver };

    static constexpr std::chrono::seconds handoverLimit{3};

    /// The lock and the socket go into the first of the folders that is private to the user, made so
    /// when it does not exist; one that another user made, or that others may enter, is passed over.
    SingleInstance(std::vector<std::filesystem::path> folders, platform::Clock& clock,
                   QObject* parent = nullptr);
    SingleInstance(std::filesystem::path folder, platform::Clock& clock, QObject* parent = nullptr)
        : SingleInstance(std::vector<std::filesystem::path>{std::move(folder)}, clock, parent) {}
    ~SingleInstance() override;

    /// "tandalo" in $XDG_RUNTIME_DIR; without one /tmp/tandalo-<uid> (the bus service's folder), then
    /// "tandalo" in the user's cache folder, for when another user made the first one before.
    static std::vector<std::filesystem::path> defaultFolders(const platform::Environment& environment);

    /// Takes the lock and serves the socket (running), or hands over to the copy that holds it (then
    /// this copy should end). Where no folder can be made safe or the lock cannot be opened, the copy
    /// runs, and the log says why the guard is off: a second copy is better than none. Blocks for at most
    /// the hand-over limit.
    Role claim();
    /// The folder the lock went into; empty before claim() and when none was safe.
    const std::filesystem::path& folder() const noexcept { return m_folder; }

signals:
    /// Another copy was started: show the application.
    void reopenRequested();

private:
    void serve();
    void handOver();
    void answer();

    std::vector<std::filesystem::path> m_folders;
    std::filesystem::path m_folder;
    platform::Clock& m_clock;
    platform::UniqueFd m_lock;
    QLocalServer* m_server = nullptr;
};

} // namespace tandalo::ui
