#include "platform/desktop/UserNotificationCenter.h"

#include "platform/desktop/ClockTimers.h"
#include "platform/desktop/DBusCaller.h"
#include "platform/desktop/DBusSignal.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QVariantMap>

#include <cstdint>
#include <map>
#include <utility>

namespace desktop {

namespace {

const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString interfaceName = QStringLiteral("org.freedesktop.Notifications");

// Let the server choose how long a notification stays.
constexpr std::int32_t serverDefaultExpiry = -1;

/// The body as text that a server reading markup shows as written: a device's name such as "<b>x</b>"
/// must not turn into bold text, a link or a font of its own choosing.
QString escapedMarkup(const std::string& text) {
    QString escaped;
    const QString plain = QString::fromStdString(text);
    escaped.reserve(plain.size());
    for (const QChar character : plain) {
        if (character == u'&') {
            escaped += QStringLiteral("&amp;");
        } else if (character == u'<') {
            escaped += QStringLiteral("&lt;");
        } else if (character == u'>') {
            escaped += QStringLiteral("&gt;");
        } else {
            escaped += character;
        }
    }
    return escaped;
}

QDBusMessage methodCall(const QString& member) {
    return QDBusMessage::createMethodCall(service, objectPath, interfaceName, member);
}

QString qt(const std::string& text) {
    return QString::fromStdString(text);
}

AuthorizationStatus statusFor(const std::optional<DesktopError>& error) {
    if (!error) {
        return AuthorizationStatus::authorized;
    }
    switch (error->kind()) {
    case DesktopError::Kind::noBus:
    case DesktopError::Kind::cancelled:
        return AuthorizationStatus::notDetermined;
    default:
        return AuthorizationStatus::denied;
    }
}

DesktopError malformed(std::string_view member, const QDBusMessage& reply) {
    return DesktopError(DesktopError::Kind::malformedReply, std::string(member) +
                                                                " answered with the signature \"" +
                                                                reply.signature().toStdString() + "\"");
}

} // namespace

std::string_view name(AuthorizationStatus status) {
    switch (status) {
    case AuthorizationStatus::notDetermined:
        return "notDetermined";
    case AuthorizationStatus::denied:
        return "denied";
    case AuthorizationStatus::authorized:
        return "authorized";
    }
    return "unknown";
}

struct UserNotificationCenter::Impl {
    /// A request that waits for the answer to the one in flight under its identifier.
    struct Queued {
        NotificationRequest request;
        std::vector<AddCompletion> completions;
    };
    /// A notification as the server knows it: the server's unique bus name, which changes when it restarts,
    /// and the id it gave. Replies and signals carry the sender, so no ordering against the bus's news of
    /// an owner change matters.
    struct ServerId {
        std::string owner;
        std::uint32_t id = 0;
        friend auto operator<=>(const ServerId&, const ServerId&) = default;
    };
    /// A Notify sent and not yet answered.
    struct InFlight {
        std::vector<AddCompletion> completions;
        std::optional<Queued> next;
        bool closeWhenDelivered = false;
    };

    Impl(const QDBusConnection& bus, platform::Clock& clock, NotificationCenterOptions options,
         oslog::Logger log)
        : options(std::move(options)), log(std::move(log)), timers(clock),
          caller(bus, timers, this->options.callTimeout),
          actionInvoked(bus, service, objectPath, interfaceName, QStringLiteral("ActionInvoked"),
                        [this](const QDBusMessage& message) { onActionInvoked(message); }),
          notificationClosed(bus, service, objectPath, interfaceName, QStringLiteral("NotificationClosed"),
                             [this](const QDBusMessage& message) { onNotificationClosed(message); }),
          ownerWatcher(service, bus, QDBusServiceWatcher::WatchForOwnerChange) {
        QObject::connect(&ownerWatcher, &QDBusServiceWatcher::serviceOwnerChanged, &ownerWatcher,
                         [this](const QString&, const QString& oldOwner, const QString&) {
                             forgetServer(oldOwner.toStdString());
                         });
    }

