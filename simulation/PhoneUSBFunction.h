#pragma once

#include "platform/usb/DeviceFunction.h"
#include "simulation/SimulatedBusDevices.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace simulation {

class SimulatedBus;
class SimulatedPhone;

/// The device side of a simulated phone's MTP interface on a simulated bus: it hands the bulk pipes and
/// the class requests of its interface to the phone and tells the bus when the phone can go on.
class PhoneUSBFunction final : public usb::DeviceFunction {
public:
    static constexpr std::uint8_t bulkInEndpoint = 0x81;
    static constexpr std::uint8_t bulkOutEndpoint = 0x02;
    static constexpr std::uint8_t interruptEndpoint = 0x83;

    PhoneUSBFunction(std::shared_ptr<SimulatedPhone> phone, std::uint8_t interfaceNumber);

    void attached(std::shared_ptr<usb::FunctionLink> link) override;
    usb::Reply receiveOut(std::uint8_t endpoint, std::span<const std::byte> data) override;
    usb::InReply produceIn(std::uint8_t endpoint, std::size_t packetSize) override;
    usb::ControlReply handleControl(const usb::ControlSetup& setup, std::span<const std::byte> data) override;
    void haltCleared(std::uint8_t endpoint) override;
    void configurationChanged(std::uint8_t value) override;

private:
    std::shared_ptr<SimulatedPhone> m_phone;
    const std::uint8_t m_interfaceNumber;
};

/// How a simulated phone shows itself on the bus.
struct PhoneUSBIdentity {
    /// Phones expose MTP either as the still-image class with the PTP protocol (6/1/1) or as a
    /// vendor-specific interface named "MTP" (255/255/0).
    enum class InterfaceKind { stillImage, vendorMTP };

    std::uint16_t vendorID = 0x18D1;
    std::uint16_t productID = 0x4EE1;
    std::optional<std::string> vendorName = "Tandalo Labs";
    std::optional<std::string> productName = "Simulated Phone";
    /// Nothing: the phone's DeviceInfo serial number.
    std::optional<std::string> serialNumber{};
    InterfaceKind interfaceKind = InterfaceKind::stillImage;
    std::uint8_t interfaceNumber = 0;
    /// Adds an Android debugging interface after the MTP one, as a phone with USB debugging on has.
    bool withADB = false;
    /// File transfer shows the MTP interface; charge-only hides it, as a phone does until its user picks
    /// file transfer, and keeps only the debugging interface when there is one.
    enum class Mode { fileTransfer, chargeOnly };
    Mode mode = Mode::fileTransfer;
};

/// Plugs the phone into the bus as a USB device with one MTP interface whose endpoints use the phone's
/// packet size (none in charge-only mode). Plugging the same phone again after it left the bus is a fresh
/// power-on of its USB side.
PluggedDevice plugPhone(SimulatedBus& bus, std::shared_ptr<SimulatedPhone> phone,
                        PhoneUSBIdentity identity = {});

} // namespace simulation
