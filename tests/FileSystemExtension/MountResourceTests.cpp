#include "FileSystemExtension/TandaloFileSystem.h"

#include "ExtensionScenario.h"
#include "platform/foundation/Clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

namespace tandalo {
namespace {

using corvane::USBDeviceDescriptor;
using testing::descriptor;

std::shared_ptr<fskit::FSResource> url(std::string text) {
    return std::make_shared<fskit::FSGenericURLResource>(std::move(text));
}

std::shared_ptr<fskit::FSResource> token(std::string path) {
    return std::make_shared<fskit::FSPathURLResource>("file://" + std::move(path));
}

/// A resource of a class the extension does not know.
class OtherResource final : public fskit::FSResource {};

/// The interfaces a test puts on the "bus", and the lookups made.
struct Interfaces {
    std::mutex mutex;
    std::vector<USBDeviceDescriptor> attached;
    std::atomic<int> lookups{0};

    TandaloFileSystem::Context context(platform::Clock& clock) {
        TandaloFileSystem::Context result;
        result.clock = &clock;
        result.findMTPInterfaces = [this] {
            ++lookups;
            std::lock_guard guard(mutex);
            return attached;
        };
        return result;
    }
};

int errorCodeOf(const TandaloFileSystem& fileSystem, const fskit::FSResource& resource) {
    try {
        (void)fileSystem.device(resource);
    } catch (const fskit::Error& error) {
        EXPECT_TRUE(error.isPOSIX());
        return error.code();
    }
    return 0;
}

TEST(MountResourceTests, ResolvesEachResourceFormToItsDevice) {
    platform::VirtualClock clock;
    Interfaces interfaces;
    interfaces.attached = {
        descriptor("FIRST1", 0x10),     descriptor("R58N123ABC", 0x20),   descriptor("", 0x30),
        descriptor("", 0x31),           descriptor("a/../b?#@: c", 0x40), descriptor("Any", 0x50),
        descriptor("r58n123abc", 0x21), descriptor("TWIN", 0x60),         descriptor("TWIN", 0x61)};
    interfaces.attached[2].locationID = 7;
    interfaces.attached[3].locationID = 0xFFFFFFFF;
    interfaces.attached[7].locationID = 3;
    interfaces.attached[8].locationID = 4;
    const TandaloFileSystem fileSystem(interfaces.context(clock));
    struct Case {
        const char* name;
        std::shared_ptr<fskit::FSResource> resource;
        std::uint64_t registryID;
    };
    const std::vector<Case> cases{
        {"URL with an attempt", url("mtp://R58N123ABC?attempt=2"), 0x20},
        {"another phone whose serial differs in letter case", url("mtp://r58n123abc"), 0x21},
        {"scheme in capitals", url("MTP://R58N123ABC"), 0x20},
        {"URL with port and path", url("mtp://R58N123ABC:99/some/path"), 0x20},
        {"any", url("mtp://any"), 0x10},
        {"ANY", url("mtp://ANY"), 0x10},
        {"empty host", url("mtp://"), 0x10},
        {"no authority", url("mtp:R58N123ABC"), 0x10},
        {"token with take-over", token("/Users/me/Tandalo/.tandalo/take-over-1/r58n123abc.tandalo"), 0x21},
        {"token without take-over", token("/Users/me/Tandalo/.tandalo/no-take-over-1/R58N123ABC.tandalo"),
         0x20},
        {"token extension in capitals", token("/m/.tandalo/2/R58N123ABC.TANDALO"), 0x20},
        {"token for any", token("/m/.tandalo/2/any.tandalo"), 0x10},
        {"token by location", token("/m/.tandalo/1/any@7.tandalo"), 0x30},
        {"token by the largest location", token("/m/.tandalo/1/any@4294967295.tandalo"), 0x31},
        {"URL by location", url("mtp://any?location=4294967295&attempt=2"), 0x31},
        {"URL without host by location", url("mtp://?location=7"), 0x30},
        {"a twin's URL by serial and location", url("mtp://TWIN?location=4&attempt=2"), 0x61},
        {"the other twin's token", token("/m/.tandalo/take-over-1/TWIN@3.tandalo"), 0x60},
        {"any at a location in a token", token("/m/.tandalo/1/ANY@4.tandalo"), 0x61},
        {"percent-encoded serial in a token",
         token("/m/.tandalo/1/a%252F%252E%252E%252Fb%253F%2523%2540%253A%2520c.tandalo"), 0x40},
        {"percent-encoded serial in a URL", url("mtp://a%2F%2E%2E%2Fb%3F%23%40%3A%20c?takeOver=anyone"),
         0x40},
        {"the serial number any in a token", token("/m/.tandalo/1/%2541ny.tandalo"), 0x50},
        {"the serial number any in a URL", url("mtp://%41ny"), 0x50},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(fileSystem.device(*each.resource).registryEntryID, each.registryID);
    }
}

TEST(MountResourceTests, RejectsResourcesThatAreNotOursWithEINVALAndMissingDevicesWithENXIO) {
    platform::VirtualClock clock;
    Interfaces interfaces;
    interfaces.attached = {descriptor("R58N123ABC")};
    const TandaloFileSystem fileSystem(interfaces.context(clock));
    struct Case {
        const char* name;
        std::shared_ptr<fskit::FSResource> resource;
        int code;
    };
    const std::vector<Case> cases{
        {"file URL as a generic resource", url("file:///m/.tandalo/2/any.tandalo"), EINVAL},
        {"another scheme", url("http://R58N123ABC"), EINVAL},
        {"no scheme", url("R58N123ABC"), EINVAL},
        {"not a URL", url("mtp://bad host"), EINVAL},
        {"token with another extension", token("/m/.tandalo/2/any.txt"), EINVAL},
        {"token without an extension", token("/m/.tandalo/2/any"), EINVAL},
        {"hidden file without extension", token("/m/.tandalo/2/.tandalo"), EINVAL},
        {"another resource class", std::make_shared<OtherResource>(), EINVAL},
        {"unknown serial", url("mtp://R58N999"), ENXIO},
        {"the serial in another letter case", url("mtp://r58n123abc"), ENXIO},
        {"the serial in another letter case in a token", token("/m/.tandalo/1/R58n123abc.tandalo"), ENXIO},
        {"unknown serial in a token", token("/m/.tandalo/1/r58n999.tandalo"), ENXIO},
        {"unknown location", token("/m/.tandalo/1/any@8.tandalo"), ENXIO},
        {"location beyond 32 bits", token("/m/.tandalo/1/any@4294967296.tandalo"), EINVAL},
        {"location not a number", token("/m/.tandalo/1/any@x.tandalo"), EINVAL},
        {"a location without a name", token("/m/.tandalo/1/@7.tandalo"), EINVAL},
        {"a serial at another location", url("mtp://R58N123ABC?location=7"), ENXIO},
        {"a serial at another location in a token", token("/m/.tandalo/1/R58N123ABC@7.tandalo"), ENXIO},
        {"empty location", url("mtp://any?location="), EINVAL},
        {"unknown take-over choice", url("mtp://R58N123ABC?takeOver=everyone"), EINVAL},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(errorCodeOf(fileSystem, *each.resource), each.code);
    }
    interfaces.attached.clear();
    EXPECT_EQ(errorCodeOf(fileSystem, *url("mtp://any")), ENXIO);
    EXPECT_EQ(errorCodeOf(fileSystem, *token("/m/.tandalo/1/any.tandalo")), ENXIO);
}

TEST(MountResourceTests, ReadsTheTakeOverPermissionsFromTheTokensFolder) {
    struct Case {
        const char* name;
        std::shared_ptr<fskit::FSResource> resource;
        bool fromAnyone;
        bool fromCameraService;
        corvane::TakeOver takeOver;
    };
    using corvane::TakeOver;
    const std::vector<Case> cases{
        {"take-over-1", token("/m/.tandalo/take-over-1/r58n123abc.tandalo"), true, true,
         TakeOver::fromAnyone},
        {"take-over", token("/m/.tandalo/take-over/any.tandalo"), true, true, TakeOver::fromAnyone},
        {"no-take-over-1", token("/m/.tandalo/no-take-over-1/any.tandalo"), false, false, TakeOver::never},
        {"bare attempt", token("/m/.tandalo/2/any.tandalo"), false, true, TakeOver::fromCameraService},
        {"prefixes are case-sensitive", token("/m/.tandalo/Take-Over-1/any.tandalo"), false, true,
         TakeOver::fromCameraService},
        {"NO-TAKE-OVER", token("/m/.tandalo/NO-TAKE-OVER-1/any.tandalo"), false, true,
         TakeOver::fromCameraService},
        {"generic URL", url("mtp://any?attempt=3"), false, true, TakeOver::fromCameraService},
        {"URL from anyone", url("mtp://any?takeOver=anyone&attempt=2"), true, true, TakeOver::fromAnyone},
        {"URL from nobody", url("mtp://any?takeOver=never"), false, false, TakeOver::never},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(TandaloFileSystem::takesOverFromAnyone(*each.resource), each.fromAnyone);
        EXPECT_EQ(TandaloFileSystem::takesOverFromCameraService(*each.resource), each.fromCameraService);
        EXPECT_EQ(TandaloFileSystem::takeOver(*each.resource), each.takeOver);
    }
}

TEST(MountResourceTests, KeysVolumesByTheResourcesURLAsGiven) {
    EXPECT_EQ(TandaloFileSystem::volumeKey(*url("mtp://R58N123ABC?attempt=2")), "mtp://R58N123ABC?attempt=2");
    EXPECT_EQ(TandaloFileSystem::volumeKey(*url("http://whatever")), "http://whatever");
    EXPECT_EQ(TandaloFileSystem::volumeKey(*token("/m/.tandalo/2/any.txt")), "file:///m/.tandalo/2/any.txt");
    EXPECT_EQ(TandaloFileSystem::volumeKey(OtherResource()), std::nullopt);
}

TEST(MountResourceTests, DerivesTheContainerFromVendorProductAndSerial) {
    // Expected values computed apart from this code: the first 16 bytes of SHA-256 over
    // "com.brenwick.Tandalo:<vendor>:<product>:<serial>", with the version-5 and variant bits set.
    struct Case {
        std::uint16_t vendor;
        std::uint16_t product;
        const char* serial;
        const char* uuid;
    };
    const std::vector<Case> cases{
        {0x18D1, 0x4EE1, "R58N123ABC", "D3C9ADCB-F437-57A2-B08F-FE9B3BD4BAB9"},
        {0x18D1, 0x4EE1, "R58N123ABD", "3E907D9C-1D04-5AA4-B046-B4A21C76A471"},
        {0x04E8, 0x6860, "", "22AC01F9-7774-5E15-98AE-90A6D277495B"},
        {0x2717, 0xFF40,
         "\xC3\x9Cn\xC3\xAF"
         "c\xC3\xB8"
         "d\xC3\xA9",
         "A02BA526-C154-59A1-AB2F-6FAA947B3633"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.uuid);
        auto device = descriptor(each.serial, 0x99);
        device.vendorID = each.vendor;
        device.productID = each.product;
        const auto identifier = TandaloFileSystem::containerIdentifier(device);
        EXPECT_EQ(identifier.uuidString(), each.uuid);
        EXPECT_EQ(identifier.uuid()[6] >> 4, 5);
        EXPECT_EQ(identifier.uuid()[8] & 0xC0, 0x80);
        // Another port or registry entry gives the same container.
        device.registryEntryID = 0x12345;
        device.locationID = 0x1;
        EXPECT_EQ(TandaloFileSystem::containerIdentifier(device), identifier);
    }
}

TEST(MountResourceTests, RediscoveryFindsADeviceThatComesBackAfterASecond) {
    platform::VirtualClock clock(platform::VirtualClock::AutoAdvance::sleeps);
    Interfaces interfaces;
    const auto start = clock.now();
    auto context = interfaces.context(clock);
    const auto previous = descriptor("R58N123ABC", 0x20, 1);
    context.findMTPInterfaces = [&] {
        ++interfaces.lookups;
        if (clock.now() - start < std::chrono::seconds(1)) {
            return std::vector<USBDeviceDescriptor>{};
        }
        // The same serial on another interface number does not count; the case of the serial does.
        return std::vector{descriptor("r58n123abc", 0x40, 1), descriptor("R58N123ABC", 0x41, 0),
                           descriptor("R58N123ABC", 0x42, 1)};
    };
    const TandaloFileSystem fileSystem(context);
    const auto found = fileSystem.rediscover(previous);
    EXPECT_EQ(found.registryEntryID, 0x42u);
    EXPECT_EQ(interfaces.lookups.load(), 5);
    EXPECT_EQ(clock.now() - start, std::chrono::seconds(1));
}

TEST(MountResourceTests, RediscoveryTellsDevicesWithoutSerialApartByLocation) {
    platform::VirtualClock clock(platform::VirtualClock::AutoAdvance::sleeps);
    Interfaces interfaces;
    auto other = descriptor("", 0x40);
    other.locationID = 1;
    auto same = descriptor("", 0x41);
    same.locationID = 2;
    interfaces.attached = {other, same};
    const TandaloFileSystem fileSystem(interfaces.context(clock));
    auto previous = descriptor("", 0x20);
    previous.locationID = 2;
    EXPECT_EQ(fileSystem.rediscover(previous).registryEntryID, 0x41u);
}

TEST(MountResourceTests, ATwinIsNamedInTheStatusAndFoundAgainAtItsLocation) {
    struct Case {
        const char* name;
        std::shared_ptr<fskit::FSResource> resource;
        std::optional<std::string> statusKey;
    };
    const std::vector<Case> cases{
        {"token by serial and location", token("/m/.tandalo/1/a%2540b@3.tandalo"), "a@b@3"},
        {"URL by serial and location", url("mtp://TWIN?takeOver=never&location=4"), "TWIN@4"},
        {"serial only", token("/m/.tandalo/1/TWIN.tandalo"), std::nullopt},
        {"location only", url("mtp://any?location=4"), std::nullopt},
        {"not ours", url("http://TWIN?location=4"), std::nullopt},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_EQ(TandaloFileSystem::locatedStatusKey(*each.resource), each.statusKey);
    }

    platform::VirtualClock clock(platform::VirtualClock::AutoAdvance::sleeps);
    Interfaces interfaces;
    auto twin = descriptor("TWIN", 0x40);
    twin.locationID = 1;
    interfaces.attached = {twin};
    const TandaloFileSystem fileSystem(interfaces.context(clock));
    auto previous = descriptor("TWIN", 0x20);
    previous.locationID = 2;
    // The twin at another place is not the device that went through a reset.
    EXPECT_EQ(fileSystem.rediscover(previous, {}, true), previous);
    EXPECT_EQ(fileSystem.rediscover(previous).registryEntryID, 0x40u);
}

TEST(MountResourceTests, RediscoveryGivesUpAfterTwentyFourLookupsAndSixSeconds) {
    platform::VirtualClock clock(platform::VirtualClock::AutoAdvance::sleeps);
    Interfaces interfaces;
    interfaces.attached = {descriptor("OTHER", 0x50, 1)};
    const TandaloFileSystem fileSystem(interfaces.context(clock));
    const auto start = clock.now();
    const auto previous = descriptor("R58N123ABC", 0x20, 1);
    EXPECT_EQ(fileSystem.rediscover(previous), previous);
    EXPECT_EQ(interfaces.lookups.load(), 24);
    EXPECT_EQ(clock.now() - start, std::chrono::seconds(6));
}

TEST(MountResourceTests, RediscoveryStopsWaitingWhenAskedToStop) {
    platform::VirtualClock clock; // never advances by itself: only the stop request ends the waits
    Interfaces interfaces;
    const TandaloFileSystem fileSystem(interfaces.context(clock));
    const auto start = clock.now();
    std::stop_source stop;
    stop.request_stop();
    const auto previous = descriptor("R58N123ABC");
    EXPECT_EQ(fileSystem.rediscover(previous, stop.get_token()), previous);
    EXPECT_EQ(interfaces.lookups.load(), 24);
    EXPECT_EQ(clock.now(), start);
}

} // namespace
} // namespace tandalo
