#pragma once

#include "platform/busservice/BusProtocol.h"
#include "platform/foundation/Clock.h"
#include "platform/usb/USBBus.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace busservice {

/// The USB bus of the bus service, reached over its Unix socket: the same registry, notifications, opens
/// and transfers as the service's own bus, for any number of processes at once. The service learns who
/// opens an entry from the connection's peer credentials. Owns its connection, the thread that reads it
/// and the thread that calls the observers.
///
/// While the service cannot be reached, registry calls fail with `unavailable` and opens of the lost
/// connection act as if their devices were unplugged (`noDevice`); each subscription hears the entries it
/// knew terminate. The bus connects again at the next call, and every second on its own while anyone
/// subscribes; the subscriptions then hear the service's entries published.
///
/// Every member may be called from any thread.
class ServiceBus final : public usb::USBBus {
public:
    /// How long a connection may take to answer the greeting before the service counts as unreachable.
    static constexpr std::chrono::milliseconds defaultGreetingLimit = std::chrono::seconds(5);

    /// Connects now if the service is there; never throws. Waits before reconnecting run on the clock. A
    /// socket whose listener never answers the greeting counts as unreachable after greetingLimit.
    explicit ServiceBus(std::filesystem::path socketPath, platform::Clock& clock = platform::Clock::system(),
                        std::chrono::milliseconds greetingLimit = defaultGreetingLimit);
    ~ServiceBus() override;
    ServiceBus(const ServiceBus&) = delete;
    ServiceBus& operator=(const ServiceBus&) = delete;

    // usb::USBBus
    std::vector<usb::RegistryEntry> matchingEntries(std::string_view className) override;
    std::optional<usb::RegistryEntry> entry(usb::RegistryEntryID id) override;
    std::vector<usb::RegistryEntry> children(usb::RegistryEntryID id) override;
    std::optional<usb::PropertyValue> property(usb::RegistryEntryID id, std::string_view key) override;
    Subscription subscribe(std::string_view className, Observer observer) override;
    void unsubscribe(usb::SubscriptionID id) noexcept override;
    usb::HandleID open(usb::RegistryEntryID id, usb::OpenMode mode) override;
    void close(usb::HandleID handle) noexcept override;
    std::vector<usb::EndpointDescriptor> endpoints(usb::RegistryEntryID interfaceID) override;
    using USBBus::readPipe;
    std::size_t readPipe(usb::HandleID handle, std::uint8_t endpoint, std::span<std::byte> buffer,
                         usb::Timeout timeout) override;
    std::size_t writePipe(usb::HandleID handle, std::uint8_t endpoint, std::span<const std::byte> data,
                          usb::Timeout timeout) override;
    std::vector<std::byte> controlRequest(usb::HandleID handle, const usb::ControlSetup& setup,
                                          std::span<const std::byte> data, usb::Timeout timeout) override;
    void clearStall(usb::HandleID handle, std::uint8_t endpoint) override;
    void abortPipe(usb::HandleID handle, std::uint8_t endpoint) override;
    std::uint8_t configuration(usb::HandleID device) override;
    void setConfiguration(usb::HandleID device, std::uint8_t value) override;

    /// Has the service carry out a command on its devices ("unplug R58N123"). Throws USBError
    /// `unavailable` when the service cannot be reached.
    CommandOutcome command(const CommandWords& words);
    /// Whether the connection stands right now.
    bool isConnected() const;
    const std::filesystem::path& socketPath() const noexcept { return m_socketPath; }

private:
    class Connection;
    struct Call;
    struct Subscriber;
    struct Delivery {
        usb::SubscriptionID subscription = 0;
        usb::RegistryEvent event;
    };

    /// The live connection, made now when there is none; null when the service cannot be reached.
    std::shared_ptr<Connection> liveConnection();
    std::shared_ptr<Connection> connectLocked();
    /// The connection of an open and the service's own number for it; throws noDevice when that
    /// connection is gone.
    std::pair<std::shared_ptr<Connection>, usb::HandleID> connectionOf(usb::HandleID handle,
                                                                       MessageKind kind);
    /// Sends the call's request and waits for its reply body. A failure the service reports is thrown
    /// as it is; a lost connection throws the call's lostStatus.
    std::vector<std::byte> ask(Connection& connection, Call& call);
    /// The reply's one value, checked whole: a reply that makes no sense ends the connection, since
    /// nothing after it on the same socket can be trusted either, and throws `error`.
    template <typename T>
    T decodeReply(Connection& connection, std::span<const std::byte> body, MessageKind kind);
    /// A registry request and its reply's value; `unavailable` without a service.
    template <typename T, typename... Fields> T askRegistry(MessageKind kind, const Fields&... fields);
    /// A request on an open (its number first, then the fields) and its reply's value; `noDevice` when
    /// the open's connection is gone.
    template <typename T, typename... Fields>
    T askOnOpen(usb::HandleID handle, MessageKind kind, const Fields&... fields);
    std::vector<usb::RegistryEntry> subscribeOn(Connection& connection, usb::SubscriptionID id,
                                                const std::string& className, bool announceExisting);

    // Called on a connection's reader thread.
    void recordExisting(usb::SubscriptionID id, std::vector<usb::RegistryEntry> existing, bool announce);
    void recordEvent(usb::SubscriptionID id, usb::RegistryEvent event);
    void connectionLost();

    void runDeliveries(std::stop_token stop);

    const std::filesystem::path m_socketPath;
    platform::Clock& m_clock;
    const std::chrono::milliseconds m_greetingLimit;

    mutable std::mutex
        m_connectionMutex; // guards m_connection, m_generation; taken before m_subscriptionMutex
    std::shared_ptr<Connection> m_connection;
    std::uint64_t m_generation = 0;

    std::mutex m_subscriptionMutex; // guards the members below; never held across an observer's call
    std::condition_variable_any m_deliveriesChanged;
    std::map<usb::SubscriptionID, std::shared_ptr<Subscriber>> m_subscribers;
    usb::SubscriptionID m_nextSubscription = 1;
    std::deque<Delivery> m_deliveries;
    bool m_connected = false;

    std::jthread m_deliveryThread; // last: starts after, and stops before, everything above
};

} // namespace busservice
