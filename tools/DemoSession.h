#pragma once

#include "platform/foundation/Preferences.h"
#include "simulation/service/BusService.h"
#include "simulation/service/ServiceDevices.h"

#include <QDBusVirtualObject>

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

namespace tandalo::demo {

namespace fs = std::filesystem;

/// Joins the parts into one text.
template <class... Parts> std::string joined(const Parts&... parts) {
    std::ostringstream text;
    (text << ... << parts);
    return text.str();
}

/// A step of a headless run that did not go as it must.
class Failure : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

/// Waits until the condition holds, looking every 20 ms; throws, naming what did not happen, after limit.
void waitFor(const std::string& what, std::chrono::milliseconds limit,
             const std::function<bool()>& condition);
std::string readFile(const fs::path& path);
void writeFile(const fs::path& path, const std::string& contents);
/// Whether a volume of this system's type is mounted on the folder.
bool isMountedOn(const fs::path& folder);
/// The mounts of this system's type in the folder.
std::vector<fs::path> mountsInside(const fs::path& root);
/// Where the sample tree's top is on the mount: the folder itself, or the one storage folder in it.
fs::path topOfStorage(const fs::path& mounted);
/// The program's path in PATH; the name itself when it is not found.
std::string program(const std::string& name);
/// Resident memory of a process in KiB; 0 once it is gone.
long residentKiB(pid_t pid);
/// The most resident memory the process has had so far, in KiB; 0 once it is gone.
long peakResidentKiB(pid_t pid);
/// The mount helpers that serve a folder in the root.
std::vector<pid_t> mountHelpersIn(const fs::path& root);

/// The desktop's notification server, as far as the application uses it: it shows nothing and keeps the
/// summary of each notification. Lives on the thread that runs the Qt event loop; read from any thread.
class NotificationRecorder final : public QDBusVirtualObject {
public:
    std::vector<std::string> summaries() const;

    QString introspect(const QString& path) const override;
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_summaries;
};

/// Moves this process, and every process it starts from now on, into a mount namespace of its own in
/// which the other mounts of this system's type are detached: the application unmounts every mount of
/// its type when it quits, and must not reach those of other programs, tests or people on this computer.
/// Mounts made inside stay inside. Call before any thread starts; false where the system does not allow
/// it (without the right to administer mounts).
bool isolateMounts();

enum class Mode { interactive, smokeTest, selfTest, measure, updateChecks };

/// Everything one run starts, ended in the opposite order: the folder of its sockets and settings, the
/// bus service (in this process, so that the run can check the phones' contents), for headless runs a
/// private session bus with the notification recorder, and the application.
class Session {
public:
    /// Without a mount folder, the devices are mounted in a folder of the run's own.
    Session(Mode mode, std::optional<fs::path> mountRoot, NotificationRecorder& notifications);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    simulation::ServiceDevices& devices() { return *m_devices; }
    simulation::BusService& service() { return *m_service; }
    const fs::path& mountRoot() const { return m_mountRoot; }
    const fs::path& tools() const { return m_tools; }
    pid_t application() const { return m_application; }
    NotificationRecorder& notifications() { return m_notifications; }

    /// A serial number that no other run on this computer uses: the system's mount table, where the
    /// application finds what is mounted, is shared by every run.
    std::string serial(std::string_view name) const;

    /// The private session bus with the recorder as its notification server.
    void startDesktop();
    /// The application's preferences of this run's own, which it reads at start.
    platform::Preferences preferences() const;
    enum class Settings { written, leftAsTheyAre };
    /// The application on the bus service, with settings of this run's own: the mount folder, the set-up
    /// guide taken as done, and launch at login written into this run's folder, not the user's (the
    /// settings are not written when they are left as they are). A headless run's home is the run's own.
    /// The environment's further variables are added to the application's.
    void startApplication(const std::vector<std::string>& environment = {},
                          Settings settings = Settings::written);
    /// Puts FIFOs in place of the application's preferences files, as a program gone astray could.
    void replacePreferencesByFIFOs() const;
    /// Quits the application as a logout does (SIGTERM); its exit status, or nothing when it had to be
    /// killed after 20 s.
    std::optional<int> stopApplication();

    /// The window's rows, one line per device (see ui::TestControl).
    std::vector<std::string> rows() const;
    /// The fields of each of the window's rows: id, name, state, and the rest (see ui::TestControl).
    std::vector<std::vector<std::string>> rowFields() const;
    /// The fields of the window's row of the device; nothing while it shows none.
    std::optional<std::vector<std::string>> row(const std::string& id) const;
    /// The folder the application shows the device mounted on; nothing while it is not.
    std::optional<fs::path> mountedFolder(const std::string& id) const;
    /// Waits until the application shows the device mounted and its folder is a mount; the folder.
    fs::path waitForMount(const std::string& id,
                          std::chrono::milliseconds limit = std::chrono::seconds(20)) const;
    /// The last lines that the application and the session bus wrote (headless runs keep them in a file).
    std::string logTail(std::size_t lines = 40) const;
    /// Clicks a button of the device's row; throws when the window refuses.
    void press(const std::string& id, const std::string& button) const;
    /// Sends one request to the application's test channel; throws when it does not answer within the
    /// limit or answers with an error.
    std::vector<std::string> ask(const std::string& request,
                                 std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

private:
    fs::path control() const { return m_folder / "control.sock"; }
    /// Where a headless run's programs write; -1 for the terminal.
    int logDescriptor() const;

    Mode m_mode;
    fs::path m_mountRoot;
    NotificationRecorder& m_notifications;
    fs::path m_folder;
    fs::path m_tools;
    std::shared_ptr<simulation::SimulatedBus> m_bus;
    std::unique_ptr<simulation::ServiceDevices> m_devices;
    std::unique_ptr<simulation::BusService> m_service;
    pid_t m_dbus = 0;
    std::string m_sessionAddress;
    pid_t m_application = 0;
    int m_log = -1;
};

/// Runs the steps of a headless run in order, printing each; the first that fails ends the run.
class Steps {
public:
    explicit Steps(const Session& session) : m_session(session) {}

    void run(const std::string& name, const std::function<std::string()>& action);

private:
    const Session& m_session;
};

/// Headless runs: the application's start and quit, the scenario of a person's afternoon with two phones,
/// the figures, and the update checks against a feed server of the run's own.
void smokeTest(Session& session);
void selfTest(Session& session);
void measure(Session& session);
void updateChecks(Session& session);

} // namespace tandalo::demo
