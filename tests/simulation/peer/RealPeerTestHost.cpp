#include "RealPeerTestHost.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace peertest {

using corvane::PTPContainer;

RawHost::RawHost(std::shared_ptr<usb::USBBus> bus, usb::RegistryEntryID interfaceID) : m_bus(std::move(bus)) {
    m_handle = m_bus->open(interfaceID, usb::OpenMode::exclusive);
    for (const usb::EndpointDescriptor& endpoint : m_bus->endpoints(interfaceID)) {
        if (endpoint.transferType() == usb::TransferType::interrupt) {
            m_interrupt = endpoint.address;
        } else if (endpoint.direction() == usb::Direction::in) {
            m_in = endpoint.address;
        } else {
            m_out = endpoint.address;
        }
    }
}

RawHost::~RawHost() {
    m_bus->close(m_handle);
}

std::vector<std::byte> RawHost::read(std::size_t maxLength, usb::Timeout timeout) {
    return m_bus->readPipe(m_handle, m_in, maxLength, timeout);
}

std::vector<std::byte> RawHost::readInterrupt(usb::Timeout timeout) {
    return m_bus->readPipe(m_handle, m_interrupt, 64, timeout);
}

void RawHost::write(std::span<const std::byte> bytes, usb::Timeout timeout) {
    m_bus->writePipe(m_handle, m_out, bytes, timeout);
}

void RawHost::command(std::uint16_t code, std::uint32_t transactionID,
                      std::initializer_list<std::uint32_t> params) {
    write(PTPContainer(PTPContainer::Kind::command, code, transactionID, params).encoded());
}

void RawHost::dataOut(std::uint16_t code, std::uint32_t transactionID, std::span<const std::byte> payload,
                      bool withZLP) {
    const auto header = PTPContainer::header(PTPContainer::Kind::data, code, transactionID,
                                             PTPContainer::lengthField(payload.size()));
    std::vector<std::byte> container(header.begin(), header.end());
    container.insert(container.end(), payload.begin(), payload.end());
    write(container);
    if (withZLP && container.size() % 512 == 0) {
        write({});
    }
}

std::vector<std::byte> RawHost::Exchange::payload() const {
    if (!data || data->size() < PTPContainer::headerSize) {
        return {};
    }
    return {data->begin() + PTPContainer::headerSize, data->end()};
}

RawHost::Exchange RawHost::transact(std::uint16_t code, std::initializer_list<std::uint32_t> params,
                                    std::optional<std::span<const std::byte>> dataOut) {
    const std::uint32_t transactionID = nextTransactionID();
    command(code, transactionID, params);
    if (dataOut) {
        this->dataOut(code, transactionID, *dataOut);
    }
    Exchange exchange;
    // A zero-length packet left over from a data phase may come first; a few are allowed.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<std::byte> bytes = read();
        if (bytes.empty()) {
            continue;
        }
        const PTPContainer::Header header = PTPContainer::parseHeader(bytes);
        if (header.kind == PTPContainer::Kind::data && !exchange.data) {
            exchange.data = std::move(bytes);
            exchange.dataTransfers = 1;
            while (exchange.data->size() < header.length) {
                std::vector<std::byte> more =
                    read(std::min<std::size_t>(1 << 20, header.length - exchange.data->size()));
                ++exchange.dataTransfers;
                exchange.data->insert(exchange.data->end(), more.begin(), more.end());
            }
            continue;
        }
        exchange.response = PTPContainer::parse(bytes);
        exchange.responseLength = bytes.size();
        return exchange;
    }
    throw std::runtime_error("no response container arrived");
}

std::vector<std::byte> pattern(std::size_t size, unsigned seed) {
    std::vector<std::byte> bytes(size);
    std::uint32_t state = 2463534242U ^ seed;
    for (std::byte& each : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        each = static_cast<std::byte>(state & 0xFF);
    }
    return bytes;
}

std::filesystem::path writeFile(const std::filesystem::path& path, std::span<const std::byte> contents) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + path.string());
    }
    return path;
}

std::vector<std::byte> readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        throw std::runtime_error("cannot read " + path.string());
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    return bytesOf(text);
}

void RealPeerTest::SetUp() {
    if (const auto reason = simulation::RealPeer::unavailableReason(peerOptions().program)) {
        GTEST_SKIP() << "no real peer on this machine: " << *reason;
    }
    m_bus = std::make_shared<simulation::SimulatedBus>(platform::Clock::system());
    m_peer = simulation::RealPeer::start(*m_bus, peerOptions());
}

void RealPeerTest::TearDown() {
    m_peer.reset();
    m_bus.reset();
}

usb::RegistryEntryID RealPeerTest::interfaceID() const {
    const auto plugged = m_peer->plugged();
    if (!plugged || plugged->interfaceIDs.empty()) {
        throw std::logic_error("the real peer is not on the bus");
    }
    return plugged->interfaceIDs.front();
}

std::unique_ptr<RawHost> RealPeerTest::openRaw() const {
    return std::make_unique<RawHost>(m_bus, interfaceID());
}

std::string RealPeerTest::peerLog() const {
    return m_peer ? m_peer->log() : std::string();
}

} // namespace peertest
