#pragma once

// The extension's rig: a simulated phone on a simulated bus (PhoneScenario) with what the extension needs
// around it: a preferences folder of its own, volumes made over the scenario's own device, file systems
// whose connects open the phone's interface on the bus (for those, the scenario connects no device
// itself), and a volume mounted through the in-process host (VolumeHost), where every call goes the whole
// way from the host through the volume, the file-system model and the device to the phone.

#include "FileSystemExtension/AndroidVolume.h"
#include "FileSystemExtension/DeviceStatus.h"
#include "FileSystemExtension/TandaloFileSystem.h"
#include "PhoneScenario.h"
#include "ReplyCapture.h"

#include "Corvane/filesystem/MTPFileSystem.h"
#include "Corvane/usb/TransportFactory.h"
#include "Corvane/usb/USBDeviceDescriptor.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/Preferences.h"
#include "platform/foundation/SHA256.h"
#include "platform/fskit/InProcessHost.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tandalo::testing {

/// A preferences folder of the test's own, named by TANDALO_PREFERENCES_DIR in an environment that only
/// the code under test reads, and removed at the end.
class TemporaryPreferences {
public:
    TemporaryPreferences() {
        std::random_device random;
        m_folder = std::filesystem::temp_directory_path() /
                   ("tandalo-extension-tests-" + std::to_string(random()) + "-" + std::to_string(random()));
        std::filesystem::create_directories(m_folder);
        m_environment.set("TANDALO_PREFERENCES_DIR", m_folder.string());
    }
    ~TemporaryPreferences() {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
    }
    TemporaryPreferences(const TemporaryPreferences&) = delete;
    TemporaryPreferences& operator=(const TemporaryPreferences&) = delete;

    const std::filesystem::path& folder() const { return m_folder; }
    const platform::Environment& environment() const { return m_environment; }
    /// The shared app group's suite, as the application would open it.
    platform::Preferences suite() const {
        return *platform::Preferences::suite(DeviceStatus::suiteName, m_folder);
    }

private:
    std::filesystem::path m_folder;
    platform::MemoryEnvironment m_environment;
};

inline corvane::USBDeviceDescriptor descriptor(std::string serial, std::uint64_t registryID = 0x1000,
                                               std::uint8_t interfaceNumber = 0) {
    corvane::USBDeviceDescriptor result;
    result.registryEntryID = registryID;
    result.vendorID = 0x18D1;
    result.productID = 0x4EE1;
    result.vendorName = "Google";
    result.productName = "Pixel 7";
    result.serialNumber = std::move(serial);
    result.locationID = 0x14200000;
    result.interfaceNumber = interfaceNumber;
    result.interfaceName = "MTP";
    return result;
}

class ExtensionScenario {
public:
    explicit ExtensionScenario(testsupport::PhoneScenario::Options options = {});
    /// Shuts down the volumes it made, which it holds until then, so that no poller or operation outlives
    /// the phone and the clock.
    ~ExtensionScenario();
    ExtensionScenario(const ExtensionScenario&) = delete;
    ExtensionScenario& operator=(const ExtensionScenario&) = delete;

    testsupport::PhoneScenario& scenario() { return m_scenario; }
    simulation::SimulatedPhone& phone() { return m_scenario.phone(); }
    platform::VirtualClock& clock() { return m_scenario.clock(); }
    TemporaryPreferences& preferences() { return m_preferences; }
    oslog::LogStore& logStore() { return m_scenario.logStore(); }
    /// The messages the extension logged, oldest first.
    std::vector<std::string> extensionLog();
    const corvane::USBDeviceDescriptor& descriptor() const { return m_scenario.descriptor(); }
    std::string deviceKey() const { return AndroidVolume::deviceKey(descriptor()); }

