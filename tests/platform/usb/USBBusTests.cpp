#include "platform/usb/Claim.h"
#include "platform/usb/Endpoint.h"
#include "platform/usb/USBBus.h"
#include "simulation/SimulatedBus.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

namespace usb {
namespace {

std::shared_ptr<simulation::SimulatedBus> busWithOneInterface(RegistryEntryID& interfaceID) {
    auto bus = std::make_shared<simulation::SimulatedBus>();
    simulation::DeviceSpec spec;
    spec.interfaces = {simulation::InterfaceSpec::stillImage()};
    interfaceID = bus->plug(spec).interfaceIDs.at(0);
    return bus;
}

bool isHeld(USBBus& bus, RegistryEntryID id) {
    return bus.property(id, exclusiveOwnerKey).has_value();
}

TEST(EndpointDescriptorTests, DecodesAddressAttributesAndPacketSize) {
    struct Case {
        EndpointDescriptor descriptor;
        Direction direction;
        TransferType type;
        std::uint8_t number;
        std::size_t packetSize;
    };
    const Case cases[] = {
        {EndpointDescriptor::bulkIn(1, 512), Direction::in, TransferType::bulk, 1, 512},
        {EndpointDescriptor::bulkOut(2, 64), Direction::out, TransferType::bulk, 2, 64},
        {EndpointDescriptor::interruptIn(3, 8, 6), Direction::in, TransferType::interrupt, 3, 8},
        // High-speed high-bandwidth endpoints carry transaction counts in bits 11 and 12.
        {{0x81, 0x02, 0x1200, 0}, Direction::in, TransferType::bulk, 1, 0x200},
        {{0x0F, 0x01, 0x0400, 1}, Direction::out, TransferType::isochronous, 15, 0x400},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(static_cast<int>(each.descriptor.address));
        EXPECT_EQ(each.descriptor.direction(), each.direction);
        EXPECT_EQ(each.descriptor.transferType(), each.type);
        EXPECT_EQ(each.descriptor.number(), each.number);
        EXPECT_EQ(each.descriptor.packetSize(), each.packetSize);
    }
}

TEST(USBErrorTests, EveryStatusHasItsOwnName) {
    std::set<std::string_view> names;
    for (int status = 0; status <= static_cast<int>(Status::error); ++status) {
        names.insert(name(static_cast<Status>(status)));
    }
    EXPECT_EQ(names.size(), static_cast<std::size_t>(Status::error) + 1);
    EXPECT_STREQ(USBError(Status::timeout, "readPipe").what(), "readPipe: timeout");
}

TEST(ProcessIdentityTests, OwnerTextHasTheRegistryForm) {
    EXPECT_EQ((ProcessIdentity{123, "ptpcamerad"}).ownerText(), "pid 123, ptpcamerad");
}

TEST(ClaimTests, ClosesItsOpenExactlyOnce) {
    RegistryEntryID id = 0;
    auto bus = busWithOneInterface(id);
    {
        auto claim = Claim::open(bus, id, OpenMode::exclusive);
        EXPECT_TRUE(claim);
        EXPECT_TRUE(isHeld(*bus, id));
    }
    EXPECT_FALSE(isHeld(*bus, id));

    auto claim = Claim::open(bus, id, OpenMode::exclusive);
    claim.close();
    EXPECT_FALSE(claim);
    EXPECT_FALSE(isHeld(*bus, id));
    claim.close();
}

TEST(ClaimTests, MoveHandsTheOpenOverAndReleasesWhatTheTargetHeld) {
    RegistryEntryID first = 0;
    auto bus = busWithOneInterface(first);
    simulation::DeviceSpec spec;
    spec.interfaces = {simulation::InterfaceSpec::stillImage()};
    const RegistryEntryID second = bus->plug(spec).interfaceIDs.at(0);

    auto a = Claim::open(bus, first, OpenMode::exclusive);
    auto b = Claim::open(bus, second, OpenMode::exclusive);
    const HandleID handleA = a.handle();
    b = std::move(a);
    EXPECT_FALSE(a);
    EXPECT_EQ(b.handle(), handleA);
    EXPECT_TRUE(isHeld(*bus, first));
    EXPECT_FALSE(isHeld(*bus, second)) << "the target's own open must be closed";

    Claim c(std::move(b));
    EXPECT_FALSE(b);
    EXPECT_EQ(c.handle(), handleA);

    auto& self = c;
    c = std::move(self);
    EXPECT_EQ(c.handle(), handleA);
    EXPECT_TRUE(isHeld(*bus, first));

    const HandleID released = c.release();
    EXPECT_EQ(released, handleA);
    EXPECT_TRUE(isHeld(*bus, first)) << "release gives the open up without closing it";
    bus->close(released);
}

TEST(DefaultBusTests, ScopedDefaultRestoresThePreviousBus) {
    auto outer = std::make_shared<simulation::SimulatedBus>();
    auto inner = std::make_shared<simulation::SimulatedBus>();
    EXPECT_EQ(defaultBus(), nullptr);
    {
        ScopedDefaultBus first(outer);
        EXPECT_EQ(defaultBus(), outer);
        {
            ScopedDefaultBus second(inner);
            EXPECT_EQ(defaultBus(), inner);
        }
        EXPECT_EQ(defaultBus(), outer);
    }
    EXPECT_EQ(defaultBus(), nullptr);
}

} // namespace
} // namespace usb
