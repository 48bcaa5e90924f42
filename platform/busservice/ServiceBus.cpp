#include "platform/busservice/ServiceBus.h"

#include "platform/busservice/BusSocket.h"

#include <atomic>
#include <exception>
#include <functional>
#include <utility>

namespace busservice {

namespace {

using namespace std::chrono_literals;

// How long the bus waits between attempts to reach a service that went away, while anyone subscribes.
constexpr auto reconnectInterval = 1s;

// A client's open names its connection in its top bits, so that an open from a lost connection can never
// be taken for one that the next connection made.
constexpr unsigned generationShift = 40;
constexpr usb::HandleID serviceHandleMask = (usb::HandleID{1} << generationShift) - 1;

template <typename Decode> auto decodeWhole(std::span<const std::byte> body, Decode&& decode) {
    MessageReader reader(body);
    auto value = decode(reader);
    reader.finish();
    return value;
}

} // namespace

// --- One connection ----------------------------------------------------------------------------------

struct ServiceBus::Call {
    explicit Call(MessageKind kind, usb::Status lostStatus = usb::Status::unavailable)
        : kind(kind), lostStatus(lostStatus) {}

    MessageKind kind;
    /// What the caller is told when the connection goes: `unavailable` for the registry, `noDevice` for
    /// an open, whose devices went with the connection.
    usb::Status lostStatus;
    MessageWriter fields;
    std::span<const std::byte> data; // a write's bytes, sent after the fields as they are
    std::vector<std::byte> body;
    /// A read's reply lands straight in the caller's buffer.
    bool intoCaller = false;
    std::span<std::byte> into;
    std::size_t received = 0;
    /// Runs on the reader thread with the reply, before anything that came after it.
    std::function<void(std::span<const std::byte>)> onReply;
    std::optional<usb::USBError> failure;
    bool done = false;
};

struct ServiceBus::Subscriber {
    std::string className;
    Observer observer;
    std::map<usb::RegistryEntryID, usb::RegistryEntry> known; // guarded by the bus's m_subscriptionMutex
    std::recursive_mutex delivering; // held while the observer runs; unsubscribe waits for it
    bool active = true;              // guarded by delivering
};

/// One connection to the service: the socket, the calls waiting for their replies and the thread that
/// reads the socket. Once lost it stays lost; the bus makes a new one.
class ServiceBus::Connection {
public:
    Connection(BusSocket socket, std::uint64_t generation, ServiceBus& owner)
        : m_socket(std::move(socket)), m_generation(generation), m_owner(owner) {
        m_reader = std::thread([this] { read(); });
    }
    ~Connection() { close(); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    /// Connects and greets the service; throws BusProtocolError when either fails.
    static BusSocket greet(const std::filesystem::path& path, std::chrono::milliseconds limit) {
        auto socket = BusSocket::connect(path);
        // A listener that accepted and never speaks must not hold every caller of the bus.
        socket.setReceiveLimit(limit);
        MessageWriter hello;
        hello.write(protocolMagic, protocolVersion);
        socket.send({static_cast<std::uint32_t>(hello.bytes().size()), MessageKind::hello, 0},
                    {hello.bytes()});
        const auto header = socket.receiveHeader();
        if (!header || header->kind != MessageKind::reply || header->request != 0) {
            throw BusProtocolError("the service did not answer the greeting");
        }
        decodeWhole(socket.receiveBody(header->bodyLength), [](MessageReader& reader) {
            const auto [magic, version] = reader.readAll<std::string, std::uint16_t>();
            if (magic != protocolMagic || version != protocolVersion) {
                throw BusProtocolError("the service speaks another protocol");
            }
            return 0;
        });
        socket.setReceiveLimit(std::chrono::milliseconds(0));
        return socket;
    }

    std::uint64_t generation() const noexcept { return m_generation; }
    bool alive() const {
        std::lock_guard guard(m_mutex);
        return m_alive;
    }

    /// Sends the request and waits for its reply; throws the service's failure, or the call's
    /// lostStatus when the connection goes.
    /// The call stays the caller's: it waits here until the reader is done with it.
    std::vector<std::byte> call(Call& call) {
        std::uint64_t request = 0;
        {
            std::lock_guard guard(m_mutex);
            if (!m_alive) {
                throw usb::USBError(call.lostStatus, name(call.kind));
            }
            request = m_nextRequest++;
            m_calls.emplace(request, &call);
        }
        try {
            std::lock_guard guard(m_sendMutex);
            const auto length = call.fields.bytes().size() + call.data.size();
            m_socket.send({static_cast<std::uint32_t>(length), call.kind, request},
                          {call.fields.bytes(), call.data});
        } catch (const BusProtocolError&) {
            // The reader sees the connection end too, and fails every waiting call with it, this one
            // included.
            abandon();
        }
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return call.done; });
        if (call.failure) {
            throw *call.failure;
        }
        return std::move(call.body);
    }

