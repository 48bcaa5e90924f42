#include "simulation/service/BusService.h"

#include "platform/foundation/Logger.h"
#include "platform/foundation/OwnedFolder.h"
#include "platform/foundation/ProcessInfo.h"
#include "simulation/service/BusServiceSession.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simulation {

namespace {

using busservice::BusProtocolError;

oslog::Logger serviceLog() {
    return oslog::Logger("com.brenwick.Tandalo.bus", "service");
}

BusProtocolError systemError(const std::string& what, int error) {
    return BusProtocolError(what + ": " + std::strerror(error));
}

/// Makes the socket's folder, private to the user, when it is missing; refuses one that other users may
/// enter, since whoever can reach the socket can open the user's devices.
void preparePrivateFolder(const std::filesystem::path& folder) {
    try {
        platform::OwnedFolder::privateFolder(folder);
    } catch (const platform::FoundationError& error) {
        throw BusProtocolError(std::string("the socket's folder: ") + error.what());
    }
}

/// Removes a socket file that nobody listens on any more; refuses to touch a live one or anything else.
void removeStaleSocket(const std::filesystem::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        return;
    }
    if (!S_ISSOCK(status.st_mode)) {
        throw BusProtocolError(path.string() + " exists and is not a socket");
    }
    try {
        busservice::BusSocket::connect(path);
    } catch (const BusProtocolError&) {
        ::unlink(path.c_str());
        return;
    }
    throw BusProtocolError("a bus service already listens at " + path.string());
}

void signal(const platform::UniqueFd& wake) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wake.get(), &one, sizeof one);
}

} // namespace

std::unique_ptr<BusService> BusService::start(std::shared_ptr<SimulatedBus> bus,
                                              std::filesystem::path socketPath, BusCommandHandler commands) {
    return start(std::move(bus), std::move(socketPath), std::move(commands), Limits{});
}

std::unique_ptr<BusService> BusService::start(std::shared_ptr<SimulatedBus> bus,
                                              std::filesystem::path socketPath, BusCommandHandler commands,
                                              Limits limits) {
    socketPath = std::filesystem::absolute(socketPath);
    preparePrivateFolder(socketPath.parent_path());
    removeStaleSocket(socketPath);
    auto listener = busservice::BusSocket::listen(socketPath);
    return std::unique_ptr<BusService>(new BusService(std::move(bus), std::move(socketPath),
                                                      std::move(commands), limits, std::move(listener)));
}

BusService::BusService(std::shared_ptr<SimulatedBus> bus, std::filesystem::path socketPath,
                       BusCommandHandler commands, Limits limits, busservice::BusSocket listener)
    : m_bus(std::move(bus)), m_socketPath(std::move(socketPath)), m_commands(std::move(commands)),
      m_limits(limits), m_listener(std::move(listener)), m_wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_wake) {
        ::unlink(m_socketPath.c_str());
        throw systemError("eventfd", errno);
    }
    m_listening = std::jthread([this](std::stop_token stop) { acceptClients(stop); });
}

BusService::~BusService() {
    m_listening.request_stop();
    signal(m_wake);
    m_listening.join();
    std::list<std::shared_ptr<BusServiceSession>> sessions;
    {
        std::lock_guard guard(m_mutex);
        sessions.swap(m_sessions);
    }
    for (const auto& session : sessions) {
        session->stop();
    }
    for (const auto& session : sessions) {
        session->join();
    }
    sessions.clear();
    ::unlink(m_socketPath.c_str());
}

std::size_t BusService::clientCount() const {
    std::lock_guard guard(m_mutex);
    std::size_t count = 0;
    for (const auto& session : m_sessions) {
        count += session->finished() ? 0 : 1;
    }
    return count;
}

bool BusService::waitForClients(std::size_t count, std::chrono::milliseconds realLimit) const {
    std::unique_lock lock(m_mutex);
    return m_sessionsChanged.wait_for(lock, realLimit, [&] {
        std::size_t live = 0;
        for (const auto& session : m_sessions) {
            live += session->finished() ? 0 : 1;
        }
        return live <= count;
    });
}

void BusService::sessionFinished() {
    {
        // Taken so that a waiter between its check and its wait cannot miss the news.
        std::lock_guard guard(m_mutex);
    }
    m_sessionsChanged.notify_all();
    signal(m_wake);
}

void BusService::reapFinished() {
    std::list<std::shared_ptr<BusServiceSession>> finished;
    {
        std::lock_guard guard(m_mutex);
        for (auto session = m_sessions.begin(); session != m_sessions.end();) {
            if ((*session)->finished()) {
                finished.push_back(std::move(*session));
                session = m_sessions.erase(session);
            } else {
                ++session;
            }
        }
    }
    for (const auto& session : finished) {
        session->join();
    }
}

void BusService::acceptClients(std::stop_token stop) {
    while (!stop.stop_requested()) {
        pollfd watched[2] = {{m_listener.descriptor(), POLLIN, 0}, {m_wake.get(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            serviceLog().fault("the bus service stops listening: %{public}s", std::strerror(errno));
            return;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto got = ::read(m_wake.get(), &count, sizeof count);
            reapFinished();
            continue;
        }
        if ((watched[0].revents & POLLIN) == 0) {
            continue;
        }
        auto accepted = m_listener.accept();
        if (!accepted) {
            // A client that left before it was accepted, or no descriptors left: the next one may fare
            // better.
            continue;
        }
        auto socket = std::move(*accepted);
        usb::ProcessIdentity client;
        try {
            const auto credentials = socket.peerCredentials();
            if (credentials.uid != ::geteuid() && credentials.uid != 0) {
                serviceLog().error("turned away a client of user %u", static_cast<unsigned>(credentials.uid));
                continue;
            }
            client.pid = static_cast<std::int32_t>(credentials.pid);
            client.name = platform::processName(credentials.pid).value_or("unknown");
        } catch (const BusProtocolError& error) {
            serviceLog().error("turned away a client: %{public}s", error.what());
            continue;
        }
        std::lock_guard guard(m_mutex);
        if (m_sessions.size() >= m_limits.clients) {
            serviceLog().error("turned away %{public}s: %llu clients already", client.ownerText(),
                               static_cast<unsigned long long>(m_sessions.size()));
            continue;
        }
        auto session = std::make_shared<BusServiceSession>(std::move(socket), *m_bus, m_commands, client,
                                                           m_limits, [this] { sessionFinished(); });
        session->start();
        m_sessions.push_back(std::move(session));
    }
}

} // namespace simulation
