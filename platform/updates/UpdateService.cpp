#include "platform/updates/UpdateService.h"

#include "platform/updates/UpdateWindow.h"
#include "platform/updates/Version.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QString>
#include <QUrl>
#include <QWidget>

#include <algorithm>
#include <utility>

namespace updates {
namespace {

QString fromStd(const std::string& text) {
    return QString::fromStdString(text);
}

QString tr(const char* text) {
    return QCoreApplication::translate("updates::UpdateService", text);
}

bool isWebURL(const std::string& text) {
    const QUrl url(fromStd(text), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) &&
           !url.host().isEmpty();
}

// A window the user minimised counts as shown, and showing or raising it would leave it down.
void showRestored(QWidget& window) {
    window.setWindowState(window.windowState() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
}

UpdateConfiguration validated(UpdateConfiguration configuration) {
    if (!isVersion(configuration.runningVersion)) {
        throw UpdateError(UpdateError::Kind::invalidConfiguration,
                          "The running version \"" + configuration.runningVersion + "\" is not a version.");
    }
    if (configuration.runningDisplayVersion.empty()) {
        configuration.runningDisplayVersion = configuration.runningVersion;
    }
    return configuration;
}

} // namespace

UpdatePlatform UpdatePlatform::system(desktop::ClockTimers& timers) {
    return UpdatePlatform{
        &timers,
        [](const std::string& url) { return QDesktopServices::openUrl(QUrl(fromStd(url))); },
        [] { return QGuiApplication::applicationState() == Qt::ApplicationActive; },
    };
}

UpdateService::UpdateService(UpdateConfiguration configuration, platform::Preferences settings,
                             UpdateDelegate& delegate, UpdatePlatform platform)
    : m_configuration(validated(std::move(configuration))), m_settings(std::move(settings)),
      m_delegate(delegate), m_platform(std::move(platform)), m_log("updates", "service"),
      m_fetcher(*m_platform.timers, m_configuration.applicationName + "/" + m_configuration.runningVersion) {}

// Members go in reverse order: the windows close without telling anyone, the fetch is cancelled unheard.
UpdateService::~UpdateService() = default;

void UpdateService::start() {
    if (m_started) {
        return;
    }
    m_started = true;
    const auto feed = m_settings.stringValue(settingsKey::feedURL);
    if (!feed || feed->empty()) {
        m_log.info("no update feed is configured; updates are not checked");
        return;
    }
    if (!isWebURL(*feed)) {
        m_log.error("the update feed %{public}s is not an http(s) URL; updates are not checked", *feed);
        return;
    }
    m_feedURL = *feed;
    const auto interval = m_settings.integerValue(settingsKey::checkInterval);
    m_interval =
        interval ? std::clamp(std::chrono::seconds(*interval), shortestCheckInterval, longestCheckInterval)
                 : defaultCheckInterval;
    m_lastCheck = m_settings.dateValue(settingsKey::lastCheckDate);
    setCanCheck(true);
    scheduleNextCheck();
}

void UpdateService::setCanCheckObserver(std::function<void(bool)> observer) {
    m_canCheckObserver = std::move(observer);
    if (m_canCheckObserver) {
        m_canCheckObserver(m_canCheck);
    }
}

void UpdateService::checkNow() {
    if (m_feedURL.empty()) {
        m_log.info("a check was asked for, but no update feed is in use");
        return;
    }
    if (m_session) {
        showUpdateWindow(true);
        const auto item = m_session->item;
        m_delegate.userAttendedUpdate(item);
        return;
    }
    if (m_checking) {
        m_checking = CheckKind::userInitiated;
        return;
    }
    beginCheck(CheckKind::userInitiated);
}

platform::Clock::WallTime UpdateService::nextCheckDate(platform::Clock::WallTime now) const {
    if (!m_lastCheck) {
        return now;
    }
    // A last check in the future means the clock was set back; counting from now keeps the schedule going.
    return std::min(*m_lastCheck, now) + m_interval;
}

// A running check or session reschedules when it ends, so scheduled checks never overlap them.
void UpdateService::scheduleNextCheck() {
    if (m_feedURL.empty() || m_checking || m_session) {
        return;
    }
    const auto now = m_platform.timers->clock().wallNow();
    const auto due = nextCheckDate(now);
    const auto wait = std::clamp(std::chrono::duration_cast<std::chrono::milliseconds>(due - now),
                                 std::chrono::milliseconds(0), scheduleReview);
    m_nextCheck = m_platform.timers->startTimer(wait, [this] { reviewSchedule(); });
}

void UpdateService::reviewSchedule() {
    if (m_checking || m_session) {
        return;
    }
    // One reading of the clock: a due date computed from a later reading than the one it is compared
    // with would never be reached when no check was ever made, and the review would spin instead.
    const auto now = m_platform.timers->clock().wallNow();
    if (nextCheckDate(now) <= now) {
        beginCheck(CheckKind::scheduled);
    } else {
        scheduleNextCheck();
    }
}

void UpdateService::beginCheck(CheckKind check) {
    m_checking = check;
    setCanCheck(false);
    m_fetcher.fetch(m_feedURL, m_configuration.fetchTimeout,
                    [this](FeedFetcher::Result result) { checkFinished(std::move(result)); });
}

void UpdateService::checkFinished(FeedFetcher::Result result) {
    const auto check = *std::exchange(m_checking, std::nullopt);
    m_lastCheck = m_platform.timers->clock().wallNow();
    try {
        m_settings.setDate(settingsKey::lastCheckDate, *m_lastCheck);
    } catch (const std::exception& error) {
        // The schedule keeps the date in memory; only the next launch may check a little early.
        m_log.error("the date of the update check could not be saved: %{public}s", error.what());
    }
    if (const auto* error = std::get_if<UpdateError>(&result)) {
        failCheck(check, *error);
        return;
    }
    const auto& document = std::get<FeedDocument>(result);
    std::optional<UpdateItem> update;
    try {
        update =
            newestUpdate(parseUpdateFeed(document.body, document.finalURL), m_configuration.runningVersion);
    } catch (const UpdateError& error) {
        failCheck(check, error);
        return;
    }
    if (update) {
        m_log.info("version %{public}s is available", update->displayVersion);
        m_session = Session{std::move(*update), check};
        setCanCheck(true);
        presentUpdate(*m_session);
        return;
    }
    scheduleNextCheck();
    setCanCheck(true);
    if (check == CheckKind::userInitiated) {
        showMessage(tr("You're up to date."),
                    tr("%1 %2 is the newest version available.")
                        .arg(fromStd(m_configuration.applicationName),
                             fromStd(m_configuration.runningDisplayVersion)),
                    false);
    }
    m_delegate.checkCycleEnded(check, nullptr);
}

void UpdateService::failCheck(CheckKind check, const UpdateError& error) {
    m_log.error("the update check failed: %{public}s", error.what());
    scheduleNextCheck();
    setCanCheck(true);
    if (check == CheckKind::userInitiated) {
        showMessage(tr("The check for updates failed."), fromStd(error.what()), true);
    }
    m_delegate.checkCycleEnded(check, &error);
}

// The state is settled before every call out (the observer, the delegate), which may call back in; so
// this works on its own copy of the session.
void UpdateService::presentUpdate(Session session) {
    const auto& item = session.item;
    if (session.check == CheckKind::userInitiated) {
        m_delegate.updateFound(item, Presenter::service, session.check);
        showUpdateWindow(true);
        m_delegate.userAttendedUpdate(item);
        return;
    }
    const bool showNow = !m_delegate.prefersQuietReminders() ||
                         m_delegate.shouldShowScheduledUpdate(item, m_platform.applicationIsActive());
    m_delegate.updateFound(item, showNow ? Presenter::service : Presenter::application, session.check);
    if (showNow) {
        showUpdateWindow(false);
    }
}

void UpdateService::showUpdateWindow(bool activate) {
    if (!m_session) {
        return;
    }
    if (!m_window) {
        m_window = std::make_unique<UpdateWindow>(
            m_configuration.applicationName, m_configuration.runningDisplayVersion,
            UpdateWindow::Actions{[this] { download(); }, [this] { endSession(); },
                                  [this] { openReleaseNotes(); }, [this] { endSession(); }});
    }
    if (!m_window->isVisible()) {
        m_window->setItem(m_session->item);
    }
    // An answer to an earlier check would only contradict the update in front of the user.
    if (m_message) {
        m_message->hide();
    }
    showRestored(*m_window);
    if (activate) {
        m_window->activateWindow();
    }
}

void UpdateService::download() {
    if (m_session && openLink(m_session->item.downloadURL)) {
        endSession();
    }
}

void UpdateService::openReleaseNotes() {
    if (m_session) {
        openLink(m_session->item.releaseNotesURL);
    }
}

// A link that does not open leaves the session as it was, with the reason in the window.
bool UpdateService::openLink(const std::string& url) {
    if (m_platform.openURL(url)) {
        return true;
    }
    m_log.error("the link %{public}s could not be opened", url);
    m_window->showProblem(tr("The link could not be opened: %1").arg(fromStd(url)));
    return false;
}

void UpdateService::endSession() {
    if (!m_session) {
        return;
    }
    const auto check = m_session->check;
    m_session.reset();
    if (m_window) {
        m_window->hide();
    }
    scheduleNextCheck();
    m_delegate.sessionEnded();
    m_delegate.checkCycleEnded(check, nullptr);
}

void UpdateService::showMessage(const QString& text, const QString& detail, bool failed) {
    if (!m_message) {
        m_message = std::make_unique<UpdateMessageWindow>(m_configuration.applicationName);
    }
    m_message->setMessage(
        text, detail, failed ? UpdateMessageWindow::Tone::warning : UpdateMessageWindow::Tone::information);
    showRestored(*m_message);
    m_message->activateWindow();
}

void UpdateService::setCanCheck(bool canCheck) {
    if (canCheck == m_canCheck) {
        return;
    }
    m_canCheck = canCheck;
    if (m_canCheckObserver) {
        m_canCheckObserver(canCheck);
    }
}

} // namespace updates
