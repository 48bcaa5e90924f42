#include "tools/ExistingMount.h"

#include "platform/fuse/FuseError.h"
#include "tests/platform/foundation/TemporaryFolder.h"
#include "tools/MountHelper.h"

#include <gtest/gtest.h>

#include <fstream>

namespace tandalo::tools {
namespace {

corvane::USBDeviceDescriptor attached(std::string serial, std::uint64_t registryID,
                                      std::uint32_t location = 0) {
    corvane::USBDeviceDescriptor device;
    device.registryEntryID = registryID;
    device.locationID = location;
    device.productName = "Pixel 7";
    device.vendorName = "Google";
    device.serialNumber = std::move(serial);
    return device;
}

platform::MountInfo mount(std::string source, std::filesystem::path on, std::string type = "fuse.tandalo") {
    platform::MountInfo row;
    row.source = std::move(source);
    row.mountPoint = std::move(on);
    row.fileSystemType = std::move(type);
    return row;
}

TEST(ExistingMountTests, FindsTheMountOfTheSameHeldDeviceWhateverResourceNamedIt) {
    platform::testing::TemporaryFolder folder;
    const auto token = [&](const std::string& mode, const std::string& name) {
        std::filesystem::create_directories(folder.path() / ".tandalo" / mode);
        const auto path = folder.path() / ".tandalo" / mode / name;
        std::ofstream{path};
        return path.string();
    };
    const auto resource = [](const std::string& text) {
        MountArguments arguments;
        arguments.resource = text;
        return mountedResource(arguments);
    };
    TandaloFileSystem::Context context;
    context.findMTPInterfaces = [] {
        return std::vector{attached("R58N123ABC", 1), attached("OTHER", 2), attached("r58n123abc", 3),
                           attached("TWIN", 4, 1), attached("TWIN", 5, 2)};
    };
    const TandaloFileSystem fileSystem(context);
    const std::vector table{mount("tandalo", "/old/style"),
                            mount(token("1", "R58N123ABC.tandalo"), "/x", "ext4"),
                            mount("mtp://OTHER", "/m/Other"),
                            mount("/gone/.tandalo/1/OTHER.tandalo", "/m/Gone"),
                            mount(token("take-over-2", "R58N123ABC.tandalo"), "/m/Pixel 7"),
                            mount("mtp://TWIN?location=1", "/m/Twin")};
    const auto held = [](const corvane::USBDeviceDescriptor&) { return true; };
    const auto free = [](const corvane::USBDeviceDescriptor&) { return false; };
    const std::vector<std::pair<std::string, std::optional<std::filesystem::path>>> cases{
        {"mtp://R58N123ABC?attempt=2", "/m/Pixel 7"},
        {"mtp://any", "/m/Pixel 7"},
        {token("2", "OTHER.tandalo"), "/m/Other"},
        {"mtp://r58n123abc", std::nullopt}, // another phone, whose serial differs only in letter case
        {"mtp://missing", std::nullopt},
        {token("1", "TWIN@1.tandalo"), "/m/Twin"},
        {"mtp://TWIN?location=2", std::nullopt}, // the twin of the mounted one, at another place
    };
    for (const auto& [text, where] : cases) {
        EXPECT_EQ(existingMount(fileSystem, *resource(text), table, held), where) << text;
    }
    EXPECT_EQ(existingMount(fileSystem, *resource("mtp://OTHER"), {}, held), std::nullopt);
    EXPECT_EQ(existingMount(fileSystem, *resource("mtp://OTHER"), table, free), std::nullopt)
        << "a mount that holds nothing serves nothing";
    try {
        refuseIfAlreadyMounted(fileSystem, *resource("mtp://R58N123ABC"), table, held);
        FAIL() << "a mounted device was not refused";
    } catch (const fusehost::FuseError& error) {
        EXPECT_EQ(error.code(), ETXTBSY);
        EXPECT_STREQ(error.what(), "Pixel 7 is already mounted at /m/Pixel 7");
    }
}

} // namespace
} // namespace tandalo::tools
