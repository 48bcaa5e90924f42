#include "Tandalo/ui/SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
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

// The folder must be the user's own and closed to others, or another user could stand in for the
// running copy.
bool isPrivateFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat status {};
    return ::lstat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == ::getuid() &&
           (status.st_mode & 077) == 0;
}

int remainingMilliseconds(platform::Clock& clock, platform::Clock::TimePoint deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock.now());
    return static_cast<int>(std::clamp(left, std::chrono::milliseconds::zero(), waitSlice).count());
}

} // namespace

SingleInstance::SingleInstance(std::filesystem::path folder, platform::Clock& clock, QObject* parent)
    : QObject(parent), m_folder(std::move(folder)), m_clock(clock) {}

SingleInstance::~SingleInstance() = default;

std::filesystem::path SingleInstance::defaultFolder(const platform::Environment& environment) {
    const auto runtime = environment.value("XDG_RUNTIME_DIR");
    if (runtime && !runtime->empty() && runtime->front() == '/') {
        return std::filesystem::path(*runtime) / "tandalo";
    }
    return std::filesystem::path("/tmp") / ("tandalo-" + std::to_string(::getuid()));
}

SingleInstance::Role SingleInstance::claim() {
    if (!isPrivateFolder(m_folder)) {
        return Role::running;
    }
    m_lock.reset(::open((m_folder / lockName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!m_lock) {
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
    m_server->listen(path);
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
