#include "tools/DemoSession.h"

#include "Tandalo/ui/TestControl.h"
#include "platform/busservice/BusProtocol.h"
#include "platform/foundation/ChildProcess.h"
#include "platform/foundation/MountInfo.h"
#include "platform/foundation/Preferences.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tandalo::demo {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

void waitFor(const std::string& what, std::chrono::milliseconds limit,
             const std::function<bool()>& condition) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) {
            throw Failure(joined(what, " did not happen within ", limit.count() / 1000.0, " s"));
        }
        std::this_thread::sleep_for(20ms);
    }
}

std::string readFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw Failure(joined("cannot open ", path, ": ", std::strerror(errno)));
    }
    std::ostringstream contents;
    contents << stream.rdbuf();
    return contents.str();
}

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    stream.close();
    if (!stream) {
        throw Failure(joined("cannot write ", path));
    }
}

bool isMountedOn(const fs::path& folder) {
    for (const auto& mount : platform::MountInfo::read()) {
        if (mount.fileSystemType == "fuse.tandalo" && mount.mountPoint == folder) {
            return true;
        }
    }
    return false;
}

std::vector<fs::path> mountsInside(const fs::path& root) {
    std::vector<fs::path> found;
    for (const auto& mount : platform::MountInfo::read()) {
        if (mount.fileSystemType == "fuse.tandalo" && mount.mountPoint.parent_path() == root) {
            found.push_back(mount.mountPoint);
        }
    }
    return found;
}

fs::path topOfStorage(const fs::path& mounted) {
    if (fs::exists(mounted / "DCIM")) {
        return mounted;
    }
    for (const auto& entry : fs::directory_iterator(mounted)) {
        if (entry.is_directory() && fs::exists(entry.path() / "DCIM")) {
            return entry.path();
        }
    }
    throw Failure("DCIM is not on the mount");
}

bool isolateMounts() {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return false;
    }
    // Only this namespace's view goes: the volumes and their owners are not touched.
    for (const auto& mount : platform::MountInfo::read()) {
        if (mount.fileSystemType == "fuse.tandalo") {
            ::umount2(mount.mountPoint.c_str(), MNT_DETACH);
        }
    }
    return true;
}

std::string program(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() && ::access((fs::path(folder) / name).c_str(), X_OK) == 0) {
            return (fs::path(folder) / name).string();
        }
    }
    return name;
}

namespace {

long statusKiB(pid_t pid, std::string_view field) {
    std::ifstream status(joined("/proc/", pid, "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field)) {
            return std::stol(line.substr(field.size()));
        }
    }
    return 0;
}

} // namespace

long residentKiB(pid_t pid) {
    return statusKiB(pid, "VmRSS:");
}

long peakResidentKiB(pid_t pid) {
    return statusKiB(pid, "VmHWM:");
}

std::vector<pid_t> mountHelpersIn(const fs::path& root) {
    std::vector<pid_t> helpers;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        std::ifstream commandLine(entry.path() / "cmdline", std::ios::binary);
        std::vector<std::string> arguments;
        for (std::string argument; std::getline(commandLine, argument, '\0');) {
            arguments.push_back(argument);
        }
        // A helper serves on in the background, so it is known by its program and its folder, not its parent.
        if (arguments.empty() || fs::path(arguments.front()).filename() != "mount-tandalo" ||
            fs::path(arguments.back()).parent_path() != root) {
            continue;
        }
        helpers.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return helpers;
}

std::vector<std::string> NotificationRecorder::summaries() const {
    std::lock_guard lock(m_mutex);
    return m_summaries;
}

QString NotificationRecorder::introspect(const QString&) const {
    return QStringLiteral(
        "<interface name=\"org.freedesktop.Notifications\">"
        "<method name=\"GetCapabilities\"><arg type=\"as\" direction=\"out\"/></method>"
        "<method name=\"Notify\"><arg type=\"s\" direction=\"in\"/><arg type=\"u\" direction=\"in\"/>"
        "<arg type=\"s\" direction=\"in\"/><arg type=\"s\" direction=\"in\"/><arg type=\"s\" "
        "direction=\"in\"/>"
        "<arg type=\"as\" direction=\"in\"/><arg type=\"a{sv}\" direction=\"in\"/>"
        "<arg type=\"i\" direction=\"in\"/><arg type=\"u\" direction=\"out\"/></method>"
        "<method name=\"CloseNotification\"><arg type=\"u\" direction=\"in\"/></method>"
        "<method name=\"GetServerInformation\"><arg type=\"s\" direction=\"out\"/>"
        "<arg type=\"s\" direction=\"out\"/><arg type=\"s\" direction=\"out\"/>"
        "<arg type=\"s\" direction=\"out\"/></method></interface>");
}