    /// The surroundings of a volume: the scenario's clock and log, the test's preferences.
    AndroidVolume::Context volumeContext();
    /// A volume over the scenario's own device, its file system opened.
    std::shared_ptr<AndroidVolume> makeVolume(VolumeAccess access = VolumeAccess::readWrite);

    /// Options for a scenario whose device the file system connects itself.
    static testsupport::PhoneScenario::Options connectedByFileSystem(
        platform::VirtualClock::AutoAdvance autoAdvance = platform::VirtualClock::AutoAdvance::never);

    /// The surroundings of a file system: the scenario's clock, log and bus, the test's preferences, and
    /// connects that open the phone's interface on the bus (through the scenario's transport makers,
    /// recorded and made to fail on request).
    TandaloFileSystem::Context fileSystemContext();

    /// The take-over each connect asked for, in order.
    std::vector<corvane::TakeOver> connectTakeOvers() const;
    /// The next count connects fail with the error before they open anything.
    void failConnects(std::size_t count, corvane::PTPError error);
    /// Runs before each connect opens anything, with the connect's number (1 for the first).
    void beforeConnect(std::function<void(std::size_t)> hook);
    /// Takes the phone off the bus and plugs it in again: its interface comes back under a new registry ID.
    void replug();

private:
    testsupport::PhoneScenario m_scenario;
    TemporaryPreferences m_preferences;
    corvane::TransportFactory m_factory;

    std::vector<std::shared_ptr<AndroidVolume>> m_volumes;

    mutable std::mutex m_mutex; // guards the fields below
    std::vector<corvane::TakeOver> m_takeOvers;
    std::size_t m_failingConnects = 0;
    std::function<void(std::size_t)> m_beforeConnect;
    std::optional<corvane::PTPError> m_connectError;
};

/// The display name of the phone's default storage: its description.
inline constexpr std::string_view storageName = "Internal shared storage";

inline std::vector<std::byte> patternBytes(std::size_t size, std::uint32_t seed = 1) {
    std::vector<std::byte> bytes(size);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::byte>(state >> 24);
    }
    return bytes;
}

/// Lower-case hexadecimal SHA-256, as the simulated phone reports the digest of an object.
inline std::string sha256Hex(std::span<const std::byte> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const auto byte : platform::SHA256::hash(bytes)) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

