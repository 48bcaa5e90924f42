#pragma once

#include "platform/busservice/BusProtocol.h"
#include "platform/busservice/BusSocket.h"
#include "simulation/SimulatedBus.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace simulation {

class BusServiceSession;

/// Carries out a client's command on the hosted devices (ServiceDevices::run).
using BusCommandHandler = std::function<busservice::CommandOutcome(const busservice::CommandWords&)>;

/// The bus service: serves a simulated bus to every process that connects to its Unix socket
/// (busservice::ServiceBus on their side). Each client opens entries in its own name, taken from the
/// connection's peer credentials and /proc, so the registry names the process that holds an interface;
/// a client that goes away, however it goes, has its opens closed and its subscriptions ended. A client
/// that breaks the protocol, or lets its unread replies pile up, is dropped without harm to the others.
///
/// Owns the socket file, the listening thread and the clients' sessions. Every member may be called from
/// any thread.
class BusService {
public:
    struct Limits {
        /// More clients than this are turned away at once.
        std::size_t clients = 128;
        /// Transfers one client may have running at the same time; more wait their turn.
        std::size_t transfersPerClient = 64;
        /// Replies and events waiting for a client that does not read, beyond which it is dropped.
        std::size_t queuedBytesPerClient = 64u << 20;
    };

    /// Listens at the socket path. A missing folder is made private to the user (0700); the default
    /// folder (busservice::defaultSocketPath) must be private to the user already when it exists. The
    /// socket is made readable and writable by the user only (0600). A socket file that nobody listens
    /// on any more is replaced. Throws busservice::BusProtocolError with the reason when it cannot listen.
    static std::unique_ptr<BusService> start(std::shared_ptr<SimulatedBus> bus,
                                             std::filesystem::path socketPath, BusCommandHandler commands,
                                             Limits limits);
    static std::unique_ptr<BusService> start(std::shared_ptr<SimulatedBus> bus,
                                             std::filesystem::path socketPath,
                                             BusCommandHandler commands = {});
    /// Stops listening, drops every client (closing what it held) and removes the socket file.
    ~BusService();
    BusService(const BusService&) = delete;
    BusService& operator=(const BusService&) = delete;

    const std::filesystem::path& socketPath() const noexcept { return m_socketPath; }
    /// The clients connected now, the dropped ones not yet counted out included.
    std::size_t clientCount() const;
    /// Blocks, in real time and at most for realLimit, until no more than count clients are connected and
    /// every client that left has been dropped whole (its opens closed). Returns false when the limit
    /// passed first.
    bool waitForClients(std::size_t count,
                        std::chrono::milliseconds realLimit = std::chrono::seconds(20)) const;

private:
    BusService(std::shared_ptr<SimulatedBus> bus, std::filesystem::path socketPath,
               BusCommandHandler commands, Limits limits, busservice::BusSocket listener);

    void acceptClients(std::stop_token stop);
    void reapFinished();
    void sessionFinished();

    const std::shared_ptr<SimulatedBus> m_bus;
    const std::filesystem::path m_socketPath;
    const BusCommandHandler m_commands;
    const Limits m_limits;
    busservice::BusSocket m_listener;
    platform::UniqueFd m_wake; // an eventfd: a stop request or a finished session wakes the listener

    mutable std::mutex m_mutex; // guards m_sessions; never held across a session's teardown
    mutable std::condition_variable m_sessionsChanged;
    std::list<std::shared_ptr<BusServiceSession>> m_sessions;

    std::jthread m_listening; // last: it uses everything above
};

} // namespace simulation
