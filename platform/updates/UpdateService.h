#pragma once

#include "platform/desktop/ClockTimers.h"
#include "platform/foundation/Clock.h"
#include "platform/foundation/Logger.h"
#include "platform/foundation/Preferences.h"
#include "platform/updates/FeedFetcher.h"
#include "platform/updates/UpdateDelegate.h"
#include "platform/updates/UpdateFeed.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QString;

namespace updates {

class UpdateMessageWindow;
class UpdateWindow;

/// What the application tells the service about itself.
struct UpdateConfiguration {
    std::string applicationName;       // shown in the service's windows
    std::string runningVersion;        // compared with the feed's versions; must be a version
    std::string runningDisplayVersion; // shown to the user; the running version when empty
    std::chrono::milliseconds fetchTimeout = std::chrono::seconds(30);
};

/// Keys of the application's preferences that the service reads at start and writes after each check.
namespace settingsKey {
inline constexpr std::string_view feedURL = "updateFeedURL";             // text, an http(s) URL
inline constexpr std::string_view checkInterval = "updateCheckInterval"; // integer seconds
inline constexpr std::string_view lastCheckDate = "updateLastCheckDate"; // date, written by the service
} // namespace settingsKey

/// The platform services the update service uses, replaceable in tests.
struct UpdatePlatform {
    desktop::ClockTimers* timers;                        // the schedule and the fetch time-out, on its clock
    std::function<bool(const std::string& url)> openURL; // the desktop's URL handler; false on failure
    std::function<bool()> applicationIsActive;           // whether one of the application's windows has focus

    /// The timers given (on the real clock in the application), QDesktopServices and Qt's application state.
    static UpdatePlatform system(desktop::ClockTimers& timers);
};

/// The update service: checks the application's update feed on a schedule and when the user asks, shows
/// its own windows (the update window, "You're up to date.", a failed check), and tells its delegate
/// what happens. A found update opens a session that lasts until the user downloads it, postpones it with
/// "Later" or closes its window. Lives on the application's main thread, inside a running QApplication;
/// owns its fetcher, its timers and its windows. Nothing happens before start().
class UpdateService {
public:
    /// Scheduled checks run this often unless the settings say otherwise, and never more often than the
    /// shortest interval nor less often than the longest.
    static constexpr std::chrono::seconds defaultCheckInterval = std::chrono::hours(24);
    static constexpr std::chrono::seconds shortestCheckInterval = std::chrono::hours(1);
    static constexpr std::chrono::seconds longestCheckInterval = std::chrono::hours(24 * 30);
    /// Timers stop while the computer sleeps, so the schedule looks at the wall clock at least this often.
    static constexpr std::chrono::milliseconds scheduleReview = std::chrono::hours(1);

    /// Creates the service without starting it. Throws UpdateError (invalidConfiguration) when the
    /// running version is not a version. The delegate must outlive the service.
    UpdateService(UpdateConfiguration configuration, platform::Preferences settings, UpdateDelegate& delegate,
                  UpdatePlatform platform);
    ~UpdateService();
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    /// Reads the settings and starts the schedule. Without a valid feed URL the service never checks and
    /// canCheck() stays false. A second call does nothing.
    void start();

    /// Whether a check may start now: started, a feed configured, and no check fetching.
    bool canCheck() const { return m_canCheck; }
    /// The one observer of canCheck(): called at once with the current value and then with every change.
    void setCanCheckObserver(std::function<void(bool)> observer);

    /// Whether a found update waits for the user's decision, with its window shown or not.
    bool isSessionActive() const { return m_session.has_value(); }

    /// A check the user asked for. During a session it brings the update's window (back) to the front;
    /// while a check is fetching it makes that check the user's, so they see its outcome; otherwise it
    /// fetches the feed and shows the update, "You're up to date." or why the check failed.
    void checkNow();

private:
    struct Session {
        UpdateItem item;
        CheckKind check;
    };

    void scheduleNextCheck();
    void reviewSchedule();
    void beginCheck(CheckKind check);
    void checkFinished(FeedFetcher::Result result);
    void failCheck(CheckKind check, const UpdateError& error);
    void presentUpdate(Session session);
    void showUpdateWindow(bool activate);
    void download();
    void openReleaseNotes();
    bool openLink(const std::string& url);
    void endSession();
    void showMessage(const QString& text, const QString& detail, bool failed);
    void setCanCheck(bool canCheck);
    platform::Clock::WallTime nextCheckDate(platform::Clock::WallTime now) const;

    UpdateConfiguration m_configuration;
    platform::Preferences m_settings;
    UpdateDelegate& m_delegate;
    UpdatePlatform m_platform;
    oslog::Logger m_log;
    FeedFetcher m_fetcher;

    bool m_started = false;
    std::string m_feedURL; // empty: no feed, no checks
    std::chrono::seconds m_interval = defaultCheckInterval;
    std::optional<platform::Clock::WallTime> m_lastCheck;
    std::optional<CheckKind> m_checking; // the check whose fetch runs
    std::optional<Session> m_session;
    bool m_canCheck = false;
    std::function<void(bool)> m_canCheckObserver;
    desktop::ClockTimers::Timer m_nextCheck;
    std::unique_ptr<UpdateWindow> m_window;         // made at the first session shown, then reused
    std::unique_ptr<UpdateMessageWindow> m_message; // "You're up to date." or a failed check, reused
};

} // namespace updates
