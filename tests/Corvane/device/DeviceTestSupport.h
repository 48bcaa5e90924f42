#pragma once

#include "Corvane/device/MTPDevice.h"
#include "Corvane/wire/PTPContainer.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPOperation.h"
#include "ScriptedTransport.h"

#include "platform/foundation/Clock.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace corvane::testing {

/// The operation's code as the phone logs it.
constexpr std::uint16_t code(PTPOperation operation) {
    return rawValue(operation);
}

/// Runs f and returns the PTPError it throws; fails the test when it throws nothing or something else.
template <typename F> PTPError catchPTPError(F&& f) {
    try {
        std::forward<F>(f)();
    } catch (const PTPError& error) {
        return error;
    } catch (const std::exception& error) {
        ADD_FAILURE() << "threw another exception: " << error.what();
        return PTPError::cancelled();
    }
    ADD_FAILURE() << "threw nothing";
    return PTPError::cancelled();
}

/// Every operation code of the table.
std::vector<std::uint16_t> allOperations();
/// allOperations() without the given ones.
std::vector<std::uint16_t> operationsWithout(std::initializer_list<PTPOperation> missing);

/// A device information dataset listing these operations and device properties.
std::vector<std::byte> deviceInfoDataset(const std::vector<std::uint16_t>& operations,
                                         const std::vector<std::uint16_t>& properties = {});

/// A simulated device's answer to one command: a response code and parameters, and for operations that
/// send data to the host, the data.
struct Reply {
    std::uint16_t code = 0x2001;
    std::vector<std::uint32_t> params;
    std::optional<std::vector<std::byte>> data;

    static Reply ok(std::vector<std::uint32_t> params = {}) { return Reply{0x2001, std::move(params), {}}; }
    static Reply withData(std::vector<std::byte> data) { return Reply{0x2001, {}, std::move(data)}; }
    static Reply error(std::uint16_t code) { return Reply{code, {}, {}}; }
};

/// An MTPDevice over a ScriptedTransport whose responder answers commands by operation, with its own
/// clock, environment (preferences in a private folder), log store and standard-error capture.
/// Operations without a handler are answered with operationNotSupported (0x2005).
class DeviceRig {
public:
    using Handler = std::function<Reply(const PTPContainer& command)>;

    explicit DeviceRig(std::vector<std::uint16_t> operations = allOperations(),
                       std::vector<std::uint16_t> properties = {}, std::size_t packetSize = 512,
                       std::vector<std::pair<std::string, std::string>> environment = {});
    ~DeviceRig();

    /// Replaces the answer to one operation.
    void on(PTPOperation operation, Handler handler);
    /// Opens the session through the default handlers and forgets the calls that took.
    void open();

    std::vector<PTPContainer> commands() const { return transport->commands(); }
    std::vector<std::uint16_t> commandCodes() const;
    std::vector<std::string> traceLines() const;

    platform::VirtualClock clock;
    std::filesystem::path preferencesFolder;
    platform::MemoryEnvironment environment;
    oslog::LogStore logStore{clock};
    std::vector<std::string> standardError;
    ScriptedTransport* transport = nullptr;
    std::unique_ptr<MTPDevice> device;

private:
    mutable std::mutex m_mutex; // guards m_handlers
    std::map<std::uint16_t, Handler> m_handlers;
    std::vector<std::uint16_t> m_operations;
    std::vector<std::uint16_t> m_properties;
};

} // namespace corvane::testing
