#pragma once

#include "Corvane/device/DataPhase.h"
#include "Corvane/device/MTPTrace.h"
#include "Corvane/usb/PTPTransport.h"
#include "Corvane/wire/PTPContainer.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPOperation.h"
#include "platform/foundation/Clock.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

/// The result of one transaction that the device answered with OK.
struct MTPResponse {
    /// Always 0x2001: every other response code is thrown.
    std::uint16_t code = 0x2001;
    std::vector<std::uint32_t> params;
    /// The data-in bytes that no sink took; empty otherwise.
    std::vector<std::byte> data;
};

/// Runs PTP transactions (command, at most one data phase, response) over the one transport it owns:
/// numbers them, streams data in both directions in chunks, applies the time-outs, checks the response,
/// traces every exchange, and brings the device back in step after a transaction that broke off halfway.
///
/// Not thread-safe by itself: MTPDevice calls it only while it holds its operation mutex. The settings
/// (time-outs, chunk size) are atomics, so any thread may change them; a change applies from the next
/// transaction on.
class TransactionEngine {
public:
    /// Called after the engine reset the device to recover from a broken transaction, so that the owner
    /// can reopen the session that the reset closed. Runs on the engine's thread; may run transactions,
    /// which are bounded by the recovery's short time-outs. Throws when the session cannot be reopened.
    using SessionLostHandler = std::function<void()>;

    TransactionEngine(std::unique_ptr<PTPTransport> transport, MTPTrace trace, platform::Clock& clock);
    ~TransactionEngine();
    TransactionEngine(const TransactionEngine&) = delete;
    TransactionEngine& operator=(const TransactionEngine&) = delete;

    PTPTransport& transport() noexcept { return *m_transport; }
    const PTPTransport& transport() const noexcept { return *m_transport; }
    const MTPTrace& trace() const noexcept { return m_trace; }

    void setSessionLostHandler(SessionLostHandler handler) { m_sessionLost = std::move(handler); }

    Seconds commandTimeout() const noexcept { return Seconds(m_commandTimeout.load()); }
    void setCommandTimeout(Seconds timeout) noexcept { m_commandTimeout.store(timeout.count()); }
    Seconds dataTimeout() const noexcept { return Seconds(m_dataTimeout.load()); }
    void setDataTimeout(Seconds timeout) noexcept { m_dataTimeout.store(timeout.count()); }
    std::int64_t readChunkSize() const noexcept { return m_readChunkSize.load(); }
    /// Throws PTPError::io for a size that cannot hold the 12-byte header plus data (13 and up), or that
    /// is above maximumChunkSize.
    void setReadChunkSize(std::int64_t size);

    static constexpr std::int64_t defaultReadChunkSize = 0x100000;
    static constexpr std::int64_t maximumChunkSize = 256LL * 1024 * 1024;
    static constexpr double defaultCommandTimeout = 30.0;
    static constexpr double defaultDataTimeout = 90.0;

    /// A transaction is under way on this engine (its sink or provider may be running).
    bool isRunning() const noexcept { return m_running; }

    /// The device stopped answering and did not come back when the engine tried to recover it (a reset
    /// and a new session): it is taken to be gone. Every later transaction throws this error at once,
    /// without touching the transport. Nothing before.
    const std::optional<PTPError>& lostError() const noexcept { return m_lost; }
    /// How long the transfer now in progress on the transport has waited, or nothing between transfers.
    /// Any thread.
    std::optional<platform::Clock::Duration> transferInProgressFor() const;
    /// Gives the device up from any thread: closes the transport, which ends a transfer in progress at
    /// once, and every later transaction throws at once. For a device that hangs while its owner goes.
    void abandon() noexcept;
    /// How long each exchange of a recovery (reading to the end of a transaction, reopening the session)
    /// may wait: a device that has just answered, or just been reset, answers at once or not at all.
    static constexpr double recoveryTimeout = 5.0;

    std::uint32_t nextTransactionID() const noexcept { return m_nextTransactionID; }
    void setNextTransactionID(std::uint32_t id) noexcept { m_nextTransactionID = id; }

    /// One transaction with the next transaction ID. A transaction started while another one runs (from
    /// its sink or provider) throws deviceBusy before anything is sent. Throws the transport's errors
    /// unchanged, the container and data-phase errors, responseError for any code but OK, and whatever the
    /// sink or provider throws. The ID is used up whether or not the transaction succeeds.
    MTPResponse transaction(PTPOperation operation, std::span<const std::uint32_t> params,
                            const DataPhase& phase = DataPhase::none());
    MTPResponse transaction(PTPOperation operation, std::initializer_list<std::uint32_t> params,
                            const DataPhase& phase = DataPhase::none()) {
        return transaction(operation, std::span<const std::uint32_t>(params.begin(), params.size()), phase);
    }