    /// Ends the connection after a reply that made no sense; the reader then fails every waiting call.
    void abandon() noexcept { m_socket.shutdown(); }

    /// Ends the connection and waits until its reader has finished, lost-connection work included.
    void close() noexcept {
        m_socket.shutdown();
        if (m_reader.joinable() && m_reader.get_id() != std::this_thread::get_id()) {
            m_reader.join();
        }
    }

private:
    void read() noexcept {
        try {
            while (const auto header = m_socket.receiveHeader()) {
                if (header->kind == MessageKind::event) {
                    const auto body = m_socket.receiveBody(header->bodyLength);
                    auto [subscription, kind, entry] = decodeWhole(body, [](MessageReader& reader) {
                        return reader
                            .readAll<usb::SubscriptionID, usb::RegistryEvent::Kind, usb::RegistryEntry>();
                    });
                    m_owner.recordEvent(subscription, {kind, std::move(entry)});
                } else if (header->kind == MessageKind::reply || header->kind == MessageKind::failure) {
                    receiveAnswer(*header);
                } else {
                    throw BusProtocolError("the service sent a " + name(header->kind) + " request");
                }
            }
        } catch (const std::exception&) {
            // A broken or garbled connection ends like a closed one.
        }
        {
            std::lock_guard guard(m_mutex);
            m_alive = false;
            for (auto& [request, call] : m_calls) {
                call->failure = usb::USBError(call->lostStatus, name(call->kind));
                call->done = true;
            }
            m_calls.clear();
        }
        m_changed.notify_all();
        m_owner.connectionLost();
    }

    void receiveAnswer(const FrameHeader& header) {
        Call* call = nullptr;
        {
            std::lock_guard guard(m_mutex);
            const auto found = m_calls.find(header.request);
            if (found == m_calls.end()) {
                throw BusProtocolError("an answer to no request");
            }
            call = found->second;
        }
        if (header.kind == MessageKind::failure) {
            const auto [status, request] =
                decodeWhole(m_socket.receiveBody(header.bodyLength),
                            [](MessageReader& reader) { return reader.readAll<usb::Status, std::string>(); });
            call->failure = usb::USBError(status, request);
        } else if (call->intoCaller) {
            // The caller waits, so its buffer stays valid while the bytes land in it.
            if (header.bodyLength > call->into.size()) {
                throw BusProtocolError("a read answered with more bytes than asked for");
            }
            if (!m_socket.receive(call->into.first(header.bodyLength))) {
                throw BusProtocolError("the connection closed in the middle of a message");
            }
            call->received = header.bodyLength;
        } else {
            call->body = m_socket.receiveBody(header.bodyLength);
            if (call->onReply) {
                call->onReply(call->body);
            }
        }
        {
            std::lock_guard guard(m_mutex);
            call->done = true;
            m_calls.erase(header.request);
        }
        m_changed.notify_all();
    }

    BusSocket m_socket;
    const std::uint64_t m_generation;
    ServiceBus& m_owner;
    std::mutex m_sendMutex;     // serialises whole messages on the socket; taken before m_mutex
    mutable std::mutex m_mutex; // guards the members below
    std::condition_variable m_changed;
    bool m_alive = true;
    std::uint64_t m_nextRequest = 1;
    std::map<std::uint64_t, Call*> m_calls; // each waited for by its caller until done
    std::thread m_reader;                   // last: it reads everything above
};

// --- The bus -----------------------------------------------------------------------------------------

ServiceBus::ServiceBus(std::filesystem::path socketPath, platform::Clock& clock,
                       std::chrono::milliseconds greetingLimit)
    : m_socketPath(std::move(socketPath)), m_clock(clock), m_greetingLimit(greetingLimit) {
    {
        std::lock_guard guard(m_connectionMutex);
        connectLocked();
    }
    m_deliveryThread = std::jthread([this](std::stop_token stop) { runDeliveries(stop); });
}

ServiceBus::~ServiceBus() {
    m_deliveryThread.request_stop();
    m_deliveryThread.join();
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard guard(m_connectionMutex);
        connection = std::move(m_connection);
    }
    if (connection) {
        connection->close();
    }
}

bool ServiceBus::isConnected() const {
    std::lock_guard guard(m_connectionMutex);
    return m_connection && m_connection->alive();
}

