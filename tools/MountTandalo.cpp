// The mount helper: plays the platform's part in a mount of a tandalo resource on a folder. Without -f it
// detaches once the mount is live, so that the mount tool returns; the detached process serves until the
// folder is unmounted. The bus is the one every program chooses: the bus service's when TANDALO_USB_BUS
// names its socket.
#include "tools/MountHelper.h"
#include "tools/StopSignals.h"

#include "platform/buschoice/ProcessBus.h"
#include "platform/foundation/LogStore.h"
#include "platform/usb/USBBus.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <malloc.h>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

int report(const std::exception& error) {
    const int code = tandalo::tools::errnoOf(error);
    std::string message = error.what();
    const std::string systemText = std::strerror(code);
    if (message.find(systemText) == std::string::npos) {
        message += ": " + systemText;
    }
    std::cerr << "mount-tandalo: " << message << '\n';
    return code;
}

void detachFromTerminal() {
    const int nothing = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nothing < 0) {
        return;
    }
    for (const int descriptor : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        ::dup2(nothing, descriptor);
    }
    ::close(nothing);
}

// The USB layers pass only a code up to the mount; what the bus itself found out (which device node the
// user may not open, and what to do about it) is in its log, and belongs beside the mount's failure.
void reportBusErrors() {
    std::set<std::string> reported; // a load that was retried met the same refusal each time
    for (const auto& entry : oslog::LogStore::shared().recentEntries("", std::chrono::hours(24))) {
        if (entry.level >= oslog::LogLevel::error &&
            (entry.subsystem == "usbfs" || entry.subsystem == "buschoice") &&
            reported.insert(entry.message).second) {
            std::cerr << "mount-tandalo: " << entry.message << '\n';
        }
    }
}

int serveInForeground(const tandalo::tools::MountArguments& arguments, int readyDescriptor) {
    tandalo::tools::StopSignals signals;
    // Chosen here, in the process that serves: the bus service knows its clients by the process that
    // connected, and names it as the holder of what it opens. It outlives the mount.
    usb::ScopedDefaultBus bus(buschoice::processBus(platform::Environment::process()));
    std::unique_ptr<fusehost::FuseMount> mount;
    try {
        mount = tandalo::tools::mountResource(arguments);
    } catch (const std::exception& error) {
        const int code = report(error);
        reportBusErrors();
        if (readyDescriptor >= 0) {
            [[maybe_unused]] const auto written = ::write(readyDescriptor, &code, sizeof code);
        }
        return 1;
    }
    if (readyDescriptor >= 0) {
        const int code = 0;
        const auto written = ::write(readyDescriptor, &code, sizeof code);
        ::close(readyDescriptor);
        if (written != static_cast<ssize_t>(sizeof code)) {
            // Whoever ran the mount tool is gone (an application that quit while this phone was mounting):
            // nobody knows of this mount, so it is taken down again rather than served for no one.
            std::cerr << "mount-tandalo: the program that asked for the mount is gone; unmounting\n";
            mount.reset();
            return 1;
        }
        // The mount tool has returned; whoever ran it reads its output to the end, and must not wait for
        // this process, which serves on until the folder is unmounted. Later errors go to the log.
        detachFromTerminal();
    }
    try {
        tandalo::tools::serveUntilUnmounted(*mount, signals);
    } catch (const std::exception& error) {
        report(error);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    // Writes collect in runs of up to 16 MiB per file, two of them while one is sent behind the writes.
    // Once glibc has seen a block that large freed it keeps later ones in its heaps, one per thread, and
    // the helper would hold memory it no longer uses. Blocks of 8 MiB and more (the runs, a new file's
    // buffer) are mapped and given back; the read windows, at most 4 MiB, are reused from the heaps.
    ::mallopt(M_MMAP_THRESHOLD, 8 << 20);
    // A write to a pipe or socket whose reader went away is an error to handle, not the end of the serving
    // process, which would leave its folder mounted and dead.
    ::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    tandalo::tools::MountArguments parsed;
    try {
        parsed = tandalo::tools::parseMountArguments(arguments);
    } catch (const tandalo::tools::UsageError& error) {
        std::cerr << "mount-tandalo: " << error.what() << '\n' << tandalo::tools::mountUsage() << '\n';
        return 2;
    }
    if (parsed.foreground) {
        return serveInForeground(parsed, -1);
    }
    // The child mounts and serves; the parent waits for its word that the mount is live (or why not),
    // then returns, as the mount tool expects. Forking before any thread exists keeps the child sound.
    int ready[2];
    if (::pipe(ready) != 0) {
        std::cerr << "mount-tandalo: pipe: " << std::strerror(errno) << '\n';
        return 1;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        std::cerr << "mount-tandalo: fork: " << std::strerror(errno) << '\n';
        return 1;
    }
    if (child == 0) {
        ::close(ready[0]);
        ::setsid();
        return serveInForeground(parsed, ready[1]);
    }
    ::close(ready[1]);
    int code = EIO;
    ssize_t got = 0;
    do {
        got = ::read(ready[0], &code, sizeof code);
    } while (got < 0 && errno == EINTR);
    ::close(ready[0]);
    if (got != static_cast<ssize_t>(sizeof code)) {
        std::cerr << "mount-tandalo: the serving process ended before the mount was live\n";
        return 1;
    }
    if (code != 0) {
        return 1; // the child has already printed the error
    }
    // Whoever ran the mount watches this process: its end leaves the folder mounted but dead.
    std::cout << "mount-tandalo: served by process " << child << std::endl;
    return 0;
}
