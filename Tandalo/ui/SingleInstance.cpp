#include "Tandalo/ui/SingleInstance.h"

#include "platform/foundation/Logger.h"
#include "platform/foundation/OwnedFolder.h"
#include "platform/foundation/XDGFolders.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tandalo::ui {

namespace {

constexpr char lockName[] = "instance.lock";
constexpr char socketName[] = "instance.sock";
constexpr QByteArrayView reopenMessage = "reopen\n";
constexpr QByteArrayView answerMessage = "ok\n";

// The running copy takes the lock before it listens, so a copy may find no socket for a moment.
constexpr std::chrono::milliseconds connectRetry{10};
constexpr std::chrono::milliseconds waitSlice{20};

oslog::Logger instanceLog() {
    return oslog::Logger("com.brenwick.Tandalo", "instance");
}

int remainingMilliseconds(platform::Clock& clock, platform::Clock::TimePoint deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.now());
    return static_cast<int>(std::clamp(left, std::chrono::milliseconds::zero(), waitSlice).count());
}

} // namespace

SingleInstance::SingleInstance(std::vector<std::filesystem::path> folders, platform::Clock& clock,
                               QObject* parent)
    : QObject(parent), m_folders(std::move(folders)), m_clock(clock) {}

SingleInstance::~SingleInstance() = default;

std::vector<std::filesystem::path> SingleInstance::defaultFolders(const platform::Environment& environment) {
    const auto runtime = environment.value("XDG_RUNTIME_DIR");
    if (runtime && !runtime->empty() && runtime->front() == '/') {
        return {std::filesystem::path(*runtime) / "tandalo"};
    }
    std::vector<std::filesystem::path> folders{std::filesystem::path("/tmp") /
                                               ("tandalo-" + std::to_string(::getuid()))};
    if (const auto cache = platform::XDGFolders::cacheHome(environment); !cache.empty()) {
        folders.push_back(cache / "tandalo");
    }
    return folders;
}

SingleInstance::Role SingleInstance::claim() {
    // The folder must be the user's own and closed to others, or another user could stand in for the
    // running copy, or switch the guard off by holding the lock's folder.
    for (const auto& folder : m_folders) {
        try {
            platform::OwnedFolder::privateFolder(folder);
            m_folder = folder;
            break;
        } catch (const std::exception& error) {
            instanceLog().error("no single-copy lock in %{public}s: %{public}s", folder.string(),
                                error.what());
        }
    }
    if (m_folder.empty()) {
        instanceLog().error(
            "no private folder for the single-copy lock: another copy may run beside this one");
        return Role::running;
    }
    m_lock.reset(::open((m_folder / lockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!m_lock) {
        instanceLog().error("the single-copy lock in %{public}s cannot be opened (%{public}s): another copy "
                            "may run beside this one",
                            m_folder.string(), std::strerror(errno));
        return Role::running;
    }
    int locked = 0;
    do {
        locked = ::flock(m_lock.get(), LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0) {
        serve();
        return Role::running;
    }
    m_lock.reset();
    if (errno != EWOULDBLOCK) {
        return Role::running;
    }
    handOver();
    return Role::handedOver;
}

void SingleInstance::serve() {
    const QString path = QString::fromStdString((m_folder / socketName).string());
    // Only the lock's holder gets here, so a socket file left behind is a dead copy's.
    QLocalServer::removeServer(path);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::answer);
    // The lock keeps later copies from running all the same; without the socket they cannot ask this one
    // to show itself, and end after their wait.
    if (!m_server->listen(path)) {
        instanceLog().error("the single-copy socket %{public}s cannot listen: %{public}s", path.toStdString(),
                            m_server->errorString().toStdString());
    }
}

void SingleInstance::answer() {
    while (QLocalSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                return;
            }
            if (socket->readLine() == reopenMessage.toByteArray()) {
                emit reopenRequested();
            }
            socket->write(answerMessage.data(), answerMessage.size());
            socket->disconnectFromServer();
        });
    }
}

void SingleInstance::handOver() {
    const QString path = QString::fromStdString((m_folder / socketName).string());
    const auto deadline = m_clock.deadlineAfter(handoverLimit);
    QLocalSocket socket;
    while (true) {
        socket.connectToServer(path);
        if (socket.waitForConnected(remainingMilliseconds(m_clock, deadline))) {
            break;
        }
        if (m_clock.now() >= deadline) {
            return;
        }
        m_clock.sleepFor(connectRetry);
    }
    socket.write(reopenMessage.data(), reopenMessage.size());
    socket.flush();
    // The answer says the running copy has shown itself; without one, this copy ends all the same.
    while (!socket.canReadLine() && socket.state() == QLocalSocket::ConnectedState &&
           m_clock.now() < deadline) {
        socket.waitForReadyRead(remainingMilliseconds(m_clock, deadline));
    }
}

} // namespace tandalo::ui
