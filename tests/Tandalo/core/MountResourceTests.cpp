// The resources the application writes, as the extension reads them and the mount table shows them.
#include "Tandalo/core/MountResource.h"

#include "FileSystemExtension/TandaloFileSystem.h"
#include "Tandalo/core/DeviceEntry.h"
#include "Tandalo/core/MountManager.h"
#include "platform/foundation/URL.h"
#include "tests/Tandalo/core/CoreFakes.h"
#include "tests/Tandalo/core/CoreTestSupport.h"

#include <gtest/gtest.h>

namespace tandalo::app {
namespace {

using corvane::TakeOver;
using testing::device;

TEST(MountResourceTests, FormsTheResourcesOfEachDeviceAndChoice) {
    const auto pixel = device("R58N123ABC");
    EXPECT_EQ(MountResource::tokenFileName(pixel), "R58N123ABC.tandalo");
    EXPECT_EQ(MountResource::tokenFileName(device("", 7)), "any@7.tandalo");
    EXPECT_EQ(MountResource::tokenFileName(device("Any")), "%41ny.tandalo") << "not the word for any device";
    EXPECT_EQ(MountManager::mtpURL(device("ANY"), 1, TakeOver::fromCameraService), "mtp://%41NY");
    EXPECT_EQ(MountResource::tokenFileName(device("a/../b?#@: %.")),
              "a%2F%2E%2E%2Fb%3F%23%40%3A%20%25%2E.tandalo");
    EXPECT_EQ(MountResource::modeFolderName(TakeOver::fromAnyone, 2), "take-over-2");
    EXPECT_EQ(MountResource::modeFolderName(TakeOver::fromCameraService, 1), "1");
    EXPECT_EQ(MountResource::modeFolderName(TakeOver::never, 3), "no-take-over-3");
    EXPECT_EQ(MountManager::mtpURL(pixel, 1, TakeOver::fromCameraService), "mtp://R58N123ABC");
    EXPECT_EQ(MountManager::mtpURL(pixel, 3, TakeOver::fromCameraService), "mtp://R58N123ABC?attempt=3");
    EXPECT_EQ(MountManager::mtpURL(device(""), 2, TakeOver::fromAnyone),
              "mtp://any?location=337641472&takeOver=anyone&attempt=2");
    EXPECT_EQ(MountManager::mtpURL(device("a:b@c d"), 1, TakeOver::never),
              "mtp://a%3Ab%40c%20d?takeOver=never");
    // One of two devices that share a serial number is named by its place on the bus as well.
    EXPECT_EQ(MountResource::tokenFileName(device("TWIN", 3), true), "TWIN@3.tandalo");
    EXPECT_EQ(MountResource::tokenFileName(device("a@3", 4), true), "a%403@4.tandalo");
    EXPECT_EQ(MountResource::tokenFileName(device("", 7), true), "any@7.tandalo");
    EXPECT_EQ(MountManager::mtpURL(device("TWIN", 3), 2, TakeOver::never, true),
              "mtp://TWIN?location=3&takeOver=never&attempt=2");
}

// What the application writes, the extension resolves to the same device with the same choice, whatever
// the serial number holds; and the mount table's source names it again.
TEST(MountResourceTests, TheExtensionFindsTheDeviceEveryResourceNames) {
    std::vector<corvane::USBDeviceDescriptor> attached{
        device("FIRST"),        device("", 7, 71),     device("", 8, 81),    device("casex", 5, 51),
        device("CaseX", 6, 61), device("TWIN", 3, 31), device("TWIN", 4, 41)};
    for (const std::string serial :
         {"/", "..", ".", "?", "#", "@", ":", " ", "a/../../b", "%41", "any@7", "Ünï", "Any"}) {
        attached.push_back(device(serial, 9, attached.size() + 100));
    }
    platform::VirtualClock clock;
    TandaloFileSystem::Context context;
    context.clock = &clock;
    context.findMTPInterfaces = [&] { return attached; };
    const TandaloFileSystem extension(context);
    testing::FakeFileOperations files;
    testing::FakeProcessRunner runner;
    testing::FakeMountTable table;
    testing::FakeVolumeUnmounter volumes;
    testing::FakeVolumeServers servers;
    const MountManager manager(MountServices{runner, table, files, volumes, servers, clock}, MountTools{});
    for (const auto& which : attached) {
        for (const bool located : {false, true}) {
            // Two devices of one serial number are told apart only when located.
            if (!located && which.serialNumber == "TWIN") {
                continue;
            }
            for (const auto takeOver : {TakeOver::fromAnyone, TakeOver::fromCameraService, TakeOver::never}) {
                SCOPED_TRACE(which.serialNumber + (located ? " located" : ""));
                const auto token = manager.tokenFile(which, "/home/me/Tandalo/Phone", 2, takeOver, located);
                ASSERT_TRUE(token);
                EXPECT_EQ(token->parent_path().parent_path(), "/home/me/Tandalo/.tandalo");
                const fskit::FSPathURLResource tokenResource(platform::URL::fileURL(*token).absoluteString());
                const fskit::FSGenericURLResource urlResource(
                    MountManager::mtpURL(which, 2, takeOver, located));
                for (const fskit::FSResource* resource :
                     {static_cast<const fskit::FSResource*>(&tokenResource),
                      static_cast<const fskit::FSResource*>(&urlResource)}) {
                    EXPECT_EQ(extension.device(*resource).registryEntryID, which.registryEntryID);
                    EXPECT_EQ(TandaloFileSystem::takeOver(*resource), takeOver);
                    // The volume's shared status goes under the application's id of the device.
                    EXPECT_EQ(TandaloFileSystem::locatedStatusKey(*resource).value_or(
                                  AndroidVolume::deviceKey(which)),
                              DeviceEntry::idOf(which, located));
                }
                EXPECT_EQ(MountResource::parseName(token->string()), MountResource::nameOf(which, located));
                EXPECT_EQ(MountResource::parseName(urlResource.url()), MountResource::nameOf(which, located));
            }
        }
    }
}

} // namespace
} // namespace tandalo::app
