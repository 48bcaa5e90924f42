#include "simulation/peer/RealPeer.h"

#include "simulation/SimulatedBus.h"
#include "simulation/peer/FunctionFSMount.h"
#include "simulation/peer/RealPeerError.h"
#include "simulation/peer/RealPeerFunction.h"
#include "simulation/peer/RealPeerProcess.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <utility>

namespace simulation {

namespace {

// The endpoint files the program is told about: bulk IN, bulk OUT, interrupt, as it declares them.
constexpr std::size_t endpointFileCount = 3;
// How much of the program's output an error message quotes.
constexpr std::size_t logTailLength = 2000;
// How long an unplug waits for the program to finish the step it is in (see unplug()).
constexpr auto unplugSettleLimit = std::chrono::milliseconds(500);
// How often start looks whether the program died while it waits for the descriptors.
constexpr auto startPollInterval = std::chrono::milliseconds(50);

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// A value for the program's configuration file, which has no escapes.
std::string quoted(const std::string& text) {
    if (text.find_first_of("\"\n") != std::string::npos) {
        throw RealPeerError("a real peer's configuration cannot carry \"" + text + "\"");
    }
    return '"' + text + '"';
}

std::filesystem::path makeRootFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tandalo-realpeer-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw RealPeerError::fromErrno("mkdtemp " + pattern, errno);
    }
    return pattern;
}

} // namespace

std::optional<std::string> RealPeer::unavailableReason(const std::filesystem::path& program) {
    if (::access(program.c_str(), X_OK) != 0) {
        return program.string() + " is not installed (Debian package umtp-responder)";
    }
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) {
        return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
    }
    ::close(fuse);
    return std::nullopt;
}

RealPeer::RealPeer(SimulatedBus& bus, Options options) : m_bus(bus), m_options(std::move(options)) {}

std::unique_ptr<RealPeer> RealPeer::start(SimulatedBus& bus, Options options) {
    // Built step by step inside the object, so that a failure at any step tears down the steps before.
    std::unique_ptr<RealPeer> peer(new RealPeer(bus, std::move(options)));
    peer->m_root = makeRootFolder();
    peer->m_storage = peer->m_root / "storage";
    peer->m_configuration = peer->m_root / "umtprd.conf";
    peer->m_logFile = peer->m_root / "umtprd.log";
    std::filesystem::create_directory(peer->m_storage);
    std::filesystem::create_directory(peer->m_root / "ffs");

    peer->m_endpoints = std::make_shared<FunctionFSEndpoints>(*peer->m_options.clock);
    peer->m_mount = FunctionFSMount::mount(peer->m_root / "ffs", peer->m_endpoints, endpointFileCount);
    peer->writeConfiguration();
    // The program reads its options only when "-conf FILE" come first.
    peer->m_process = std::make_unique<RealPeerProcess>(
        RealPeerProcess::start(peer->m_options.program, {"-conf", peer->m_configuration.string()},
                               peer->m_logFile, *peer->m_options.clock));

    platform::Clock& clock = *peer->m_options.clock;
    const auto deadline = clock.deadlineAfter(peer->m_options.startLimit);
    while (!peer->m_endpoints->waitUntilBound(startPollInterval)) {
        std::string why;
        if (const std::string failure = peer->m_endpoints->bindFailure(); !failure.empty()) {
            why = failure;
        } else if (!peer->m_process->isRunning()) {
            why = "it ended (" + (peer->m_process->exit() ? peer->m_process->exit()->text() : "?") + ")";
        } else if (clock.now() >= deadline) {
            why = "it did not declare its function within " +
                  std::to_string(peer->m_options.startLimit.count()) + " ms";
        } else {
            continue;
        }
        throw RealPeerError(peer->m_options.program.string() + " did not come up: " + why + "\n" +
                            peer->log());
    }
    const auto descriptors = peer->m_endpoints->descriptors();
    if (!descriptors || descriptors->endpoints.size() < endpointFileCount) {
        throw RealPeerError(peer->m_options.program.string() + " declared fewer than " +
                            std::to_string(endpointFileCount) + " endpoints");
    }
    peer->plug();
    return peer;
}

void RealPeer::writeConfiguration() const {
    std::ostringstream text;
    text << "# Written for one run of the real-peer bridge.\n"
         << "loop_on_disconnect 1\n"
         << "storage " << quoted(m_storage.string()) << ' ' << quoted(m_options.storageName) << " \"rw\"\n"
         << "manufacturer " << quoted(m_options.manufacturer) << '\n'
         << "product " << quoted(m_options.product) << '\n'
         << "serial " << quoted(m_options.serialNumber) << '\n'
         << "firmware_version \"Rev A\"\n"
         << "interface \"MTP\"\n"
         << "usb_vendor_id " << hex(m_options.vendorID) << '\n'
         << "usb_product_id " << hex(m_options.productID) << '\n'
         << "usb_class 0x6\nusb_subclass 0x1\nusb_protocol 0x1\n"
         << "usb_dev_version 0x3008\n"
         << "usb_functionfs_mode 0x1\n"
         << "usb_dev_path " << quoted(m_mount->file(0).string()) << '\n'
         << "usb_epin_path " << quoted(m_mount->file(1).string()) << '\n'
         << "usb_epout_path " << quoted(m_mount->file(2).string()) << '\n'
         << "usb_epint_path " << quoted(m_mount->file(3).string()) << '\n'
         << "usb_max_packet_size 0x200\n";
    if (m_options.readBufferSize) {
        text << "usb_max_rd_buffer_size " << hex(*m_options.readBufferSize) << '\n';
    }
    if (m_options.writeBufferSize) {
        text << "usb_max_wr_buffer_size " << hex(*m_options.writeBufferSize) << '\n';
    }
    if (!m_options.watchStorage) {
        text << "no_inotify 0x1\n";
    }
    std::ofstream file(m_configuration);
    file << text.str();
    if (!file.flush()) {
        throw RealPeerError("cannot write " + m_configuration.string());
    }
}