std::shared_ptr<ServiceBus::Connection> ServiceBus::liveConnection() {
    std::lock_guard guard(m_connectionMutex);
    if (m_connection && m_connection->alive()) {
        return m_connection;
    }
    return connectLocked();
}

std::shared_ptr<ServiceBus::Connection> ServiceBus::connectLocked() {
    if (m_connection) {
        // Its reader has told the subscribers what they lost before anything of a new connection arrives.
        m_connection->close();
        m_connection.reset();
    }
    try {
        m_connection = std::make_shared<Connection>(Connection::greet(m_socketPath, m_greetingLimit),
                                                    ++m_generation, *this);
    } catch (const BusProtocolError&) {
        return nullptr;
    }
    std::vector<std::pair<usb::SubscriptionID, std::string>> subscriptions;
    {
        std::lock_guard guard(m_subscriptionMutex);
        m_connected = true;
        for (const auto& [id, subscriber] : m_subscribers) {
            subscriptions.emplace_back(id, subscriber->className);
        }
    }
    for (const auto& [id, className] : subscriptions) {
        try {
            subscribeOn(*m_connection, id, className, true);
        } catch (const usb::USBError&) {
            // The connection went again; the next one subscribes anew.
        }
    }
    return m_connection;
}

std::pair<std::shared_ptr<ServiceBus::Connection>, usb::HandleID>
ServiceBus::connectionOf(usb::HandleID handle, MessageKind kind) {
    std::lock_guard guard(m_connectionMutex);
    if (!m_connection || !m_connection->alive() ||
        (handle >> generationShift) != m_connection->generation()) {
        // The connection that made the open is gone, and the service closed the open with it.
        throw usb::USBError(usb::Status::noDevice, name(kind));
    }
    return {m_connection, handle & serviceHandleMask};
}

std::vector<std::byte> ServiceBus::ask(Connection& connection, Call& call) {
    return connection.call(call);
}

template <typename T>
T ServiceBus::decodeReply(Connection& connection, std::span<const std::byte> body, MessageKind kind) {
    try {
        return decodeWhole(body, [](MessageReader& reader) { return reader.read<T>(); });
    } catch (const BusProtocolError&) {
        connection.abandon();
        throw usb::USBError(usb::Status::error, name(kind));
    }
}

template <typename T, typename... Fields>
T ServiceBus::askRegistry(MessageKind kind, const Fields&... fields) {
    const auto connection = liveConnection();
    if (!connection) {
        throw usb::USBError(usb::Status::unavailable, name(kind));
    }
    Call call{kind};
    call.fields.write(fields...);
    return decodeReply<T>(*connection, ask(*connection, call), kind);
}

template <typename T, typename... Fields>
T ServiceBus::askOnOpen(usb::HandleID handle, MessageKind kind, const Fields&... fields) {
    const auto [connection, serviceHandle] = connectionOf(handle, kind);
    Call call{kind, usb::Status::noDevice};
    call.fields.write(serviceHandle, fields...);
    return decodeReply<T>(*connection, ask(*connection, call), kind);
}

// --- Registry ----------------------------------------------------------------------------------------

std::vector<usb::RegistryEntry> ServiceBus::matchingEntries(std::string_view className) {
    return askRegistry<std::vector<usb::RegistryEntry>>(MessageKind::matchingEntries, className);
}

std::optional<usb::RegistryEntry> ServiceBus::entry(usb::RegistryEntryID id) {
    return askRegistry<std::optional<usb::RegistryEntry>>(MessageKind::entry, id);
}

std::vector<usb::RegistryEntry> ServiceBus::children(usb::RegistryEntryID id) {
    return askRegistry<std::vector<usb::RegistryEntry>>(MessageKind::children, id);
}

std::optional<usb::PropertyValue> ServiceBus::property(usb::RegistryEntryID id, std::string_view key) {
    return askRegistry<std::optional<usb::PropertyValue>>(MessageKind::property, id, key);
}

CommandOutcome ServiceBus::command(const CommandWords& words) {
    return askRegistry<CommandOutcome>(MessageKind::command, words);
}

// --- Notifications -----------------------------------------------------------------------------------

usb::USBBus::Subscription ServiceBus::subscribe(std::string_view className, Observer observer) {
    auto subscriber = std::make_shared<Subscriber>();
    subscriber->className = std::string(className);
    subscriber->observer = std::move(observer);
    // A connection made now subscribes every registered subscriber itself: the new one is registered
    // after it, or the service would hear its number twice and drop the connection.
    const auto connection = liveConnection();
    if (!connection) {
        throw usb::USBError(usb::Status::unavailable, "subscribe");
    }
    usb::SubscriptionID id = 0;
    {
        std::lock_guard guard(m_subscriptionMutex);
        id = m_nextSubscription++;
        // Registered before the request goes out, so that no event of it can arrive unclaimed.
        m_subscribers.emplace(id, subscriber);
    }
    try {
        return {id, subscribeOn(*connection, id, subscriber->className, false)};
    } catch (...) {
        std::lock_guard guard(m_subscriptionMutex);
        m_subscribers.erase(id);
        throw;
    }
}

