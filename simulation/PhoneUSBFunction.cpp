#include "simulation/PhoneUSBFunction.h"

#include "simulation/SimulatedBus.h"
#include "simulation/SimulatedPhone.h"

#include <utility>

namespace simulation {

PhoneUSBFunction::PhoneUSBFunction(std::shared_ptr<SimulatedPhone> phone, std::uint8_t interfaceNumber)
    : m_phone(std::move(phone)), m_interfaceNumber(interfaceNumber) {}

void PhoneUSBFunction::attached(std::shared_ptr<usb::FunctionLink> link) {
    m_phone->setWakeHandler([link = std::move(link)] { link->dataReady(); });
    m_phone->attached();
}

usb::Reply PhoneUSBFunction::receiveOut(std::uint8_t endpoint, std::span<const std::byte> data) {
    if (endpoint != bulkOutEndpoint) {
        // Another interface's pipe (the debugging interface): nothing behind it answers.
        return usb::Reply::notYet;
    }
    return m_phone->receiveOut(data);
}

usb::InReply PhoneUSBFunction::produceIn(std::uint8_t endpoint, std::size_t packetSize) {
    (void)packetSize; // the endpoints were declared with the phone's own packet size
    if (endpoint != bulkInEndpoint) {
        // The phone sends no events, and nothing answers on another interface's pipes.
        return usb::InReply::of(usb::Reply::notYet);
    }
    return m_phone->produceIn();
}

usb::ControlReply PhoneUSBFunction::handleControl(const usb::ControlSetup& setup,
                                                  std::span<const std::byte> data) {
    // Class requests go to the interface they name; anything else is not this function's.
    const bool toThisInterface = (setup.requestType & 0x1F) == 0x01 && setup.index == m_interfaceNumber;
    if (!toThisInterface) {
        return usb::ControlReply::of(usb::Reply::stall);
    }
    usb::ControlSetup forPhone = setup;
    forPhone.index = 0;
    return m_phone->handleControl(forPhone, data);
}

void PhoneUSBFunction::haltCleared(std::uint8_t endpoint) {
    if (endpoint == bulkInEndpoint) {
        m_phone->haltCleared(PhonePipe::bulkIn);
    } else if (endpoint == bulkOutEndpoint) {
        m_phone->haltCleared(PhonePipe::bulkOut);
    }
}

void PhoneUSBFunction::configurationChanged(std::uint8_t value) {
    m_phone->configurationChanged(value);
}

PluggedDevice plugPhone(SimulatedBus& bus, std::shared_ptr<SimulatedPhone> phone, PhoneUSBIdentity identity) {
    const auto packetSize = static_cast<std::uint16_t>(phone->packetSize());
    DeviceSpec spec;
    spec.vendorID = identity.vendorID;
    spec.productID = identity.productID;
    spec.vendorName = identity.vendorName;
    spec.productName = identity.productName;
    spec.serialNumber = identity.serialNumber ? identity.serialNumber : phone->deviceInfo().serialNumber;
    if (identity.mode == PhoneUSBIdentity::Mode::fileTransfer) {
        spec.interfaces.push_back(identity.interfaceKind == PhoneUSBIdentity::InterfaceKind::stillImage
                                      ? InterfaceSpec::stillImage(identity.interfaceNumber, packetSize)
                                      : InterfaceSpec::vendorMTP(identity.interfaceNumber, packetSize));
    }
    if (identity.withADB) {
        spec.interfaces.push_back(
            InterfaceSpec::adb(static_cast<std::uint8_t>(identity.interfaceNumber + 1), packetSize));
    }
    spec.function = std::make_shared<PhoneUSBFunction>(std::move(phone), identity.interfaceNumber);
    return bus.plug(std::move(spec));
}

} // namespace simulation