void RealPeer::plug() {
    const auto descriptors = m_endpoints->descriptors();
    const auto strings = m_endpoints->strings();
    InterfaceSpec interface;
    interface.number = descriptors->interfaceNumber;
    interface.interfaceClass = descriptors->interfaceClass;
    interface.interfaceSubClass = descriptors->interfaceSubClass;
    interface.interfaceProtocol = descriptors->interfaceProtocol;
    interface.endpoints = descriptors->endpoints;
    if (strings && !strings->interfaceName().empty()) {
        interface.name = strings->interfaceName();
    }
    DeviceSpec spec;
    spec.vendorID = m_options.vendorID;
    spec.productID = m_options.productID;
    // Whole optionals: assigning a string into an empty one trips a false "maybe uninitialized" of GCC's
    // under the sanitizers.
    spec.vendorName = std::optional<std::string>(m_options.manufacturer);
    spec.productName = std::optional<std::string>(m_options.product);
    spec.serialNumber = std::optional<std::string>(m_options.serialNumber);
    spec.interfaces.push_back(std::move(interface));
    spec.function = std::make_shared<RealPeerFunction>(m_endpoints);
    const PluggedDevice plugged = m_bus.plug(std::move(spec));
    {
        std::lock_guard lock(m_mutex);
        m_plugged = plugged;
    }
    // Like a host that enumerates a device before it talks to it, the device counts as plugged only once
    // the program has acted on ENABLE (and on the DISABLE before it): it ends its session there, and a
    // command that overtook the events would still meet the old session. A program that first wants the
    // host to take data it wrote before (a data phase cut short by the unplug) cannot act on them yet.
    if (!m_endpoints->waitUntilSettled(m_options.startLimit)) {
        throw RealPeerError(m_options.program.string() + " did not act on its ENABLE event within " +
                            std::to_string(m_options.startLimit.count()) + " ms\n" + log());
    }
}

RealPeer::~RealPeer() {
    unplug();
    if (m_endpoints) {
        m_endpoints->shutdown();
    }
    if (m_process) {
        if (!m_process->stop()) {
            std::fprintf(stderr, "real peer: %s (pid %d) could not be reaped\n", m_options.program.c_str(),
                         static_cast<int>(m_process->pid()));
        }
    }
    bool unmounted = true;
    if (m_mount) {
        m_mount->unmount();
        unmounted = m_mount->isUnmounted();
        m_mount.reset();
    }
    if (!m_root.empty()) {
        if (!unmounted) {
            // Removing files below a mount that is still there would reach into it.
            std::fprintf(stderr, "real peer: %s is still mounted; %s is left in place\n",
                         (m_root / "ffs").c_str(), m_root.c_str());
            return;
        }
        std::error_code error;
        std::filesystem::remove_all(m_root, error);
    }
}

std::optional<PluggedDevice> RealPeer::plugged() const {
    std::lock_guard lock(m_mutex);
    return m_plugged;
}

void RealPeer::unplug() {
    std::optional<PluggedDevice> plugged;
    {
        std::lock_guard lock(m_mutex);
        plugged = std::exchange(m_plugged, std::nullopt);
    }
    if (plugged) {
        // A cable is pulled while the program waits for the host, never in the instant between two of its
        // requests: a request it makes after the DISABLE would wait for the next ENABLE, and a thread
        // that the program joins on DISABLE would then never end.
        m_endpoints->waitUntilWaitingForHost(unplugSettleLimit);
        m_bus.unplug(plugged->deviceID);
        // The bus does not tell a function that it was unplugged; a pulled cable disables it.
        m_endpoints->disable();
    }
}

PluggedDevice RealPeer::plugAgain() {
    unplug();
    plug();
    return *plugged();
}

std::string RealPeer::log() const {
    std::ifstream file(m_logFile);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (text.size() > logTailLength) {
        text = "..." + text.substr(text.size() - logTailLength);
    }
    return text;
}

pid_t RealPeer::pid() const {
    return m_process ? m_process->pid() : -1;
}

bool RealPeer::isRunning() {
    return m_process && m_process->isRunning();
}

FunctionFSStatistics RealPeer::statistics() const {
    return m_endpoints->statistics();
}

} // namespace simulation