bool NotificationRecorder::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    const auto member = message.member();
    QVariantList reply;
    if (member == QLatin1String("GetCapabilities")) {
        reply << QStringList{QStringLiteral("body"), QStringLiteral("actions")};
    } else if (member == QLatin1String("GetServerInformation")) {
        reply << QStringLiteral("tandalo-demo") << QStringLiteral("tandalo") << QStringLiteral("1")
              << QStringLiteral("1.2");
    } else if (member == QLatin1String("Notify") && message.arguments().size() == 8) {
        std::lock_guard lock(m_mutex);
        m_summaries.push_back(message.arguments().at(3).toString().toStdString());
        reply << static_cast<uint>(m_summaries.size());
    } else if (member != QLatin1String("CloseNotification")) {
        return false;
    }
    connection.send(message.createReply(reply));
    return true;
}

Session::Session(Mode mode, std::optional<fs::path> mountRoot, NotificationRecorder& notifications)
    : m_mode(mode), m_notifications(notifications) {
    std::string folder = (fs::temp_directory_path() / "tandalo-demo-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        throw Failure(joined("mkdtemp: ", std::strerror(errno)));
    }
    m_folder = folder;
    m_mountRoot = mountRoot ? *mountRoot : m_folder / "Tandalo";
    fs::create_directories(m_folder / "run");
    fs::permissions(m_folder / "run", fs::perms::owner_all);
    fs::create_directories(m_mountRoot);
    m_tools = fs::read_symlink("/proc/self/exe").parent_path();
    if (m_mode != Mode::interactive) {
        m_log = ::open((m_folder / "programs.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
    m_bus = std::make_shared<simulation::SimulatedBus>();
    m_devices = std::make_unique<simulation::ServiceDevices>(m_bus);
    m_service = simulation::BusService::start(
        m_bus, m_folder / "usb-bus.sock",
        [devices = m_devices.get()](const busservice::CommandWords& words) { return devices->run(words); });
}

Session::~Session() {
    stopApplication();
    if (m_dbus > 0) {
        ::kill(m_dbus, SIGTERM);
        platform::waitForChild(m_dbus);
    }
    m_service.reset();
    m_devices.reset();
    if (m_log >= 0) {
        ::close(m_log);
    }
    // What the application left mounted goes first: removing the folder must not reach into a phone.
    for (const auto& left : mountsInside(m_mountRoot)) {
        ::umount2(left.c_str(), MNT_DETACH);
    }
    if (mountsInside(m_mountRoot).empty()) {
        std::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
}

std::string Session::serial(std::string_view name) const {
    return joined("serial=", name, ::getpid());
}

void Session::startDesktop() {
    const auto socket = m_folder / "session-bus.sock";
    m_dbus = platform::spawnProgram(
        program("dbus-daemon"),
        {"--session", "--nofork", "--nopidfile", joined("--address=unix:path=", socket.string())}, {}, m_log);
    waitFor("the private session bus", 10s, [&] { return fs::exists(socket); });
    m_sessionAddress = joined("unix:path=", socket.string());
    auto connection = QDBusConnection::connectToBus(QString::fromStdString(m_sessionAddress),
                                                    QStringLiteral("notifications"));
    if (!connection.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"),
                                          &m_notifications) ||
        !connection.registerService(QStringLiteral("org.freedesktop.Notifications"))) {
        throw Failure("cannot serve notifications on the private session bus");
    }
}

platform::Preferences Session::preferences() const {
    return *platform::Preferences::suite("tandalo", m_folder / "preferences");
}

void Session::startApplication(const std::vector<std::string>& further, Settings settings) {
    if (settings == Settings::written) {
        auto standard = preferences();
        standard.setString("mountRootBookmark", m_mountRoot.string());
        standard.setBool("hasCompletedOnboarding", true);
    }
    std::vector<std::string> environment{
        joined(busservice::socketVariable, "=", m_service->socketPath().string()),
        joined("TANDALO_PREFERENCES_DIR=", (m_folder / "preferences").string()),
        joined("XDG_RUNTIME_DIR=", (m_folder / "run").string()),
        joined("XDG_CONFIG_HOME=", (m_folder / "config").string()),
    };
    if (m_mode != Mode::interactive) {
        fs::create_directories(m_folder / "home");
        environment.push_back(joined("HOME=", (m_folder / "home").string()));
        environment.push_back("QT_QPA_PLATFORM=offscreen");
        environment.push_back(joined("DBUS_SESSION_BUS_ADDRESS=", m_sessionAddress));
        environment.push_back(joined(ui::TestControl::variable, "=", control().string()));
    } else if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        environment.push_back("QT_QPA_PLATFORM=offscreen");
    }
    environment.insert(environment.end(), further.begin(), further.end());
    m_application = platform::spawnProgram((m_tools / "tandalo").string(), {}, environment, m_log);
}

void Session::replacePreferencesByFIFOs() const {
    for (const auto* name : {"tandalo", "K7QW3ZR2LD.group.com.brenwick.Tandalo"}) {
        const auto file = platform::Preferences::suite(name, m_folder / "preferences")->filePath();
        fs::create_directories(file.parent_path());
        fs::remove(file);
        if (::mkfifo(file.c_str(), 0600) != 0) {
            throw Failure(joined("mkfifo ", file.string(), ": ", std::strerror(errno)));
        }
    }
}

std::optional<int> Session::stopApplication() {
    if (m_application <= 0) {
        return std::nullopt;
    }
    ::kill(m_application, SIGTERM);
    const auto deadline = Clock::now() + 20s;
    int status = 0;
    while (::waitpid(m_application, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
            ::kill(m_application, SIGKILL);
            ::waitpid(m_application, &status, 0);
            m_application = 0;
            return std::nullopt;
        }
        std::this_thread::sleep_for(20ms);
    }
    m_application = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Session::logTail(std::size_t lines) const {
    std::ifstream log(m_folder / "programs.log");
    std::vector<std::string> kept;
    for (std::string line; std::getline(log, line);) {
        if (line.starts_with("This plugin does not support")) {
            continue; // the offscreen platform's word on every window feature it lacks
        }
        kept.push_back(line);
        if (kept.size() > lines) {
            kept.erase(kept.begin());
        }
    }
    std::string text;
    for (const auto& line : kept) {
        text += "    | " + line + "\n";
    }
    return text;
}

std::vector<std::string> Session::rows() const {
    auto answer = ui::askApplication(control(), "rows");
    return answer ? *answer : std::vector<std::string>{};
}

std::vector<std::vector<std::string>> Session::rowFields() const {
    std::vector<std::vector<std::string>> all;
    for (const auto& line : rows()) {
        auto& fields = all.emplace_back();
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) {
            fields.push_back(ui::unescapedField(field));
        }
        fields.resize(5);
    }
    return all;
}

std::optional<std::vector<std::string>> Session::row(const std::string& id) const {
    for (auto& fields : rowFields()) {
        if (fields[0] == id) {
            return std::move(fields);
        }
    }
    return std::nullopt;
}

std::optional<fs::path> Session::mountedFolder(const std::string& id) const {
    const auto fields = row(id);
    if (!fields || !(*fields)[2].starts_with("mounted ")) {
        return std::nullopt;
    }
    return fs::path((*fields)[2].substr(8));
}

fs::path Session::waitForMount(const std::string& id, std::chrono::milliseconds limit) const {
    fs::path folder;
    waitFor(joined(id, " mounted"), limit, [&] {
        const auto shown = mountedFolder(id);
        if (shown && isMountedOn(*shown)) {
            folder = *shown;
            return true;
        }
        return false;
    });
    return folder;
}

void Session::press(const std::string& id, const std::string& button) const {
    const auto answer = ui::askApplication(control(), joined("press ", ui::escapedField(id), " ", button));
    if (!answer || answer->empty() || answer->front() != "ok") {
        throw Failure(joined("pressing ", button, " of ", id, ": ",
                             answer && !answer->empty() ? answer->front() : "no answer"));
    }
}

std::vector<std::string> Session::ask(const std::string& request, std::chrono::milliseconds limit) const {
    auto answer = ui::askApplication(control(), request, limit);
    if (!answer) {
        throw Failure(
            joined("the application did not answer \"", request, "\" within ", limit.count(), " ms"));
    }
    if (!answer->empty() && answer->front().starts_with("error: ")) {
        throw Failure(joined("\"", request, "\": ", answer->front()));
    }
    return *answer;
}

void Steps::run(const std::string& name, const std::function<std::string()>& action) {
    const auto started = Clock::now();
    try {
        const auto said = action();
        const auto took = std::chrono::duration<double>(Clock::now() - started).count();
        std::cout << "  ok    " << name << ": " << said << " (" << std::fixed << std::setprecision(2) << took
                  << " s)" << std::endl;
    } catch (const std::exception& error) {
        std::cout << "  FAIL  " << name << ": " << error.what() << "\n  what the programs said last:\n"
                  << m_session.logTail() << std::flush;
        throw Failure("self-test FAILED at \"" + name + "\"");
    }
}

} // namespace tandalo::demo
