#include "DeviceTestSupport.h"

#include "Corvane/wire/PTPWriter.h"

#include <algorithm>
#include <atomic>
#include <unistd.h>

namespace corvane::testing {

namespace {

std::filesystem::path uniqueFolder() {
    static std::atomic<int> counter{0};
    return std::filesystem::temp_directory_path() / ("corvane-device-tests-" + std::to_string(::getpid()) +
                                                     "-" + std::to_string(counter.fetch_add(1)));
}

} // namespace

std::vector<std::uint16_t> allOperations() {
    std::vector<std::uint16_t> codes;
    for (const PTPOperation operation : knownPTPOperations) {
        codes.push_back(rawValue(operation));
    }
    return codes;
}

std::vector<std::uint16_t> operationsWithout(std::initializer_list<PTPOperation> missing) {
    std::vector<std::uint16_t> codes = allOperations();
    for (const PTPOperation operation : missing) {
        std::erase(codes, rawValue(operation));
    }
    return codes;
}

std::vector<std::byte> deviceInfoDataset(const std::vector<std::uint16_t>& operations,
                                         const std::vector<std::uint16_t>& properties) {
    PTPWriter writer;
    writer.u16(100);
    writer.u32(6);
    writer.u16(100);
    writer.string("microsoft.com: 1.0; android.com: 1.0;");
    writer.u16(0);
    writer.u16Array(operations);
    writer.u16Array({});
    writer.u16Array(properties);
    writer.u16Array({});
    writer.u16Array({});
    writer.string("Maker");
    writer.string("Phone 7");
    writer.string("1.0");
    writer.string("SERIAL42");
    return writer.take();
}

DeviceRig::DeviceRig(std::vector<std::uint16_t> operations, std::vector<std::uint16_t> properties,
                     std::size_t packetSize, std::vector<std::pair<std::string, std::string>> variables)
    : preferencesFolder(uniqueFolder()), m_operations(std::move(operations)),
      m_properties(std::move(properties)) {
    environment.set("TANDALO_PREFERENCES_DIR", preferencesFolder.string());
    for (const auto& [name, value] : variables) {
        environment.set(name, value);
    }
    auto owned = std::make_unique<ScriptedTransport>(packetSize);
    transport = owned.get();
    transport->setResponder([this](ScriptedTransport& t, const PTPContainer& command) {
        Handler handler;
        {
            std::lock_guard lock(m_mutex);
            const auto found = m_handlers.find(command.code());
            if (found != m_handlers.end()) {
                handler = found->second;
            }
        }
        const Reply reply = handler ? handler(command) : Reply::error(0x2005);
        if (reply.data) {
            t.queueTransfer(dataContainer(command.code(), command.transactionID(), *reply.data));
        }
        std::vector<std::uint32_t> params = reply.params;
        t.queueTransfer(PTPContainer(PTPContainer::Kind::response, reply.code, command.transactionID(),
                                     std::span<const std::uint32_t>(params))
                            .encoded());
    });
    on(PTPOperation::getDeviceInfo, [this](const PTPContainer&) {
        return Reply::withData(deviceInfoDataset(m_operations, m_properties));
    });
    on(PTPOperation::openSession, [](const PTPContainer&) { return Reply::ok(); });
    on(PTPOperation::closeSession, [](const PTPContainer&) { return Reply::ok(); });

    MTPDevice::Context context;
    context.clock = &clock;
    context.environment = &environment;
    context.logStore = &logStore;
    context.standardError = [this](std::string_view text) { standardError.emplace_back(text); };
    USBDeviceDescriptor descriptor;
    descriptor.registryEntryID = 0x100000abc;
    descriptor.vendorID = 0x18D1;
    descriptor.productID = 0x4EE1;
    descriptor.serialNumber = "SERIAL42";
    device = std::make_unique<MTPDevice>(std::move(owned), descriptor, context);
}

DeviceRig::~DeviceRig() {
    for (const auto& mistake : transport->scriptErrors()) {
        ADD_FAILURE() << "script: " << mistake;
    }
    std::error_code ignored;
    std::filesystem::remove_all(preferencesFolder, ignored);
}

void DeviceRig::on(PTPOperation operation, Handler handler) {
    std::lock_guard lock(m_mutex);
    m_handlers[rawValue(operation)] = std::move(handler);
}

void DeviceRig::open() {
    device->hold()->open();
    transport->clearCalls();
}

std::vector<std::uint16_t> DeviceRig::commandCodes() const {
    std::vector<std::uint16_t> codes;
    for (const PTPContainer& command : transport->commands()) {
        codes.push_back(command.code());
    }
    return codes;
}

std::vector<std::string> DeviceRig::traceLines() const {
    std::vector<std::string> lines;
    const auto far = platform::Clock::WallTime::max();
    for (const oslog::LogEntry& entry : logStore.entries("Corvane", platform::Clock::WallTime::min(), far)) {
        if (entry.category == "trace") {
            lines.push_back(entry.message);
        }
    }
    return lines;
}

} // namespace corvane::testing
