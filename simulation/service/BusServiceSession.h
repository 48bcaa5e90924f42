#pragma once

#include "platform/busservice/BusProtocol.h"
#include "platform/busservice/BusSocket.h"
#include "simulation/SimulatedBus.h"
#include "simulation/service/BusService.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace simulation {

/// One client of the bus service: reads its requests, answers them from the bus in the client's name and
/// forwards the registry events it subscribed to. Requests that may wait (transfers) run on workers of
/// their own, everything else on the reader, so a close or an abort always gets through to end a
/// transfer. Events and the reader's replies leave through one writer thread, so neither the bus's event
/// thread nor the reader ever blocks on a client that does not read; a worker sends its own reply when
/// nothing waits before it.
///
/// Owns its socket and threads, and the opens and subscriptions it made on the client's behalf: when the
/// connection ends, however it ends, the reader closes and ends them all before the session counts as
/// finished.
class BusServiceSession {
public:
    BusServiceSession(busservice::BusSocket socket, SimulatedBus& bus, const BusCommandHandler& commands,
                      usb::ProcessIdentity client, BusService::Limits limits,
                      std::function<void()> onFinished);
    /// stop() and join().
    ~BusServiceSession();
    BusServiceSession(const BusServiceSession&) = delete;
    BusServiceSession& operator=(const BusServiceSession&) = delete;

    void start();
    /// Ends the connection; the reader then tears the session down. Any thread.
    void stop() noexcept;
    /// Whether the session has been torn down: its opens closed, its subscriptions ended.
    bool finished() const;
    /// Waits for the reader thread. Not from the reader itself.
    void join();

    const usb::ProcessIdentity& client() const noexcept { return m_client; }

private:
    /// Memory for a read's bytes, left uninitialised: the bus writes what it reads, and only that much is
    /// sent.
    struct ReadBuffer {
        std::unique_ptr<std::byte[]> bytes;
        std::size_t capacity = 0;
    };
    struct Outgoing {
        busservice::FrameHeader header;
        std::vector<std::byte> fields;
        ReadBuffer data; // a read's bytes, sent after the fields
        std::size_t dataSize = 0;
    };
    struct SubscriptionState {
        usb::SubscriptionID busID = 0;
        bool replied = false;
        std::vector<Outgoing> held; // events that came before the reply to the subscription
    };

    void read() noexcept;
    void greet();
    void handle(const busservice::FrameHeader& header, std::vector<std::byte> body);
    void subscribe(std::uint64_t request, busservice::MessageReader& reader);
    /// Runs the request now and answers with what body writes, or with the bus's failure.
    void answer(std::uint64_t request, busservice::MessageKind kind,
                const std::function<void(busservice::MessageWriter&)>& body);
    /// The same on a worker, for a request that may wait.
    void answerLater(std::uint64_t request, busservice::MessageKind kind,
                     std::function<void(busservice::MessageWriter&)> body);
    void schedule(std::function<void()> work);
    void runWorker();
    bool owns(usb::HandleID handle) const;
    void tearDown() noexcept;

    void reply(std::uint64_t request, busservice::MessageWriter fields);
    void reply(std::uint64_t request, busservice::MessageWriter fields, ReadBuffer data,
               std::size_t dataSize);
    void fail(std::uint64_t request, usb::Status status, busservice::MessageKind kind);
    void sendAnswer(Outgoing frame);
    void forwardEvent(std::uint64_t subscription, const usb::RegistryEvent& event);
    void queueLocked(Outgoing frame);
    /// Sends the frame with m_mutex released meanwhile; no other frame starts until it is out. Its read
    /// buffer is kept for the next read.
    void sendLocked(std::unique_lock<std::mutex>& lock, Outgoing& frame);
    /// A buffer for a read of length bytes: one that a sent reply let go of when one is large enough.
    ReadBuffer takeReadBuffer(std::size_t length);
    void keepReadBufferLocked(ReadBuffer buffer) noexcept;
    /// The memory of a write's body that the bus has taken, for the next write's body.
    std::vector<std::byte> takeSpareBody(std::size_t length);
    void keepBody(std::vector<std::byte> body) noexcept;
    /// The connection failed or the client stopped reading: nothing more is sent, and the reader ends.
    void brokenLocked();
    void runWriter() noexcept;

    busservice::BusSocket m_socket;
    SimulatedBus& m_bus;
    const BusCommandHandler& m_commands;
    const usb::ProcessIdentity m_client;
    const BusService::Limits m_limits;
    const std::function<void()> m_onFinished;

    mutable std::mutex m_mutex; // guards everything below up to the threads; never held across a bus call
    std::condition_variable m_workChanged;
    std::condition_variable m_outgoingChanged;
    std::set<usb::HandleID> m_handles;
    std::map<std::uint64_t, SubscriptionState> m_subscriptions; // by the client's number
    std::deque<std::function<void()>> m_work;
    std::size_t m_idleWorkers = 0;
    std::vector<std::thread> m_workers;
    std::deque<Outgoing> m_outgoing;
    std::vector<ReadBuffer> m_spareReadBuffers;
    std::vector<std::vector<std::byte>> m_spareBodies;
    std::size_t m_queuedBytes = 0;
    bool m_writing = false; // a message is going out on the socket; no other may start
    bool m_broken = false;
    bool m_stopping = false;
    bool m_finished = false;

    std::thread m_writer;
    std::thread m_reader;
};

} // namespace simulation
