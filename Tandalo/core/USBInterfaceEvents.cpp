#include "Tandalo/core/USBInterfaceEvents.h"

#include "Tandalo/core/Executor.h"

#include <string_view>
#include <utility>

namespace tandalo::app {

namespace {

/// Takes every service out of a notification's iterator, unread: that arms the notification again.
void drain(const iokit::io_iterator_t& iterator) {
    while (auto service = iokit::IOIteratorNext(iterator)) {
        iokit::IOObjectRelease(service);
    }
}

class ArmedPort final : public USBInterfaceEvents::Armed {
public:
    explicit ArmedPort(iokit::IONotificationPortRef port) : m_port(std::move(port)) {}
    ~ArmedPort() override {
        for (auto& notification : m_notifications) {
            iokit::IOObjectRelease(notification);
        }
        iokit::IONotificationPortDestroy(m_port);
    }

    const iokit::IONotificationPortRef& port() const { return m_port; }
    void keep(iokit::io_iterator_t notification) { m_notifications.push_back(std::move(notification)); }

private:
    iokit::IONotificationPortRef m_port;
    std::vector<iokit::io_iterator_t> m_notifications; // arrivals, then removals
};

} // namespace

std::unique_ptr<USBInterfaceEvents::Armed> RegistryInterfaceEvents::arm(Executor& executor,
                                                                        std::function<void()> report) {
    auto port = iokit::IONotificationPortCreate(m_port);
    if (!port) {
        return nullptr;
    }
    // Through the gate, a callback that comes after the executor went is dropped rather than posted.
    iokit::IONotificationPortSetDispatchQueue(
        port, [gate = executor.gate()](std::function<void()> work) { gate->post(std::move(work)); });
    auto armed = std::make_unique<ArmedPort>(std::move(port));
    for (const auto type : {iokit::kIOFirstMatchNotification, iokit::kIOTerminatedNotification}) {
        iokit::io_iterator_t notification;
        const auto result = iokit::IOServiceAddMatchingNotification(
            armed->port(), type, iokit::IOServiceMatching(interfaceClass),
            [report](const iokit::io_iterator_t& iterator) {
                drain(iterator);
                report();
            },
            notification);
        if (result != iokit::kIOReturnSuccess) {
            continue; // the other kind still reports, and the listing at start covers what is attached
        }
        // The interfaces attached now are not examined here: the listing that follows covers them.
        drain(notification);
        armed->keep(std::move(notification));
    }
    return armed;
}

} // namespace tandalo::app