    void probe(std::function<void(AuthorizationStatus, std::optional<DesktopError>)> answer) {
        caller.call(methodCall(QStringLiteral("GetCapabilities")),
                    [this, answer = std::move(answer)](DBusResult result) {
                        if (!result.error && result.reply.signature() != QLatin1String("as")) {
                            result.error = malformed("GetCapabilities", result.reply);
                        }
                        if (!result.error) {
                            bodyMarkup = result.reply.arguments().at(0).toStringList().contains(
                                QStringLiteral("body-markup"));
                        }
                        answer(statusFor(result.error), std::move(result.error));
                    });
    }

    void send(NotificationRequest request, std::vector<AddCompletion> completions) {
        const auto known = serverIds.find(request.identifier);
        const std::uint32_t replaces = known == serverIds.end() ? 0 : known->second.id;
        QVariantMap hints;
        if (request.sound == NotificationSound::none) {
            hints.insert(QStringLiteral("suppress-sound"), true);
        } else {
            hints.insert(QStringLiteral("sound-name"), qt(options.defaultSoundName));
        }
        if (!options.desktopEntry.empty()) {
            hints.insert(QStringLiteral("desktop-entry"), qt(options.desktopEntry));
        }
        const QStringList actions = {QString::fromUtf8(NotificationResponse::defaultActionIdentifier.data(),
                                                       NotificationResponse::defaultActionIdentifier.size()),
                                     qt(options.defaultActionLabel)};
        QDBusMessage message = methodCall(QStringLiteral("Notify"));
        message << qt(options.applicationName) << replaces << qt(options.applicationIcon) << qt(request.title)
                << (bodyMarkup ? escapedMarkup(request.body) : qt(request.body)) << actions << hints
                << serverDefaultExpiry;

        inFlight[request.identifier] = InFlight{std::move(completions), std::nullopt, false};
        caller.call(message, [this, identifier = request.identifier](DBusResult result) {
            answered(identifier, std::move(result));
        });
    }

    void answered(const std::string& identifier, DBusResult result) {
        auto node = inFlight.extract(identifier);
        if (node.empty()) {
            return;
        }
        InFlight flight = std::move(node.mapped());
        std::optional<DesktopError> error = std::move(result.error);
        if (!error && result.reply.signature() != QLatin1String("u")) {
            error = malformed("Notify", result.reply);
        }
        if (error && error->kind() == DesktopError::Kind::cancelled) {
            // The centre is going away; nobody is left to tell but the completions.
        } else if (error) {
            log.error("the notification %{public}s was not shown: %{public}s", identifier, error->what());
        } else {
            const ServerId shown{result.reply.service().toStdString(),
                                 result.reply.arguments().at(0).toUInt()};
            forget(identifier);
            if (flight.closeWhenDelivered) {
                close(shown.id);
            } else {
                remember(identifier, shown);
            }
        }
        if (flight.next) {
            send(std::move(flight.next->request), std::move(flight.next->completions));
        }
        // Last: a completion may destroy the centre. Each is guarded, so that every one is called.
        for (auto& completion : flight.completions) {
            if (completion) {
                runGuarded("a notification's completion", [&] { completion(error); });
            }
        }
    }

    void remember(const std::string& identifier, const ServerId& shown) {
        if (const auto other = identifiers.find(shown); other != identifiers.end()) {
            serverIds.erase(other->second);
        }
        serverIds[identifier] = shown;
        identifiers[shown] = identifier;
    }

    void forget(const std::string& identifier) {
        if (const auto known = serverIds.find(identifier); known != serverIds.end()) {
            identifiers.erase(known->second);
            serverIds.erase(known);
        }
    }

    void close(std::uint32_t id) {
        QDBusMessage message = methodCall(QStringLiteral("CloseNotification"));
        message << id;
        caller.call(message, [this, id](const DBusResult& result) {
            if (result.error && result.error->kind() != DesktopError::Kind::cancelled) {
                log.error("the notification %u was not closed: %{public}s", id, result.error->what());
            }
        });
    }

    void onActionInvoked(const QDBusMessage& message) {
        if (message.signature() != QLatin1String("us")) {
            log.error("ignored an ActionInvoked signal with the signature \"%{public}s\"",
                      message.signature().toStdString());
            return;
        }
        const auto known =
            identifiers.find(ServerId{message.service().toStdString(), message.arguments().at(0).toUInt()});
        if (known == identifiers.end() || !responseHandler) {
            return;
        }
        const NotificationResponse response{known->second,
                                            message.arguments().at(1).toString().toStdString()};
        // A copy: the handler may replace itself.
        const ResponseHandler handler = responseHandler;
        handler(response);
    }

