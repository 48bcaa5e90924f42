#include "platform/desktop/SleepWatcher.h"

#include "platform/desktop/ClockTimers.h"
#include "platform/desktop/DBusCaller.h"
#include "platform/desktop/DBusSignal.h"
#include "platform/foundation/UniqueFd.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <system_error>
#include <utility>

namespace desktop {

namespace {

const QString service = QStringLiteral("org.freedesktop.login1");
const QString objectPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");

} // namespace

struct SleepWatcher::Impl : std::enable_shared_from_this<SleepWatcher::Impl> {
    Impl(const QDBusConnection& bus, platform::Clock& clock, SleepHandlers handlers,
         SleepWatcherOptions options, oslog::Logger log)
        : handlers(std::move(handlers)), options(std::move(options)), log(std::move(log)), timers(clock),
          caller(bus, timers, this->options.callTimeout) {}

    void start() {
        const QDBusConnection& bus = caller.bus();
        if (!bus.isConnected()) {
            log.notice("there is no system bus (%{public}s): sleep and wake are not handled",
                       bus.lastError().message().toStdString());
            return;
        }
        prepareForSleep = std::make_unique<DBusSignal>(
            bus, service, objectPath, managerInterface, QStringLiteral("PrepareForSleep"),
            [this](const QDBusMessage& message) { onPrepareForSleep(message); });
        ownerWatcher =
            std::make_unique<QDBusServiceWatcher>(service, bus, QDBusServiceWatcher::WatchForOwnerChange);
        QObject::connect(
            ownerWatcher.get(), &QDBusServiceWatcher::serviceOwnerChanged, ownerWatcher.get(),
            [this](const QString&, const QString&, const QString& newOwner) { onOwnerChanged(newOwner); });
        takeLock();
    }

    void takeLock() {
        if (lockRequested || lock.valid()) {
            return;
        }
        lockRequested = true;
        QDBusMessage message =
            QDBusMessage::createMethodCall(service, objectPath, managerInterface, QStringLiteral("Inhibit"));
        message << QStringLiteral("sleep") << QString::fromStdString(options.who)
                << QString::fromStdString(options.why) << QStringLiteral("delay");
        caller.call(message,
                    [this, sentIn = ownerGeneration](DBusResult result) { lockAnswered(sentIn, result); });
    }

    void lockAnswered(std::uint64_t sentIn, DBusResult& result) {
        lockRequested = false;
        if (result.error && result.error->kind() == DesktopError::Kind::cancelled) {
            return;
        }
        if (sentIn != ownerGeneration) {
            // Asked of a logind that has gone since; ask the one there now.
            takeLock();
            return;
        }
        if (!result.error && result.reply.signature() != QLatin1String("h")) {
            result.error = DesktopError(DesktopError::Kind::malformedReply,
                                        "Inhibit answered with the signature \"" +
                                            result.reply.signature().toStdString() + "\"");
        }
        if (result.error) {
            if (result.error->kind() == DesktopError::Kind::serviceUnavailable) {
                log.notice("systemd-logind is not available (%{public}s): sleep and wake are not handled",
                           result.error->what());
            } else {
                log.error("systemd-logind gave no sleep delay lock (%{public}s): the system will not wait "
                          "for the work before sleep",
                          result.error->what());
            }
            return;
        }
        // Our own copy, closed on exec: a child process that inherited the lock would hold the system's
        // sleep until logind's limit every time, however soon we release ours.
        const int received = result.reply.arguments().at(0).value<QDBusUnixFileDescriptor>().fileDescriptor();
        platform::UniqueFd taken(::fcntl(received, F_DUPFD_CLOEXEC, 0));
        if (!taken.valid()) {
            log.error("could not keep the sleep delay lock: %{public}s",
                      std::system_category().message(errno));
            return;
        }
        if (preparing && readyReported) {
            return; // the work before this sleep is done; holding a lock now would only delay it
        }
        lock = std::move(taken);
        log.info("holding a sleep delay lock of systemd-logind");
    }

