#pragma once

#include "Corvane/wire/PTPContainer.h"
#include "platform/usb/USBBus.h"
#include "simulation/SimulatedBus.h"
#include "simulation/peer/RealPeer.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace peertest {

/// Every bus transfer of these tests ends within this much real time: a peer that stops answering fails
/// the test instead of hanging it.
inline constexpr usb::Timeout transferLimit = std::chrono::milliseconds(5000);

/// The host end of a raw conversation with a device on the bus: containers written and read as bytes,
/// with no library in between, so that tests see exactly what the device puts on the wire.
class RawHost {
public:
    RawHost(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntryID interfaceID);
    ~RawHost();
    RawHost(const RawHost&) = delete;
    RawHost& operator=(const RawHost&) = delete;

    std::uint8_t bulkIn() const noexcept { return m_in; }
    std::uint8_t bulkOut() const noexcept { return m_out; }
    std::uint8_t interruptIn() const noexcept { return m_interrupt; }
    usb::USBBus& bus() const noexcept { return *m_bus; }
    usb::HandleID handle() const noexcept { return m_handle; }

    /// One host read on bulk IN (at most maxLength, ending at a short packet or a ZLP).
    std::vector<std::byte> read(std::size_t maxLength = 1 << 20, usb::Timeout timeout = transferLimit);
    std::vector<std::byte> readInterrupt(usb::Timeout timeout = transferLimit);
    void write(std::span<const std::byte> bytes, usb::Timeout timeout = transferLimit);

    /// A fresh transaction ID (1, 2, ...).
    std::uint32_t nextTransactionID() noexcept { return ++m_transactionID; }
    void command(std::uint16_t code, std::uint32_t transactionID,
                 std::initializer_list<std::uint32_t> params);
    /// A data container in one transfer, followed by a ZLP when it is whole packets and withZLP is set.
    void dataOut(std::uint16_t code, std::uint32_t transactionID, std::span<const std::byte> payload,
                 bool withZLP = true);

    /// What one transaction brought back: the data container as it arrived (one host read per
    /// transfer, gathered), and the response.
    struct Exchange {
        std::optional<std::vector<std::byte>> data; // the whole data container, header included
        std::size_t dataTransfers = 0;              // how many host reads it took
        corvane::PTPContainer response{corvane::PTPContainer::Kind::response, 0, 0};
        std::size_t responseLength = 0; // the response transfer's size on the wire

        std::uint16_t code() const { return response.code(); }
        /// The data container's payload.
        std::vector<std::byte> payload() const;
    };
    /// Command, optional data out, then reads until the response.
    Exchange transact(std::uint16_t code, std::initializer_list<std::uint32_t> params = {},
                      std::optional<std::span<const std::byte>> dataOut = std::nullopt);

private:
    std::shared_ptr<usb::USBBus> m_bus;
    usb::HandleID m_handle = 0;
    std::uint8_t m_in = 0;
    std::uint8_t m_out = 0;
    std::uint8_t m_interrupt = 0;
    std::uint32_t m_transactionID = 0;
};

using testsupport::bytesOf;
using testsupport::textOf;
/// A deterministic pattern of the size, different for each seed.
std::vector<std::byte> pattern(std::size_t size, unsigned seed = 1);
/// Writes a file and returns its path.
std::filesystem::path writeFile(const std::filesystem::path& path, std::span<const std::byte> contents);
std::vector<std::byte> readFile(const std::filesystem::path& path);

/// A real peer on a bus with the system clock, for tests that need one: skips the test when the machine
/// cannot run it (no program, no /dev/fuse), and takes it down however the test ends.
class RealPeerTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    /// The options the peer starts with; tests override to change them.
    virtual simulation::RealPeerOptions peerOptions() const { return {}; }

    simulation::RealPeer& peer() const { return *m_peer; }
    const std::shared_ptr<simulation::SimulatedBus>& bus() const { return m_bus; }
    usb::RegistryEntryID interfaceID() const;
    /// Opens the interface for raw exchanges.
    std::unique_ptr<RawHost> openRaw() const;
    /// The program's output, for failure messages.
    std::string peerLog() const;

private:
    std::shared_ptr<simulation::SimulatedBus> m_bus;
    std::unique_ptr<simulation::RealPeer> m_peer;
};

} // namespace peertest