    void onNotificationClosed(const QDBusMessage& message) {
        if (message.signature() != QLatin1String("uu")) {
            log.error("ignored a NotificationClosed signal with the signature \"%{public}s\"",
                      message.signature().toStdString());
            return;
        }
        const ServerId closed{message.service().toStdString(), message.arguments().at(0).toUInt()};
        if (const auto known = identifiers.find(closed); known != identifiers.end()) {
            serverIds.erase(known->second);
            identifiers.erase(known);
        }
    }

    /// The ids a server gave mean nothing once it has gone: a new server may give the same numbers to
    /// other notifications, which a repost would then replace.
    void forgetServer(const std::string& owner) {
        std::erase_if(identifiers, [&](const auto& entry) { return entry.first.owner == owner; });
        std::erase_if(serverIds, [&](const auto& entry) { return entry.second.owner == owner; });
    }

    const NotificationCenterOptions options;
    const oslog::Logger log;
    ClockTimers timers;
    DBusCaller caller;
    DBusSignal actionInvoked;
    DBusSignal notificationClosed;
    QDBusServiceWatcher ownerWatcher;
    ResponseHandler responseHandler;
    /// Whether the server reads the body as markup, by its last list of capabilities. Until it has said,
    /// it is taken to: most do, and one that does not shows the escapes rather than the device's markup.
    bool bodyMarkup = true;
    std::map<std::string, ServerId> serverIds;   // identifier -> the server's id of its notification
    std::map<ServerId, std::string> identifiers; // the reverse of serverIds
    std::map<std::string, InFlight> inFlight;    // by identifier
};

UserNotificationCenter::UserNotificationCenter(const QDBusConnection& sessionBus, platform::Clock& clock,
                                               NotificationCenterOptions options, oslog::Logger log)
    : m_impl(std::make_unique<Impl>(sessionBus, clock, std::move(options), std::move(log))) {}

UserNotificationCenter::~UserNotificationCenter() {
    m_impl->caller.cancelAll();
}

void UserNotificationCenter::getNotificationSettings(SettingsCompletion completion) {
    m_impl->probe(
        [completion = std::move(completion)](AuthorizationStatus status, std::optional<DesktopError>) {
            completion(NotificationSettings{status});
        });
}

void UserNotificationCenter::requestAuthorization(AuthorizationCompletion completion) {
    m_impl->probe(
        [completion = std::move(completion)](AuthorizationStatus status, std::optional<DesktopError> error) {
            completion(AuthorizationResult{status == AuthorizationStatus::authorized, std::move(error)});
        });
}

void UserNotificationCenter::add(NotificationRequest request, AddCompletion completion) {
    auto& impl = *m_impl;
    const auto flight = impl.inFlight.find(request.identifier);
    if (flight == impl.inFlight.end()) {
        impl.send(std::move(request), {std::move(completion)});
        return;
    }
    // Sending now would show a second notification: the server's id of the first is not known yet.
    auto& next = flight->second.next;
    if (!next) {
        next.emplace();
    }
    next->request = std::move(request);
    next->completions.push_back(std::move(completion));
    flight->second.closeWhenDelivered = false;
}

void UserNotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers) {
    auto& impl = *m_impl;
    for (const auto& identifier : identifiers) {
        if (const auto flight = impl.inFlight.find(identifier); flight != impl.inFlight.end()) {
            flight->second.closeWhenDelivered = true;
            if (flight->second.next) {
                for (auto& completion : flight->second.next->completions) {
                    flight->second.completions.push_back(std::move(completion));
                }
                flight->second.next.reset();
            }
        }
        if (const auto known = impl.serverIds.find(identifier); known != impl.serverIds.end()) {
            impl.close(known->second.id);
            impl.forget(identifier);
        }
    }
}

void UserNotificationCenter::setResponseHandler(ResponseHandler handler) {
    m_impl->responseHandler = std::move(handler);
}

} // namespace desktop
