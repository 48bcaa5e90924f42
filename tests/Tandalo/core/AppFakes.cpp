#include "tests/Tandalo/core/AppFakes.h"

#include "Tandalo/core/Executor.h"

#include <chrono>
#include <stdexcept>

namespace tandalo::app::testing {

std::vector<std::string> CallLog::entries(std::string_view prefix) const {
    std::vector<std::string> found;
    for (const auto& entry : m_entries) {
        if (entry.starts_with(prefix)) {
            found.push_back(entry);
        }
    }
    return found;
}

namespace {

class RecordingStore final : public PreferenceStore {
public:
    RecordingStore(CallLog& log, std::shared_ptr<MemoryPreferences> values)
        : m_log(log), m_values(std::move(values)) {}

    std::optional<Value> value(std::string_view key) const override {
        m_log.add("preferences: read " + std::string(key));
        return m_values->value(key);
    }
    void set(std::string_view key, const Value& value) override {
        m_log.add("preferences: write " + std::string(key));
        m_values->set(key, value);
    }
    void remove(std::string_view key) override {
        m_log.add("preferences: remove " + std::string(key));
        m_values->remove(key);
    }

private:
    CallLog& m_log;
    std::shared_ptr<MemoryPreferences> m_values;
};

} // namespace

RecordingPreferenceSuites::RecordingPreferenceSuites(CallLog& log)
    : m_standard(std::make_shared<RecordingStore>(log, m_values)) {}

std::vector<corvane::USBDeviceDescriptor> FakeUSBDiscovery::findMTPInterfaces() {
    m_log.add("usb: list");
    return devices;
}

std::optional<corvane::USBDeviceDiscovery::Holder>
FakeUSBDiscovery::holder(const corvane::USBDeviceDescriptor& device) {
    const auto found = holders.find(device.registryEntryID);
    return found == holders.end() ? std::nullopt : std::optional(found->second);
}

struct FakeUSBInterfaceEvents::Target {
    Executor& executor;
    std::function<void()> report;
};

std::unique_ptr<USBInterfaceEvents::Armed> FakeUSBInterfaceEvents::arm(Executor& executor,
                                                                       std::function<void()> report) {
    m_log.add("usb: arm");
    if (refuses) {
        return nullptr;
    }
    struct Token : Armed {
        std::shared_ptr<Target> target;
    };
    auto token = std::make_unique<Token>();
    token->target = std::make_shared<Target>(Target{executor, std::move(report)});
    m_armed = token->target;
    return token;
}

void FakeUSBInterfaceEvents::report() {
    const auto target = m_armed.lock();
    if (!target) {
        return;
    }
    // Posted, as the notification port's dispatch queue does; dropped if the reports end before it runs.
    target->executor.post([weak = m_armed] {
        if (const auto armed = weak.lock()) {
            armed->report();
        }
    });
}

void FakeNotificationCenter::getNotificationSettings(SettingsCompletion completion) {
    m_log.add("notifications: settings");
    m_executor.post([completion = std::move(completion), settings = NotificationSettings{status}] {
        completion(settings);
    });
}

void FakeNotificationCenter::requestAuthorization(AuthorizationCompletion completion) {
    m_log.add("notifications: request");
    m_executor.post(
        [completion = std::move(completion),
         granted = status == NotificationAuthorizationStatus::authorized] { completion(granted); });
}

void FakeNotificationCenter::add(NotificationRequest request) {
    m_log.add("notifications: add " + request.identifier);
    added.push_back(std::move(request));
}

void FakeNotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers) {
    for (const auto& identifier : identifiers) {
        m_log.add("notifications: remove " + identifier);
    }
}

void FakeNotificationCenter::respond(const NotificationResponse& response) const {
    if (m_handler) {
        m_handler(response);
    }
}

void FakeWorkspace::open(const std::string& url, Completion completion) {
    m_log.add("workspace: open " + url);
    m_executor.post([completion = std::move(completion), opened = opens] { completion(opened); });
}

void FakeWorkspace::showFolder(const std::filesystem::path& folder, Completion completion) {
    m_log.add("workspace: show " + folder.string());
    m_executor.post([completion = std::move(completion), shown = showsFolders] { completion(shown); });
}

Task<std::optional<bool>> FakeExtensionStatus::isEnabled() {
    m_log.add("extension: isEnabled");
    if (script.empty()) {
        co_return answer;
    }
    const auto next = script.front();
    script.pop_front();
    co_return next;
}

void FakeLoginService::registerService() {
    m_log.add("login: register");
    if (refusal) {
        throw std::runtime_error(*refusal);
    }
    registered = true;
}

void FakeLoginService::unregisterService() {
    m_log.add("login: unregister");
    if (refusal) {
        throw std::runtime_error(*refusal);
    }
    registered = false;
}

void FakeOnboarding::show(AppModel&) {
    const auto since =
        std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.now().time_since_epoch());
    m_log.add("onboarding: show at " + std::to_string(since.count()) + " ms");
}

} // namespace tandalo::app::testing