    void onPrepareForSleep(const QDBusMessage& message) {
        if (message.signature() != QLatin1String("b")) {
            log.error("ignored a PrepareForSleep signal with the signature \"%{public}s\"",
                      message.signature().toStdString());
            return;
        }
        if (message.arguments().at(0).toBool()) {
            if (preparing) {
                return; // logind announces each sleep once; a repeat changes nothing
            }
            preparing = true;
            readyReported = false;
            const auto current = ++cycle;
            log.info("the system is about to sleep");
            if (handlers.willSleep) {
                handlers.willSleep(readyCallback(current));
            } else {
                readyForSleep(current);
            }
            return;
        }
        const bool wasPreparing = std::exchange(preparing, false);
        if (wasPreparing) {
            if (!readyReported) {
                log.notice("the system woke before the work before sleep was reported done");
            }
            lock.reset(); // it guarded the sleep that is over
        }
        log.info("the system woke");
        takeLock();
        if (handlers.didWake) {
            handlers.didWake();
        }
    }

    std::function<void()> readyCallback(std::uint64_t current) {
        return [weak = weak_from_this(), current, once = std::make_shared<std::atomic<bool>>(false)] {
            if (once->exchange(true)) {
                return;
            }
            QCoreApplication* application = QCoreApplication::instance();
            if (application == nullptr) {
                return;
            }
            // The watcher lives on the main thread, so it is only ever reached from there.
            auto deliver = [weak, current] {
                if (const auto impl = weak.lock()) {
                    impl->readyForSleep(current);
                }
            };
            if (QThread::currentThread() == application->thread()) {
                deliver();
            } else {
                QMetaObject::invokeMethod(application, deliver, Qt::QueuedConnection);
            }
        };
    }

    void readyForSleep(std::uint64_t current) {
        if (!preparing || current != cycle || readyReported) {
            return;
        }
        readyReported = true;
        lock.reset();
        log.info("ready for sleep: released the sleep delay lock");
    }

    void onOwnerChanged(const QString& newOwner) {
        ++ownerGeneration;
        lock.reset();
        // The sleep that logind announced will not come from a logind that is gone, and a new one knows
        // nothing of it: the devices unmounted for it must not stay unmounted.
        const bool wasPreparing = std::exchange(preparing, false);
        if (newOwner.isEmpty()) {
            log.notice("systemd-logind went away: sleep and wake are not handled until it returns");
        } else {
            takeLock();
        }
        if (wasPreparing) {
            log.notice("systemd-logind went away while the system prepared to sleep: taken as a wake");
            if (handlers.didWake) {
                runGuarded("the did-wake handler", handlers.didWake);
            }
        }
    }

    const SleepHandlers handlers;
    const SleepWatcherOptions options;
    const oslog::Logger log;
    ClockTimers timers;
    DBusCaller caller;
    std::unique_ptr<DBusSignal> prepareForSleep;
    std::unique_ptr<QDBusServiceWatcher> ownerWatcher;
    platform::UniqueFd lock;
    bool lockRequested = false;
    bool preparing = false;     // between PrepareForSleep(true) and PrepareForSleep(false)
    bool readyReported = false; // the will-sleep handler of this cycle reported ready
    std::uint64_t cycle = 0;    // counts the sleeps, so that a late ready cannot release a newer lock
    std::uint64_t ownerGeneration = 0;
};

SleepWatcher::SleepWatcher(const QDBusConnection& systemBus, platform::Clock& clock, SleepHandlers handlers,
                           SleepWatcherOptions options, oslog::Logger log)
    : m_impl(
          std::make_shared<Impl>(systemBus, clock, std::move(handlers), std::move(options), std::move(log))) {
    m_impl->start();
}

SleepWatcher::~SleepWatcher() {
    m_impl->caller.cancelAll();
}

} // namespace desktop