std::vector<usb::RegistryEntry> ServiceBus::subscribeOn(Connection& connection, usb::SubscriptionID id,
                                                        const std::string& className, bool announceExisting) {
    Call call{MessageKind::subscribe};
    call.fields.write(id, className);
    std::vector<usb::RegistryEntry> existing;
    // The existing entries are recorded on the reader thread, before any event that follows the reply.
    call.onReply = [&](std::span<const std::byte> body) {
        existing = decodeWhole(
            body, [](MessageReader& reader) { return reader.read<std::vector<usb::RegistryEntry>>(); });
        recordExisting(id, existing, announceExisting);
    };
    ask(connection, call);
    return existing;
}

void ServiceBus::unsubscribe(usb::SubscriptionID id) noexcept {
    std::shared_ptr<Subscriber> subscriber;
    {
        std::lock_guard guard(m_subscriptionMutex);
        const auto found = m_subscribers.find(id);
        if (found == m_subscribers.end()) {
            return;
        }
        subscriber = std::move(found->second);
        m_subscribers.erase(found);
    }
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard guard(m_connectionMutex);
        if (m_connection && m_connection->alive()) {
            connection = m_connection;
        }
    }
    if (connection) {
        try {
            Call call{MessageKind::unsubscribe};
            call.fields.write(id);
            ask(*connection, call);
        } catch (const usb::USBError&) {
            // A lost connection took the subscription with it.
        }
    }
    // Waits for a delivery in progress; the recursive mutex lets an observer end its own subscription.
    std::lock_guard guard(subscriber->delivering);
    subscriber->active = false;
}

void ServiceBus::recordExisting(usb::SubscriptionID id, std::vector<usb::RegistryEntry> existing,
                                bool announce) {
    {
        std::lock_guard guard(m_subscriptionMutex);
        const auto found = m_subscribers.find(id);
        if (found == m_subscribers.end()) {
            return;
        }
        for (auto& entry : existing) {
            if (announce) {
                m_deliveries.push_back({id, {usb::RegistryEvent::Kind::published, entry}});
            }
            found->second->known.insert_or_assign(entry.id, std::move(entry));
        }
    }
    m_deliveriesChanged.notify_all();
}

void ServiceBus::recordEvent(usb::SubscriptionID id, usb::RegistryEvent event) {
    {
        std::lock_guard guard(m_subscriptionMutex);
        const auto found = m_subscribers.find(id);
        if (found == m_subscribers.end()) {
            return; // unsubscribed while the event was on its way
        }
        auto& known = found->second->known;
        if (event.kind == usb::RegistryEvent::Kind::published) {
            known.insert_or_assign(event.entry.id, event.entry);
        } else {
            known.erase(event.entry.id);
        }
        m_deliveries.push_back({id, std::move(event)});
    }
    m_deliveriesChanged.notify_all();
}

void ServiceBus::connectionLost() {
    {
        std::lock_guard guard(m_subscriptionMutex);
        m_connected = false;
        // Without the service its devices are gone, as far as anyone here can tell.
        for (auto& [id, subscriber] : m_subscribers) {
            for (auto& [entryID, entry] : subscriber->known) {
                m_deliveries.push_back({id, {usb::RegistryEvent::Kind::terminated, std::move(entry)}});
            }
            subscriber->known.clear();
        }
    }
    m_deliveriesChanged.notify_all();
}

void ServiceBus::runDeliveries(std::stop_token stop) {
    std::unique_lock lock(m_subscriptionMutex);
    while (!stop.stop_requested()) {
        if (!m_deliveries.empty()) {
            auto delivery = std::move(m_deliveries.front());
            m_deliveries.pop_front();
            const auto found = m_subscribers.find(delivery.subscription);
            const auto subscriber = found == m_subscribers.end() ? nullptr : found->second;
            lock.unlock();
            if (subscriber) {
                std::lock_guard guard(subscriber->delivering);
                if (subscriber->active) {
                    try {
                        subscriber->observer(delivery.event);
                    } catch (const std::exception&) {
                        // An observer's failure must not end the deliveries to the others.
                    }
                }
            }
            lock.lock();
            continue;
        }
        if (m_connected || m_subscribers.empty()) {
            m_deliveriesChanged.wait(lock, stop, [&] {
                return !m_deliveries.empty() || (!m_connected && !m_subscribers.empty());
            });
            continue;
        }
        // Someone listens, and the service has gone: look for it again now and then.
        m_clock.waitFor(lock, m_deliveriesChanged, reconnectInterval, stop,
                        [&] { return !m_deliveries.empty(); });
        if (m_deliveries.empty() && !stop.stop_requested()) {
            lock.unlock();
            liveConnection();
            lock.lock();
        }
    }
}