    /// A command and response exchange under a fixed transaction ID that leaves the counter alone; the
    /// session opening uses it with ID 0.
    MTPResponse exchange(PTPOperation operation, std::uint32_t transactionID,
                         std::span<const std::uint32_t> params);

    /// Writes one trace line when start is set (the trace is on).
    void log(std::optional<platform::Clock::TimePoint> start, PTPOperation operation,
             std::string_view note) const;
    /// The start time of a traced exchange, or nothing when the trace is off.
    std::optional<platform::Clock::TimePoint> traceStart() const;

private:
    struct Settings;
    struct Progress;

    void refuseNested(PTPOperation operation) const;
    void refuseGone() const;
    /// Runs one call of the transport, stamped as the transfer in progress.
    template <typename F> decltype(auto) timed(F&& call) {
        m_transferStarted.store(m_clock.now().time_since_epoch().count());
        struct Clear {
            std::atomic<platform::Clock::Duration::rep>& started;
            ~Clear() { started.store(noTransfer); }
        } clear{m_transferStarted};
        return std::forward<F>(call)();
    }
    MTPResponse run(PTPOperation operation, std::uint32_t transactionID,
                    std::span<const std::uint32_t> params, const DataPhase& phase);
    void writeCommand(const Settings& settings, PTPOperation operation, std::uint32_t transactionID,
                      std::span<const std::uint32_t> params, Progress& progress);
    void sendData(const Settings& settings, PTPOperation operation, std::uint32_t transactionID,
                  const DataPhase& phase, Progress& progress);
    std::optional<PTPContainer> receiveData(const Settings& settings, PTPOperation operation,
                                            std::uint32_t transactionID, const DataPhase& phase,
                                            std::vector<std::byte>& collected, Progress& progress);
    PTPContainer readResponse(const Settings& settings, Progress& progress);
    void checkResponse(const PTPContainer& response, PTPOperation operation, std::uint32_t transactionID,
                       Progress& progress);

    void recover(const Settings& settings, PTPOperation operation, std::uint32_t transactionID,
                 const Progress& progress);
    void drainToResponse(const Settings& settings, std::uint32_t transactionID, const Progress& progress);
    void resetAfterFailure();

    /// Whether the bytes are exactly one response container of the transaction.
    static bool isResponseTo(std::span<const std::byte> bytes, std::uint32_t transactionID);
    /// Stops the transaction on the device with the class request Cancel and waits, on the clock, until
    /// the device says it is ready again. False when the device refuses the request or stays busy.
    bool cancel(const Settings& settings, std::uint32_t transactionID);
    /// The buffer that reads land in when no caller's buffer takes them: the chunk size, at least one
    /// packet; grown once and reused.
    std::span<std::byte> receiveBuffer(const Settings& settings);
    std::size_t read(const Settings& settings, std::span<std::byte> into, Progress& progress);
    void write(std::span<const std::byte> bytes, Seconds timeout, Progress& progress);
    void writeZeroLength(Seconds timeout, Progress& progress);

    std::unique_ptr<PTPTransport> m_transport;
    MTPTrace m_trace;
    platform::Clock& m_clock;
    SessionLostHandler m_sessionLost;
    /// Set while a recovery runs, so that an exchange inside it (reopening the session) that fails does
    /// not start another one, and so that its exchanges run with the recovery's time-outs.
    bool m_recovering = false;
    std::optional<PTPError> m_lost;
    std::atomic<bool> m_abandoned{false};
    static constexpr platform::Clock::Duration::rep noTransfer =
        std::numeric_limits<platform::Clock::Duration::rep>::min();
    /// When the transfer in progress started on the clock, or noTransfer.
    std::atomic<platform::Clock::Duration::rep> m_transferStarted{noTransfer};
    bool m_running = false;
    std::uint32_t m_nextTransactionID = 0;
    std::atomic<double> m_commandTimeout{defaultCommandTimeout};
    std::atomic<double> m_dataTimeout{defaultDataTimeout};
    std::atomic<std::int64_t> m_readChunkSize{defaultReadChunkSize};
    /// The one buffer that joins the data header with the first bytes, and gathers provider output into
    /// whole chunks; it grows to the chunk size once and is reused.
    std::vector<std::byte> m_sendBuffer;
    std::vector<std::byte> m_receiveBuffer;
};

} // namespace corvane
