// The figures of the whole system: how long a plugged phone takes to become a folder, the resident
// memory of the application and of its mount helper at rest and while a 1 GiB file is copied out and in,
// and cp through the application's own mount against the phone's link speed.
#include "tools/DemoSession.h"

#include "platform/foundation/ChildProcess.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
#include <sys/wait.h>
#include <thread>

namespace tandalo::demo {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

struct Memory {
    long applicationKiB = 0;
    long helperKiB = 0; // the largest of the application's mount helpers
};

Memory memoryOf(const Session& session) {
    Memory memory{residentKiB(session.application()), 0};
    for (const auto helper : mountHelpersIn(session.mountRoot())) {
        memory.helperKiB = std::max(memory.helperKiB, residentKiB(helper));
    }
    return memory;
}

struct Copy {
    double seconds = 0;
    Memory peak;
};

/// Runs cp to its end, looking at the memory every 50 ms.
Copy copyWatching(const Session& session, const fs::path& from, const fs::path& to) {
    Copy copy;
    const auto started = Clock::now();
    const auto cp = platform::spawnProgram(program("cp"), {from.string(), to.string()});
    int status = 0;
    while (::waitpid(cp, &status, WNOHANG) == 0) {
        const auto now = memoryOf(session);
        copy.peak.applicationKiB = std::max(copy.peak.applicationKiB, now.applicationKiB);
        copy.peak.helperKiB = std::max(copy.peak.helperKiB, now.helperKiB);
        std::this_thread::sleep_for(50ms);
    }
    copy.seconds = seconds(Clock::now() - started);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw Failure(joined("cp ", from, " ", to, " failed"));
    }
    return copy;
}

std::string mib(long kib) {
    return joined(std::fixed, std::setprecision(1), kib / 1024.0, " MiB");
}

/// A phone plugged in and mounted by the application; its folder's top of storage.
fs::path plugAndMount(Session& session, const std::vector<std::string>& description, std::string& serial) {
    serial = session.devices().plug(description);
    return topOfStorage(session.waitForMount(serial, 60s));
}

void unplug(Session& session, const std::string& serial, const fs::path& mounted) {
    session.devices().run({"unplug", serial});
    waitFor("the folder's removal", 30s, [&] { return !isMountedOn(mounted); });
}

} // namespace

void measure(Session& session) {
    session.startDesktop();
    session.startApplication();
    std::cout << std::fixed << std::setprecision(3);

    std::vector<double> plugToFolder;
    for (int round = 1; round <= 5; ++round) {
        const auto plugged = Clock::now();
        std::string serial;
        const auto top = plugAndMount(session, {"phone", session.serial(joined("PLUG", round, "-"))}, serial);
        plugToFolder.push_back(seconds(Clock::now() - plugged));
        unplug(session, serial, top.parent_path());
    }
    std::ranges::sort(plugToFolder);
    std::cout << "plug to mounted folder, 5 phones: median " << plugToFolder[2] << " s (min "
              << plugToFolder[0] << ", max " << plugToFolder[4]
              << "), of which 0.5 s is the USB monitor's delay" << std::endl;

    std::string serial;
    auto top = plugAndMount(session, {"phone", session.serial("BIG"), "video-size=1G"}, serial);
    std::this_thread::sleep_for(2s);
    const auto rest = memoryOf(session);
    std::cout << "resident at rest: application " << mib(rest.applicationKiB) << ", mount helper "
              << mib(rest.helperKiB) << std::endl;
    const auto scratch = session.mountRoot() / ".." / "tandalo-measure.bin";
    const auto out = copyWatching(session, top / "video.mp4", scratch);
    std::cout << "cp of 1 GiB out: " << out.seconds << " s (" << 1024 / out.seconds
              << " MiB/s), peak resident: application " << mib(out.peak.applicationKiB) << ", mount helper "
              << mib(out.peak.helperKiB) << std::endl;
    const auto in = copyWatching(session, scratch, top / "Download/video-copy.mp4");
    std::cout << "cp of 1 GiB in: " << in.seconds << " s (" << 1024 / in.seconds
              << " MiB/s), peak resident: application " << mib(in.peak.applicationKiB) << ", mount helper "
              << mib(in.peak.helperKiB) << std::endl;
    fs::remove(scratch);
    unplug(session, serial, top.parent_path());

    // cp against the link: a phone that moves 40 MB/s.
    top = plugAndMount(session, {"phone", session.serial("LINK"), "video-size=256M", "speed=40"}, serial);
    const auto linkSeconds = (256.0 * 1024 * 1024) / 40e6;
    const auto linkOut = copyWatching(session, top / "video.mp4", scratch);
    const auto linkIn = copyWatching(session, scratch, top / "Download/video-copy.mp4");
    std::cout << "cp of 256 MiB over a 40 MB/s link: out " << linkOut.seconds << " s ("
              << linkSeconds / linkOut.seconds << " of the link), in " << linkIn.seconds << " s ("
              << linkSeconds / linkIn.seconds << " of the link)" << std::endl;
    fs::remove(scratch);
    unplug(session, serial, top.parent_path());
}

} // namespace tandalo::demo
