#pragma once

#include "Tandalo/core/Executor.h"
#include "Tandalo/core/NotificationCenter.h"
#include "Tandalo/core/OnboardingPresenter.h"

#include <string_view>

namespace tandalo::app {

class AppModel;

/// Connects the application's own events (launching, quitting, being started again) and the clicks on its
/// notifications to the application model, which it reaches through AppModel::current() at each event and
/// leaves alone while there is none. It keeps no state beyond its services, which must outlive every copy:
/// the work it starts holds a copy of it. Main executor only.
///
/// The program calls applicationWillFinishLaunching() before its event loop runs, applicationWillTerminate()
/// when it quits, and applicationShouldHandleReopen() each time a second copy asks this one to show itself.
class AppDelegate {
public:
    struct Services {
        Executor& executor;
        NotificationCenter& notifications;
        OnboardingPresenter& onboarding;
    };

    static constexpr std::string_view mountedPrefix = "tandalo.mounted.";
    static constexpr std::string_view updateIdentifier = "tandalo.update";

    explicit AppDelegate(Services services) : m_services(services) {}

    /// Takes the clicks on the application's notifications.
    void applicationWillFinishLaunching() const;
    /// Unmounts every volume of the application, blocking for at most 10 s, when a model exists.
    void applicationWillTerminate() const;
    /// Another copy was started: the model's reopen handling, when a model exists. Always false: the
    /// application opens no window of its own for it.
    bool applicationShouldHandleReopen() const;
    /// A click on a notification, or its dismissal. Returns before the work it starts runs.
    void didReceive(const NotificationResponse& response) const;

    /// Set-up done and the extension known to be on: tells the user that the application already runs, or,
    /// without notifications, shows the set-up guide. Otherwise the set-up guide at once.
    void handleReopen(AppModel& model) const;
    /// Shows the folder of the listed device with exactly this id, when it is mounted.
    void openDevice(AppModel& model, std::string_view id) const;

private:
    Services m_services;
};

} // namespace tandalo::app
