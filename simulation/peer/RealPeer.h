#pragma once

#include "platform/foundation/Clock.h"
#include "simulation/SimulatedBusDevices.h"
#include "simulation/peer/FunctionFSEndpoints.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>

namespace simulation {

class FunctionFSMount;
class RealPeerProcess;
class SimulatedBus;

/// How a real peer is set up: the program, what it tells the host about itself, its buffers.
struct RealPeerOptions {
    /// An MTP responder for Linux FunctionFS gadgets that takes "-conf FILE" (uMTP Responder's umtprd).
    std::filesystem::path program = "/usr/bin/umtprd";
    std::string storageName = "Shared";
    std::uint16_t vendorID = 0x1D6B;
    std::uint16_t productID = 0x0100;
    std::string manufacturer = "Tandalo Real Peer";
    std::string product = "uMTP Responder";
    std::string serialNumber = "RP0001";
    /// The program's largest endpoint read and write; nothing keeps its own default. Whole packets.
    std::optional<std::uint32_t> readBufferSize;
    std::optional<std::uint32_t> writeBufferSize;
    /// Whether it watches its storage folder and reports changes as events.
    bool watchStorage = true;
    /// How long it may take to start and declare its function, in real time.
    std::chrono::milliseconds startLimit = std::chrono::seconds(10);
    /// Waits for the program run on this clock; a real program needs real time.
    platform::Clock* clock = &platform::Clock::system();
};

/// A real MTP responder that nobody here wrote, plugged into the simulated bus: the program runs as a
/// child process over an emulated FunctionFS mount (FunctionFSMount, FunctionFSEndpoints) and serves a
/// fresh temporary storage folder, and RealPeerFunction carries the host's transfers to it. The device
/// the bus shows is the one the program declares in its descriptors.
///
/// Owns the temporary folder, the mount, the process and the device's place on the bus. Destruction
/// takes the device off the bus, fails the program's pending I/O, stops and reaps the program, unmounts
/// and removes the folder, each step bounded in time. The bus must outlive the peer.
///
/// Threads: build and destroy it on one thread; the accessors may be called from any thread.
class RealPeer {
public:
    using Options = RealPeerOptions;

    /// Why a real peer cannot run on this machine (the program is missing, /dev/fuse cannot be opened),
    /// or nothing when it can.
    static std::optional<std::string>
    unavailableReason(const std::filesystem::path& program = Options{}.program);

    /// Starts the program, waits until it has declared its function, and plugs the device into the bus.
    /// Throws RealPeerError (with the program's output) when any step fails.
    static std::unique_ptr<RealPeer> start(SimulatedBus& bus, Options options = {});
    ~RealPeer();
    RealPeer(const RealPeer&) = delete;
    RealPeer& operator=(const RealPeer&) = delete;

    /// The folder the program serves as its storage.
    const std::filesystem::path& storageFolder() const noexcept { return m_storage; }
    /// The device on the bus, or nothing while unplugged.
    std::optional<PluggedDevice> plugged() const;
    /// Takes the device off the bus, as a cable pulled out: the program is disabled.
    void unplug();
    /// Puts the device on the bus again, under new registry IDs: the program is enabled again. Returns
    /// once the program has acted on it; throws RealPeerError when it does not within the start limit.
    PluggedDevice plugAgain();
    /// The program's output so far.
    std::string log() const;
    pid_t pid() const;
    /// Whether the program still runs.
    bool isRunning();
    FunctionFSStatistics statistics() const;
    FunctionFSEndpoints& endpoints() noexcept { return *m_endpoints; }

private:
    RealPeer(SimulatedBus& bus, Options options);
    void plug();
    void writeConfiguration() const;

    SimulatedBus& m_bus;
    const Options m_options;
    std::filesystem::path m_root;
    std::filesystem::path m_storage;
    std::filesystem::path m_configuration;
    std::filesystem::path m_logFile;
    std::shared_ptr<FunctionFSEndpoints> m_endpoints;
    std::unique_ptr<FunctionFSMount> m_mount;
    std::unique_ptr<RealPeerProcess> m_process;
    mutable std::mutex m_mutex; // guards m_plugged
    std::optional<PluggedDevice> m_plugged;
};

} // namespace simulation
