#include "platform/buschoice/ProcessBus.h"

#include "platform/busservice/BusSocket.h"
#include "platform/busservice/ServiceBus.h"
#include "platform/foundation/Logger.h"
#include "platform/usbfs/LinuxBus.h"

namespace buschoice {

namespace {

/// The machine's own USB where the kernel's cannot be listened to (no uevent socket): a bus whose registry
/// cannot be queried, so that every program finds no device rather than failing some other way.
class UnavailableBus final : public usb::USBBus {
public:
    std::vector<usb::RegistryEntry> matchingEntries(std::string_view) override { fail("matchingEntries"); }
    std::optional<usb::RegistryEntry> entry(usb::RegistryEntryID) override { fail("entry"); }
    std::vector<usb::RegistryEntry> children(usb::RegistryEntryID) override { fail("children"); }
    std::optional<usb::PropertyValue> property(usb::RegistryEntryID, std::string_view) override {
        fail("property");
    }
    Subscription subscribe(std::string_view, Observer) override { fail("subscribe"); }
    void unsubscribe(usb::SubscriptionID) noexcept override {}
    usb::HandleID open(usb::RegistryEntryID, usb::OpenMode) override { fail("open"); }
    void close(usb::HandleID) noexcept override {}
    std::vector<usb::EndpointDescriptor> endpoints(usb::RegistryEntryID) override { fail("endpoints"); }
    using USBBus::readPipe;
    std::size_t readPipe(usb::HandleID, std::uint8_t, std::span<std::byte>, usb::Timeout) override {
        fail("readPipe");
    }
    std::size_t writePipe(usb::HandleID, std::uint8_t, std::span<const std::byte>, usb::Timeout) override {
        fail("writePipe");
    }
    std::vector<std::byte> controlRequest(usb::HandleID, const usb::ControlSetup&, std::span<const std::byte>,
                                          usb::Timeout) override {
        fail("controlRequest");
    }
    void clearStall(usb::HandleID, std::uint8_t) override { fail("clearStall"); }
    void abortPipe(usb::HandleID, std::uint8_t) override { fail("abortPipe"); }
    std::uint8_t configuration(usb::HandleID) override { fail("configuration"); }
    void setConfiguration(usb::HandleID, std::uint8_t) override { fail("setConfiguration"); }

private:
    [[noreturn]] static void fail(const char* request) {
        throw usb::USBError(usb::Status::unavailable, request);
    }
};

} // namespace

std::shared_ptr<usb::USBBus> processBus(const platform::Environment& environment) {
    // An empty value selects nothing, as a shell's "TANDALO_USB_BUS= program" means to.
    if (const auto socket = environment.value(busservice::socketVariable); socket && !socket->empty()) {
        return std::make_shared<busservice::ServiceBus>(*socket);
    }
    try {
        return usbfs::LinuxBus::create();
    } catch (const usb::USBError& error) {
        static const oslog::Logger log("buschoice", "bus");
        log.error("the machine's USB cannot be used: %{public}s", error.what());
        return std::make_shared<UnavailableBus>();
    }
}

} // namespace buschoice
