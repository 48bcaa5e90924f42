#include "platform/desktop/Workspace.h"

#include "platform/desktop/ClockTimers.h"
#include "platform/desktop/DBusCaller.h"
#include "platform/foundation/URL.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <map>
#include <utility>

namespace desktop {

namespace {

const QString fileManagerService = QStringLiteral("org.freedesktop.FileManager1");
const QString fileManagerPath = QStringLiteral("/org/freedesktop/FileManager1");

// What the opener printed is kept for the error message only; the rest is read and dropped, so that a
// handler it runs in the foreground never blocks on a full pipe.
constexpr std::size_t keptOutput = 2048;
// Ending an opener that is still running, at destruction, waits this long for the kernel to reap it.
constexpr int reapMilliseconds = 1000;

std::string describeExit(int code) {
    switch (code) {
    case 1:
        return "the opener rejected its arguments";
    case 2:
        return "it does not exist";
    case 3:
        return "no program is set up to open it";
    case 4:
        return "the program that opens it failed";
    default:
        return "the opener exited with status " + std::to_string(code);
    }
}

} // namespace

struct Workspace::Impl {
    /// One run of the opener.
    struct Launch {
        std::unique_ptr<QProcess> process;
        std::string target;
        ClockTimers::Id grace = 0;
        Completion completion; // empty once answered
        std::string output;
    };

    Impl(const QDBusConnection& bus, platform::Clock& clock, WorkspaceOptions options, oslog::Logger log)
        : options(std::move(options)), log(std::move(log)), timers(clock),
          caller(bus, timers, this->options.callTimeout) {}

    ~Impl() {
        auto running = std::move(launches);
        launches.clear();
        for (auto& [id, launch] : running) {
            launch.process->disconnect();
            if (launch.completion) {
                launch.completion(DesktopError(DesktopError::Kind::cancelled, "the workspace went away"));
            }
            if (launch.process->state() != QProcess::NotRunning) {
                launch.process->kill();
                launch.process->waitForFinished(reapMilliseconds);
            }
        }
    }

    void showFolder(const std::filesystem::path& folder, Completion completion) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            fileManagerService, fileManagerPath, fileManagerService, QStringLiteral("ShowFolders"));
        message << QStringList{QString::fromStdString(platform::URL::fileURL(folder).absoluteString())}
                << QString();
        caller.call(message, [this, folder, completion = std::move(completion)](DBusResult result) mutable {
            if (!result.error) {
                completion(std::nullopt);
                return;
            }
            const auto kind = result.error->kind();
            if (kind == DesktopError::Kind::noBus || kind == DesktopError::Kind::serviceUnavailable) {
                launch(folder.string(), std::move(completion));
                return;
            }
            if (kind != DesktopError::Kind::cancelled) {
                log.error("the file manager did not show %{public}s: %{public}s", folder.string(),
                          result.error->what());
            }
            completion(std::move(result.error));
        });
    }

    void launch(std::string target, Completion completion) {
        const auto id = nextLaunch++;
        auto process = std::make_unique<QProcess>();
        QStringList arguments;
        for (std::size_t index = 1; index < options.openCommand.size(); ++index) {
            arguments << QString::fromStdString(options.openCommand[index]);
        }
        arguments << QString::fromStdString(target);
        process->setProgram(QString::fromStdString(options.openCommand.front()));
        process->setArguments(arguments);
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->setStandardInputFile(QProcess::nullDevice());
        QProcess* raw = process.get();
        QObject::connect(raw, &QProcess::readyRead, &context, [this, id] { readOutput(id); });
        // Queued: a program that cannot be found is reported from inside start(), and a finished process
        // is destroyed by the handler, which must not happen inside its own signal.
        QObject::connect(
            raw, &QProcess::finished, &context,
            [this, id](int code, QProcess::ExitStatus status) { ended(id, code, status); },
            Qt::QueuedConnection);
        QObject::connect(
            raw, &QProcess::errorOccurred, &context,
            [this, id](QProcess::ProcessError error) {
                if (error == QProcess::FailedToStart) {
                    failedToStart(id);
                }
            },
            Qt::QueuedConnection);
        const auto grace = timers.start(options.launchGrace, [this, id] { graceEnded(id); });
        launches.emplace(id, Launch{std::move(process), std::move(target), grace, std::move(completion), {}});
        raw->start();
    }

    void readOutput(std::uint64_t id) {
        const auto found = launches.find(id);
        if (found == launches.end()) {
            return;
        }
        const QByteArray bytes = found->second.process->readAll();
        auto& output = found->second.output;
        output.append(bytes.constData(), std::min<std::size_t>(bytes.size(), keptOutput - output.size()));
    }

    void ended(std::uint64_t id, int code, QProcess::ExitStatus status) {
        readOutput(id);
        auto node = launches.extract(id);
        if (node.empty()) {
            return;
        }
        Launch launch = std::move(node.mapped());
        timers.cancel(launch.grace);
        std::optional<DesktopError> error;
        if (status == QProcess::CrashExit) {
            error = DesktopError(DesktopError::Kind::launchFailed,
                                 "the opener of " + launch.target + " ended abnormally");
        } else if (code != 0) {
            std::string message = "could not open " + launch.target + ": " + describeExit(code);
            if (!launch.output.empty()) {
                message += " (" + launch.output + ")";
            }
            error = DesktopError(DesktopError::Kind::launchFailed, message);
        }
        if (error) {
            log.error("%{public}s", error->what());
        }
        if (launch.completion) {
            runGuarded("an open completion", [&] { launch.completion(std::move(error)); });
        }
    }

    void failedToStart(std::uint64_t id) {
        auto node = launches.extract(id);
        if (node.empty()) {
            return;
        }
        Launch launch = std::move(node.mapped());
        timers.cancel(launch.grace);
        const DesktopError error(DesktopError::Kind::launchFailed,
                                 "could not start " + options.openCommand.front() + " to open " +
                                     launch.target + ": " + launch.process->errorString().toStdString());
        log.error("%{public}s", error.what());
        runGuarded("an open completion", [&] { launch.completion(error); });
    }

    void graceEnded(std::uint64_t id) {
        const auto found = launches.find(id);
        if (found != launches.end() && found->second.completion) {
            runGuarded("an open completion",
                       [&] { std::exchange(found->second.completion, {})(std::nullopt); });
        }
    }

    const WorkspaceOptions options;
    const oslog::Logger log;
    QObject context; // receives the openers' signals; outlives the launches
    ClockTimers timers;
    DBusCaller caller;
    std::map<std::uint64_t, Launch> launches;
    std::uint64_t nextLaunch = 1;
};

Workspace::Workspace(const QDBusConnection& sessionBus, platform::Clock& clock, WorkspaceOptions options,
                     oslog::Logger log)
    : m_impl(nullptr) {
    if (options.openCommand.empty() || options.openCommand.front().empty()) {
        throw DesktopError(DesktopError::Kind::invalidArgument, "the workspace needs an opener command");
    }
    m_impl = std::make_unique<Impl>(sessionBus, clock, std::move(options), std::move(log));
}

Workspace::~Workspace() {
    m_impl->caller.cancelAll();
}

void Workspace::open(const platform::URL& url, Completion completion) {
    m_impl->launch(url.absoluteString(), std::move(completion));
}

void Workspace::showFolder(const std::filesystem::path& folder, Completion completion) {
    if (!folder.is_absolute() || folder.native().find('\0') != std::string::npos) {
        throw DesktopError(DesktopError::Kind::invalidArgument,
                           "not an absolute folder path: " + folder.string());
    }
    m_impl->showFolder(folder, std::move(completion));
}

} // namespace desktop