// --- Opening and transfers ---------------------------------------------------------------------------

usb::HandleID ServiceBus::open(usb::RegistryEntryID id, usb::OpenMode mode) {
    const auto connection = liveConnection();
    if (!connection) {
        throw usb::USBError(usb::Status::unavailable, "open");
    }
    Call call{MessageKind::open};
    call.fields.write(id, mode);
    const auto handle = decodeReply<usb::HandleID>(*connection, ask(*connection, call), call.kind);
    if (handle == 0 || handle > serviceHandleMask) {
        connection->abandon();
        throw usb::USBError(usb::Status::error, "open");
    }
    return (connection->generation() << generationShift) | handle;
}

void ServiceBus::close(usb::HandleID handle) noexcept {
    try {
        askOnOpen<std::monostate>(handle, MessageKind::close);
    } catch (const usb::USBError&) {
        // Gone with its connection, or never open: either way it is closed.
    }
}

std::vector<usb::EndpointDescriptor> ServiceBus::endpoints(usb::RegistryEntryID interfaceID) {
    return askRegistry<std::vector<usb::EndpointDescriptor>>(MessageKind::endpoints, interfaceID);
}

std::size_t ServiceBus::readPipe(usb::HandleID handle, std::uint8_t endpoint, std::span<std::byte> buffer,
                                 usb::Timeout timeout) {
    if (buffer.size() > maximumTransferSize) {
        throw usb::USBError(usb::Status::badArgument, "readPipe");
    }
    const auto [connection, serviceHandle] = connectionOf(handle, MessageKind::readPipe);
    Call call{MessageKind::readPipe, usb::Status::noDevice};
    call.fields.write(serviceHandle, endpoint, static_cast<std::uint64_t>(buffer.size()), timeout);
    call.intoCaller = true;
    call.into = buffer;
    ask(*connection, call);
    return call.received;
}

std::size_t ServiceBus::writePipe(usb::HandleID handle, std::uint8_t endpoint,
                                  std::span<const std::byte> data, usb::Timeout timeout) {
    if (data.size() > maximumTransferSize) {
        throw usb::USBError(usb::Status::badArgument, "writePipe");
    }
    const auto [connection, serviceHandle] = connectionOf(handle, MessageKind::writePipe);
    Call call{MessageKind::writePipe, usb::Status::noDevice};
    call.fields.write(serviceHandle, endpoint, timeout);
    call.data = data;
    const auto written = decodeReply<std::uint64_t>(*connection, ask(*connection, call), call.kind);
    if (written > data.size()) {
        connection->abandon();
        throw usb::USBError(usb::Status::error, "writePipe");
    }
    return static_cast<std::size_t>(written);
}

std::vector<std::byte> ServiceBus::controlRequest(usb::HandleID handle, const usb::ControlSetup& setup,
                                                  std::span<const std::byte> data, usb::Timeout timeout) {
    const auto [connection, serviceHandle] = connectionOf(handle, MessageKind::controlRequest);
    Call call{MessageKind::controlRequest, usb::Status::noDevice};
    call.fields.write(serviceHandle, setup, timeout);
    call.data = data;
    auto reply = ask(*connection, call);
    if (reply.size() > setup.length) {
        connection->abandon();
        throw usb::USBError(usb::Status::error, "controlRequest");
    }
    return reply;
}

void ServiceBus::clearStall(usb::HandleID handle, std::uint8_t endpoint) {
    askOnOpen<std::monostate>(handle, MessageKind::clearStall, endpoint);
}

void ServiceBus::abortPipe(usb::HandleID handle, std::uint8_t endpoint) {
    askOnOpen<std::monostate>(handle, MessageKind::abortPipe, endpoint);
}

std::uint8_t ServiceBus::configuration(usb::HandleID device) {
    return askOnOpen<std::uint8_t>(device, MessageKind::configuration);
}

void ServiceBus::setConfiguration(usb::HandleID device, std::uint8_t value) {
    askOnOpen<std::monostate>(device, MessageKind::setConfiguration, value);
}

} // namespace busservice
