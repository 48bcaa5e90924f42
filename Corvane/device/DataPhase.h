#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <utility>

namespace corvane {

/// Receives the bytes of a data-in phase, one call per USB read, in the order they arrived. It runs on the
/// thread that runs the transaction, between two transport calls; whatever it throws ends the transaction.
using DataSink = std::function<void(std::span<const std::byte> chunk)>;

/// Supplies the bytes of a data-out phase: it fills the front of the buffer it is given and returns how
/// many bytes it wrote there; 0 means the data has ended. Whatever it throws ends the transaction.
using DataProvider = std::function<std::size_t(std::span<std::byte> buffer)>;

/// The data phase of one transaction: none, bytes to the device (from memory or from a provider), or
/// bytes from the device (collected into the response, or handed to a sink). It keeps its own copies of
/// the functions but only refers to the bytes of send(span), which must outlive the transaction.
class DataPhase {
public:
    enum class Direction { none, out, in };

    /// No data phase: command and response only.
    static DataPhase none() { return DataPhase(Direction::none); }

    /// Sends these bytes.
    static DataPhase send(std::span<const std::byte> data) {
        DataPhase phase(Direction::out);
        phase.m_data = data;
        phase.m_length = data.size();
        return phase;
    }

    /// Sends length bytes drawn from the provider. The container announces length; the provider is never
    /// asked for more than length bytes in all.
    static DataPhase send(std::uint64_t length, DataProvider provider) {
        DataPhase phase(Direction::out);
        phase.m_length = length;
        phase.m_provider = std::move(provider);
        return phase;
    }

    /// Receives data into the response. More than limit bytes fail the transaction instead of growing
    /// memory without bound.
    static DataPhase receive(std::uint64_t limit = defaultCollectLimit) {
        DataPhase phase(Direction::in);
        phase.m_collectLimit = limit;
        return phase;
    }

    /// Receives data into the response like receive(limit), in the memory of storage, which is taken over
    /// and comes back as the response's data: what it held is written over, never cleared first.
    static DataPhase receive(std::uint64_t limit, std::vector<std::byte>& storage) {
        DataPhase phase = receive(limit);
        phase.m_storage = &storage;
        return phase;
    }

    /// Receives data and hands it to the sink read by read; nothing is kept.
    static DataPhase receive(DataSink sink) {
        DataPhase phase(Direction::in);
        phase.m_sink = std::move(sink);
        phase.m_collectLimit = std::numeric_limits<std::uint64_t>::max();
        return phase;
    }

    /// The most that a collected data phase keeps by default: far above any dataset or property list a
    /// device sends, far below what would endanger the process.
    static constexpr std::uint64_t defaultCollectLimit = 256ULL * 1024 * 1024;

    Direction direction() const noexcept { return m_direction; }
    std::span<const std::byte> data() const noexcept { return m_data; }
    const DataProvider& provider() const noexcept { return m_provider; }
    /// The bytes to send: the buffer's size, or the length announced with a provider.
    std::uint64_t length() const noexcept { return m_length; }
    const DataSink& sink() const noexcept { return m_sink; }
    std::uint64_t collectLimit() const noexcept { return m_collectLimit; }
    /// The memory a collected data phase is received into, when the caller gave it.
    std::vector<std::byte>* storage() const noexcept { return m_storage; }

private:
    explicit DataPhase(Direction direction) : m_direction(direction) {}

    Direction m_direction;
    std::span<const std::byte> m_data;
    std::uint64_t m_length = 0;
    DataProvider m_provider;
    DataSink m_sink;
    std::uint64_t m_collectLimit = 0;
    std::vector<std::byte>* m_storage = nullptr;
};

} // namespace corvane
