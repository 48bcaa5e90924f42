#include "platform/fskit/FSUnaryFileSystem.h"

#include "tests/platform/fskit/FakeVolume.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace fskit {
namespace {

TEST(FSUnaryFileSystemTests, ContainerStatusStartsNotReadyAndCarriesTheBlockingError) {
    fake::FakeFileSystem fileSystem;
    EXPECT_EQ(fileSystem.containerStatus().state(), FSContainerStatus::State::notReady);

    fileSystem.setContainerStatus(FSContainerStatus::blockedWithStatus(fs_errorForPOSIXError(ENXIO)));
    const auto blocked = fileSystem.containerStatus();
    EXPECT_EQ(blocked.state(), FSContainerStatus::State::blocked);
    ASSERT_TRUE(blocked.status().has_value());
    EXPECT_EQ(blocked.status()->code(), ENXIO);

    fileSystem.setContainerStatus(FSContainerStatus::ready());
    EXPECT_EQ(fileSystem.containerStatus().state(), FSContainerStatus::State::ready);
    EXPECT_FALSE(fileSystem.containerStatus().status().has_value());
}

TEST(FSUnaryFileSystemTests, ProbeResultsCarryNameAndContainerOnlyWhenUsable) {
    const auto notRecognized = FSProbeResult::notRecognizedProbeResult();
    EXPECT_EQ(notRecognized.result(), FSProbeResult::Result::notRecognized);
    EXPECT_FALSE(notRecognized.containerID().has_value());

    const FSContainerIdentifier container({1, 2, 3});
    const auto usable = FSProbeResult::usableProbeResult("Pixel 7", container);
    EXPECT_EQ(usable.result(), FSProbeResult::Result::usable);
    EXPECT_EQ(usable.name(), "Pixel 7");
    EXPECT_EQ(usable.containerID(), container);
}

} // namespace
} // namespace fskit
