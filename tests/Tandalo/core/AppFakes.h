#pragma once

#include "Tandalo/core/ExtensionStatus.h"
#include "Tandalo/core/LoginItem.h"
#include "Tandalo/core/NotificationCenter.h"
#include "Tandalo/core/OnboardingPresenter.h"
#include "Tandalo/core/USBDiscovery.h"
#include "Tandalo/core/USBInterfaceEvents.h"
#include "Tandalo/core/UpdateFramework.h"
#include "Tandalo/core/Workspace.h"
#include "tests/Tandalo/core/CoreFakes.h"

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Fakes of the services the application model uses beyond the core's platform services. Each records its
// calls in a CallLog that the fakes of one test share, so a test can read the order of calls across them.
// Main thread only, like what they stand for; completions are posted to the executor given, never called
// from inside the call.
namespace tandalo::app::testing {

/// The calls of several fakes, in the order they came: "<service>: <call>".
class CallLog {
public:
    void add(std::string call) { m_entries.push_back(std::move(call)); }
    const std::vector<std::string>& entries() const { return m_entries; }
    /// The entries that begin with the prefix.
    std::vector<std::string> entries(std::string_view prefix) const;
    void clear() { m_entries.clear(); }

private:
    std::vector<std::string> m_entries;
};

/// Preferences in memory whose standard suite records "preferences: read <key>" and "preferences: write
/// <key>"; the test sets values through values(), unrecorded.
class RecordingPreferenceSuites final : public PreferenceSuites {
public:
    explicit RecordingPreferenceSuites(CallLog& log);

    std::shared_ptr<PreferenceStore> standard() override { return m_standard; }
    std::shared_ptr<PreferenceStore> suite(std::string_view name) override { return m_suites.suite(name); }
    MemoryPreferences& values() { return *m_values; }

private:
    std::shared_ptr<MemoryPreferences> m_values = std::make_shared<MemoryPreferences>();
    std::shared_ptr<PreferenceStore> m_standard;
    MemoryPreferenceSuites m_suites;
};

/// A bus whose lists the test sets. Records "usb: list" for each listing of MTP interfaces.
class FakeUSBDiscovery final : public USBDiscovery {
public:
    explicit FakeUSBDiscovery(CallLog& log) : m_log(log) {}

    std::vector<corvane::USBDeviceDescriptor> findMTPInterfaces() override;
    std::vector<corvane::AndroidCandidate> findAndroidCandidatesWithoutMTP() override { return candidates; }
    std::optional<corvane::USBDeviceDiscovery::Holder>
    holder(const corvane::USBDeviceDescriptor& device) override;

    std::vector<corvane::USBDeviceDescriptor> devices;
    std::vector<corvane::AndroidCandidate> candidates;
    /// Holders by registry entry ID.
    std::map<std::uint64_t, corvane::USBDeviceDiscovery::Holder> holders;

private:
    CallLog& m_log;
};

/// Registry reports that the test makes. Records "usb: arm".
class FakeUSBInterfaceEvents final : public USBInterfaceEvents {
public:
    explicit FakeUSBInterfaceEvents(CallLog& log) : m_log(log) {}

    std::unique_ptr<Armed> arm(Executor& executor, std::function<void()> report) override;

    /// A report reaches the executor, as the registry's would, while the reports are armed.
    void report();
    bool isArmed() const { return !m_armed.expired(); }

    /// Makes arm() give nothing, as when no notification port can be made.
    bool refuses = false;

private:
    struct Target;
    CallLog& m_log;
    std::weak_ptr<Target> m_armed;
};

/// A notification centre whose permission the test sets. Records "notifications: settings",
/// "notifications: request", "notifications: add <identifier>" and "notifications: remove <identifier>".
class FakeNotificationCenter final : public NotificationCenter {
public:
    FakeNotificationCenter(CallLog& log, Executor& executor) : m_log(log), m_executor(executor) {}

    void getNotificationSettings(SettingsCompletion completion) override;
    void requestAuthorization(AuthorizationCompletion completion) override;
    void add(NotificationRequest request) override;
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers) override;
    void setResponseHandler(ResponseHandler handler) override { m_handler = std::move(handler); }

    /// The user acts on a notification.
    void respond(const NotificationResponse& response) const;

    NotificationAuthorizationStatus status = NotificationAuthorizationStatus::authorized;
    std::vector<NotificationRequest> added;

private:
    CallLog& m_log;
    Executor& m_executor;
    ResponseHandler m_handler;
};

/// A desktop whose handlers open what they are given, or refuse it. Records "workspace: open <url>" and
/// "workspace: show <folder>".
class FakeWorkspace final : public Workspace {
public:
    FakeWorkspace(CallLog& log, Executor& executor) : m_log(log), m_executor(executor) {}

    void open(const std::string& url, Completion completion) override;
    void showFolder(const std::filesystem::path& folder, Completion completion) override;

    bool opens = true;
    bool showsFolders = true;

private:
    CallLog& m_log;
    Executor& m_executor;
};

/// Answers whether the extension is enabled from a script, then with `answer`. Records
/// "extension: isEnabled" and "extension: openSettings".
class FakeExtensionStatus final : public ExtensionStatus {
public:
    explicit FakeExtensionStatus(CallLog& log) : m_log(log) {}

    Task<std::optional<bool>> isEnabled() override;
    void openSettings() override { m_log.add("extension: openSettings"); }

    std::deque<std::optional<bool>> script;
    std::optional<bool> answer = true;

private:
    CallLog& m_log;
};

/// A login service registered or not, as the test sets, that may refuse. Records "login: register" and
/// "login: unregister" (reads are not recorded).
class FakeLoginService final : public LoginService {
public:
    explicit FakeLoginService(CallLog& log) : m_log(log) {}

    bool isRegistered() const override { return registered; }
    void registerService() override;
    void unregisterService() override;

    bool registered = false;
    /// When set, registering and unregistering throw this message.
    std::optional<std::string> refusal;

private:
    CallLog& m_log;
};

/// Records "onboarding: show at <milliseconds of the clock>".
class FakeOnboarding final : public OnboardingPresenter {
public:
    FakeOnboarding(CallLog& log, const platform::Clock& clock) : m_log(log), m_clock(clock) {}

    void show(AppModel& model) override;

private:
    CallLog& m_log;
    const platform::Clock& m_clock;
};

/// An update framework that checks nothing: the test reports what it would. Records "updates: check".
class FakeUpdateFramework final : public UpdateFramework {
public:
    FakeUpdateFramework(CallLog& log, UpdateFrameworkDelegate& delegate) : delegate(delegate), m_log(log) {}

    void startUpdater() override { started = true; }
    void observeCanCheckForUpdates(std::function<void(bool)> observer) override {
        m_observer = std::move(observer);
    }
    bool sessionInProgress() const override { return session; }
    void checkForUpdates() override { m_log.add("updates: check"); }
    /// Tells the observer, as the framework does when a check begins or ends.
    void reportCanCheck(bool canCheck) { m_observer(canCheck); }

    UpdateFrameworkDelegate& delegate;
    bool started = false;
    bool session = false;

private:
    CallLog& m_log;
    std::function<void(bool)> m_observer;
};

} // namespace tandalo::app::testing