inline std::span<const std::byte> bytesOfText(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

class VolumeHost {
public:
    struct Options {
        /// Runs on the phone before it is plugged in.
        std::function<void(simulation::SimulatedPhone&)> prepare{};
        /// As the mount tool passes them; "--rdonly" mounts read-only.
        std::vector<std::string> taskOptions{};
    };

    VolumeHost() : VolumeHost(Options{}) {}
    explicit VolumeHost(Options options)
        : m_extension(scenarioOptions(std::move(options.prepare))),
          m_fileSystem(std::make_shared<TandaloFileSystem>(m_extension.fileSystemContext())),
          m_host(
              m_fileSystem,
              std::make_shared<fskit::FSGenericURLResource>("mtp://" + m_extension.descriptor().serialNumber),
              fskit::InProcessHost::Options{fskit::FSTaskOptions(std::move(options.taskOptions))}) {
        m_root = m_host.start();
        m_storage = lookupIn(m_root, storageName).item;
        // The battery poller polls once at activation and then sleeps on the scenario's clock, which
        // stands still: after that, the phone's log holds only what the test does.
        EXPECT_TRUE(eventually([&] { return m_extension.clock().waiterCount() >= 1; }));
        phone().clearLog();
    }

    ExtensionScenario& extension() { return m_extension; }
    testsupport::PhoneScenario& scenario() { return m_extension.scenario(); }
    simulation::SimulatedPhone& phone() { return m_extension.phone(); }
    fskit::InProcessHost& host() { return m_host; }
    std::shared_ptr<AndroidVolume> volume() const {
        return std::dynamic_pointer_cast<AndroidVolume>(m_host.volume());
    }
    const std::shared_ptr<fskit::FSItem>& root() const { return m_root; }
    /// The folder of the phone's storage.
    const std::shared_ptr<fskit::FSItem>& storage() const { return m_storage; }

    std::uint64_t generation() {
        return volume()->withLock([](AndroidVolume::Tables& tables) { return tables.generation; });
    }

    // Calls that wait for their reply.

    fskit::ItemOutcome lookupIn(const std::shared_ptr<fskit::FSItem>& directory, std::string_view name) {
        return m_host.lookupItem(directory, name).wait();
    }
    /// The item at a "/"-separated path below the storage's top; fails the test when a step fails.
    std::shared_ptr<fskit::FSItem> item(std::string_view path) {
        auto current = m_storage;
        while (!path.empty()) {
            const auto slash = path.find('/');
            const auto name = path.substr(0, slash);
            path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
            const auto found = lookupIn(current, name);
            EXPECT_TRUE(found.succeeded()) << "looking up " << name << ": " << found.errorCode();
            if (!found.succeeded()) {
                return nullptr;
            }
            current = found.item;
        }
        return current;
    }
    /// Puts a file on the phone and returns its item.
    std::shared_ptr<fskit::FSItem> addFile(std::string_view path, std::string_view contents) {
        scenario().addFile(path, contents);
        return item(path);
    }
    fskit::ItemOutcome create(const std::shared_ptr<fskit::FSItem>& directory, std::string_view name,
                              fskit::FSItemType type = fskit::FSItemType::file) {
        return m_host.createItem(directory, name, type).wait();
    }
    fskit::StatusOutcome open(const std::shared_ptr<fskit::FSItem>& item,
                              fskit::FSVolumeOpenModes modes = fskit::FSVolumeOpenMode::read |
                                                               fskit::FSVolumeOpenMode::write) {
        return m_host.openItem(item, modes).wait();
    }
    fskit::StatusOutcome close(const std::shared_ptr<fskit::FSItem>& item) {
        return m_host.closeItem(item, {}).wait();
    }
    fskit::ByteCountOutcome read(const std::shared_ptr<fskit::FSItem>& item, off_t offset,
                                 std::size_t length) {
        return m_host.readFromFile(item, offset, length).wait();
    }
    fskit::ByteCountOutcome write(const std::shared_ptr<fskit::FSItem>& item, off_t offset,
                                  std::span<const std::byte> bytes) {
        return m_host.writeContents(item, offset, bytes).wait();
    }
    fskit::ByteCountOutcome write(const std::shared_ptr<fskit::FSItem>& item, off_t offset,
                                  std::string_view text) {
        return write(item, offset, bytesOfText(text));
    }
    /// The whole file, read in pieces of chunk bytes until a read returns nothing.
    std::vector<std::byte> readAll(const std::shared_ptr<fskit::FSItem>& item, std::size_t chunk = 1 << 20) {
        std::vector<std::byte> contents;
        for (;;) {
            const auto piece = read(item, static_cast<off_t>(contents.size()), chunk);
            EXPECT_TRUE(piece.succeeded()) << piece.errorCode();
            if (!piece.succeeded() || piece.count == 0) {
                return contents;
            }
            contents.insert(contents.end(), piece.bytes.begin(), piece.bytes.end());
        }
    }
    std::string readText(const std::shared_ptr<fskit::FSItem>& item) {
        const auto bytes = readAll(item);
        return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
    }
    /// Writes the bytes from offset `from` on in pieces of chunk bytes; fails the test on the first failure.
    void writeAll(const std::shared_ptr<fskit::FSItem>& item, std::span<const std::byte> bytes,
                  std::size_t chunk = 1 << 20, std::size_t from = 0) {
        for (std::size_t done = 0; done < bytes.size(); done += chunk) {
            const auto piece = bytes.subspan(done, std::min(chunk, bytes.size() - done));
            const auto written = write(item, static_cast<off_t>(from + done), piece);
            ASSERT_TRUE(written.succeeded()) << "at " << done << ": " << written.errorCode();
            ASSERT_EQ(written.count, piece.size());
        }
    }
    fskit::AttributesOutcome attributes(const std::shared_ptr<fskit::FSItem>& item) {
        return m_host.getAttributes(item).wait();
    }
    std::uint64_t size(const std::shared_ptr<fskit::FSItem>& item) {
        const auto outcome = attributes(item);
        EXPECT_TRUE(outcome.succeeded());
        return outcome.attributes ? outcome.attributes->size() : 0;
    }
    fskit::StatusOutcome remove(const std::shared_ptr<fskit::FSItem>& item,
                                const std::shared_ptr<fskit::FSItem>& directory, std::string_view name) {
        return m_host.removeItem(item, directory, name).wait();
    }
    fskit::NameOutcome rename(const std::shared_ptr<fskit::FSItem>& item,
                              const std::shared_ptr<fskit::FSItem>& from, std::string_view oldName,
                              const std::shared_ptr<fskit::FSItem>& to, std::string_view newName,
                              std::shared_ptr<fskit::FSItem> over = {}) {
        return m_host.renameItem(item, from, oldName, to, newName, std::move(over)).wait();
    }
    /// The names a whole listing shows, "." and ".." left out.
    std::vector<std::string> names(const std::shared_ptr<fskit::FSItem>& directory) {
        const auto listing = m_host.enumerateAll(directory, std::nullopt, 64);
        EXPECT_TRUE(listing.succeeded()) << listing.errorCode();
        std::vector<std::string> found;
        for (const auto& entry : listing.entries) {
            const std::string name(entry.name.data());
            if (name != "." && name != "..") {
                found.push_back(name);
            }
        }
        return found;
    }

    /// The phone's bytes of the file at a path below the storage's top.
    std::vector<std::byte> phoneBytes(std::string_view path) {
        return phone().contents(scenario().handle(path));
    }
    /// The names the phone holds in a folder below the storage's top ("" for the top), sorted.
    std::vector<std::string> phoneNames(std::string_view folder = {}) {
        const auto parent = folder.empty() ? simulation::SimulatedPhone::root : scenario().handle(folder);
        std::vector<std::string> names;
        for (const auto& child : phone().children(scenario().storage(), parent)) {
            names.push_back(child.name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    /// A size change of the item, as ftruncate(2) asks for it.
    fskit::AttributesOutcome resize(const std::shared_ptr<fskit::FSItem>& item, std::uint64_t size) {
        const auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
        request->setSize(size);
        return m_host.setAttributes(item, request).wait();
    }
    /// Replies that broke the rules (twice, never, too many bytes...) during the test.
    std::vector<fskit::HostFault> faults() const { return m_host.faults(); }

private:
    static testsupport::PhoneScenario::Options
    scenarioOptions(std::function<void(simulation::SimulatedPhone&)> prepare) {
        auto options = ExtensionScenario::connectedByFileSystem();
        options.prepare = std::move(prepare);
        return options;
    }

    ExtensionScenario m_extension;
    std::shared_ptr<TandaloFileSystem> m_fileSystem;
    fskit::InProcessHost m_host;
    std::shared_ptr<fskit::FSItem> m_root;
    std::shared_ptr<fskit::FSItem> m_storage;
};

/// Adds the operation's parameters, in the order the phone saw them, for the transactions of one operation.
inline std::vector<std::vector<std::uint32_t>> paramsOf(simulation::SimulatedPhone& phone,
                                                        corvane::PTPOperation operation) {
    std::vector<std::vector<std::uint32_t>> found;
    for (const auto& transaction : phone.transactions()) {
        if (transaction.operation == static_cast<std::uint16_t>(operation)) {
            found.push_back(transaction.params);
        }
    }
    return found;
}

} // namespace tandalo::testing
