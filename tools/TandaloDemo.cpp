// The demo: the bus service with the demo's phone in this process, and the application, tandalo, in
// another, which mounts the phone through mount-tandalo as it would a phone plugged into the computer.
//   tandalo-demo [<folder>]            until Ctrl-C: the application mounts the phone in <folder>
//                                      (~/Tandalo by default); Ctrl-C quits it, which unmounts
//   tandalo-demo --smoke               headless: the application starts, shows the phone and quits
//   tandalo-demo --selftest [<folder>] headless: a person's afternoon with two phones, step by step
//   tandalo-demo --measure [<folder>]  headless: plug to folder, memory at rest and while copying, cp
//   tandalo-demo --updates             headless: update checks against a feed server of its own, friendly
//                                      and hostile
// Headless runs give the application a private session bus whose notification server is this program,
// and see and press the application's window through its test channel (TANDALO_TEST_CONTROL).
#include "tools/DemoSession.h"
#include "tools/StopSignals.h"

#include "platform/busservice/BusProtocol.h"
#include "platform/foundation/MountInfo.h"
#include "simulation/DemoPhone.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tandalo::demo {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/// How soon a phone whose mount helper died must be mounted again.
constexpr auto deadMountLimit = 2s;

void showsThePhone(Steps& steps, const Session& session, const std::string& serial,
                   std::chrono::milliseconds limit = 20s) {
    steps.run("the application shows the phone", [&] {
        waitFor("the phone's row", limit, [&] { return session.row(serial).has_value(); });
        const auto fields = *session.row(serial);
        if (fields[2] == "hidden") {
            throw Failure("the model lists the phone, the window does not show it");
        }
        return joined("\"", fields[1], "\", ", fields[2]);
    });
}

/// Throws when a token file of the phone is left beside the folders once its mount is gone.
void refuseTokensLeft(const Session& session, const std::string& serial) {
    const auto tokens = session.mountRoot() / ".tandalo";
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char character) { return static_cast<char>(std::tolower(character)); });
        return text;
    };
    if (!fs::exists(tokens)) {
        return;
    }
    for (const auto& entry : fs::recursive_directory_iterator(tokens)) {
        if (entry.is_regular_file() && lower(entry.path().filename().string()).starts_with(lower(serial))) {
            throw Failure(joined(entry.path().string(), " is left"));
        }
    }
}

void quits(Steps& steps, Session& session) {
    steps.run("quit", [&] {
        const auto status = session.stopApplication();
        if (!status || *status != 0) {
            throw Failure(status ? joined("the application ended with ", *status)
                                 : "the application did not end");
        }
        // A mount still under way when the application quit ends with its helper, which then lets go.
        if (!session.service().waitForClients(0)) {
            throw Failure("a process still holds a device");
        }
        if (const auto left = mountsInside(session.mountRoot()); !left.empty()) {
            throw Failure(joined("mounts are left, on ", left.front()));
        }
        return std::string("the application ended, nothing is mounted and no process holds a device");
    });
}

} // namespace

void smokeTest(Session& session) {
    Steps steps(session);
    const auto serial = session.devices().plug({"phone", session.serial("SMOKE")});
    session.startApplication();
    showsThePhone(steps, session, serial);
    quits(steps, session);
    // Preferences that cannot be read (FIFOs that nobody writes) are defaults: the start neither hangs on
    // them nor keeps the application from quitting.
    steps.run("FIFOs in place of the preferences", [&] {
        session.replacePreferencesByFIFOs();
        return std::string("the application starts again on them");
    });
    session.startApplication({}, Session::Settings::leftAsTheyAre);
    showsThePhone(steps, session, serial, 10s);
    quits(steps, session);
    std::cout << "smoke test passed" << std::endl;
}

void selfTest(Session& session) {
    Steps steps(session);
    const auto first = session.devices().plug({"phone", session.serial("FIRST"), "video-size=48M"});
    const auto phone = session.devices().phone(first);
    const auto storage = phone->storages().front().id;
    fs::path folder;
    session.startDesktop();
    session.startApplication();
    showsThePhone(steps, session, first);
    steps.run("its folder appears", [&] {
        folder = session.waitForMount(first);
        return joined(folder.string(), " is a mount of mount-tandalo");
    });
    const fs::path top = topOfStorage(folder);
    const auto firstName = session.row(first)->at(1);
    steps.run("ls", [&] {
        std::string names;
        for (const auto& entry : fs::directory_iterator(top)) {
            names += entry.path().filename().string() + (entry.is_directory() ? "/ " : " ");
        }
        return names;
    });
    steps.run("read a photo", [&] {
        const auto bytes = readFile(top / "DCIM/Camera/IMG_20261201.jpg");
        if (bytes != simulation::DemoPhone::photoBytes(1)) {
            throw Failure("the bytes differ from the phone's");
        }
        return joined(bytes.size(), " bytes, identical to the phone's");
    });
    steps.run("copy a file in", [&] {
        const std::string copied = "copied through the kernel\n" + std::string(300000, 'x');
        writeFile(top / "Download/copied.txt", copied);
        const auto handle = phone->find(storage, "Download/copied.txt");
        if (!handle || phone->contentsText(*handle) != copied) {
            throw Failure("the phone does not hold the same bytes");
        }
        return joined(copied.size(), " bytes now on the phone");
    });
    steps.run("df", [&] {
        struct statvfs figures {};
        if (::statvfs(folder.c_str(), &figures) != 0) {
            throw Failure(joined("statvfs: ", std::strerror(errno)));
        }
        return joined((static_cast<unsigned long long>(figures.f_bavail) * figures.f_frsize) >> 20,
                      " MiB free");
    });
    steps.run("its mount-tandalo is killed", [&] {
        // The one helper of this run's own folder, and no other process.
        const auto helpers = mountHelpersIn(session.mountRoot());
        if (helpers.size() != 1) {
            throw Failure(joined(helpers.size(), " mount helpers serve the phones of this run"));
        }
        const auto killed = helpers.front();
        if (::kill(killed, SIGKILL) != 0) {
            throw Failure(joined("kill ", killed, ": ", std::strerror(errno)));
        }
        const auto started = Clock::now();
        waitFor("the dead mount taken down and the phone mounted again", deadMountLimit, [&] {
            const auto shown = session.mountedFolder(first);
            const auto serving = mountHelpersIn(session.mountRoot());
            struct stat status {};
            return shown && *shown == folder && serving.size() == 1 && serving.front() != killed &&
                   ::stat(folder.c_str(), &status) == 0;
        });
        const auto took = std::chrono::duration<double>(Clock::now() - started).count();
        if (readFile(top / "DCIM/Camera/IMG_20261201.jpg") != simulation::DemoPhone::photoBytes(1)) {
            throw Failure("the photo reads differently through the new mount");
        }
        return joined("process ", killed, " killed; mounted again on ", folder.filename().string(), " ",
                      std::fixed, std::setprecision(2), took, " s later");
    });
    const auto second =
        session.devices().plug({"phone", session.serial("SECOND"), "product=Pixel 7", "vendor=Google"});
    fs::path secondFolder;
    steps.run("a second phone is plugged in", [&] {
        secondFolder = session.waitForMount(second);
        if (secondFolder == folder) {
            throw Failure("both phones share a folder");
        }
        return joined(secondFolder.string(), " beside ", folder.filename().string());
    });
    steps.run("eject it with the window's eject button", [&] {
        session.press(second, "eject");
        waitFor("the unmount", 20s, [&] { return !isMountedOn(secondFolder) && !fs::exists(secondFolder); });
        waitFor("the row offering Mount", 10s, [&] {
            const auto fields = session.row(second);
            return fields && (*fields)[2] == "unmounted" && (*fields)[4].find("mount") != std::string::npos;
        });
        refuseTokensLeft(session, second);
        return joined(secondFolder.filename().string(),
                      " unmounted and its folder and token file removed; the row offers Mount");
    });
    steps.run("phones whose serials differ in letter case, and phones with any name", [&] {
        const auto upper = session.devices().plug({"phone", session.serial("CaseX"), "product=Case Phone"});
        const auto lower = session.devices().plug({"phone", session.serial("casex"), "product=Case Phone"});
        std::string longName;
        for (int character = 0; character < 300; ++character) {
            longName += "\u540D"; // three bytes: 900 in all, where a folder's name may have 255
        }
        const auto named = session.devices().plug({"phone", session.serial("LONG"), "product=" + longName});
        const auto noisy =
            session.devices().plug({"phone", session.serial("NOISY"), "product=Bell\x1B[31m\x07 Phone"});
        std::map<std::string, fs::path> folders;
        for (const auto& serial : {upper, lower, named, noisy}) {
            folders[serial] = session.waitForMount(serial);
        }
        if (folders[upper] == folders[lower]) {
            throw Failure("two phones share the folder " + folders[upper].string());
        }
        // Each phone's files land on that phone.
        for (const auto& serial : {upper, lower}) {
            writeFile(topOfStorage(folders[serial]) / "Download/owner.txt", serial);
        }
        for (const auto& serial : {upper, lower}) {
            const auto owned = session.devices().phone(serial);
            const auto handle = owned->find(owned->storages().front().id, "Download/owner.txt");
            if (!handle || owned->contentsText(*handle) != serial) {
                throw Failure(serial + " does not hold the file written into its folder");
            }
        }
        std::string shortened;
        for (int character = 0; character < 85; ++character) {
            shortened += "\u540D";
        }
        if (folders[named].filename() != shortened) {
            throw Failure("the long name's folder is " + folders[named].filename().string());
        }
        const std::string clean = "Bell [31m Phone";
        if (folders[noisy].filename() != clean || session.row(noisy)->at(1) != clean) {
            throw Failure("the name with control characters is shown as " + session.row(noisy)->at(1) +
                          " in " + folders[noisy].filename().string());
        }
        // The other one of the pair stays, mounted and serving its own files.
        const auto unplugged = session.devices().run({"unplug", upper});
        if (!unplugged.succeeded) {
            throw Failure(unplugged.text);
        }
        waitFor("the row's removal", 10s, [&] { return !session.row(upper).has_value(); });
        if (session.mountedFolder(lower) != folders[lower] ||
            readFile(topOfStorage(folders[lower]) / "Download/owner.txt") != lower) {
            throw Failure(lower + " lost its mount when " + upper + " was unplugged");
        }
        return joined(folders[upper].filename().string(), " and ", folders[lower].filename().string(),
                      ", each with its own files; a folder of ", folders[named].filename().string().size(),
                      " bytes; \"", clean, "\"");
    });
    steps.run("two phones with one serial number", [&] {
        const auto serialSetting = session.serial("TWIN");
        const auto serial = serialSetting.substr(serialSetting.find('=') + 1);
        // The second comes while the first is mounted, which keeps its row and folder.
        const auto one = session.devices().plug({"phone", serialSetting, "product=Twin Phone"});
        const auto firstFolder = session.waitForMount(serial);
        const auto two = session.devices().plug({"phone", serialSetting, "product=Twin Phone"});
        // The pair's rows by id: the serial number, with "@<place on the bus>" for a phone told apart so.
        const auto mountedTwins = [&] {
            std::map<std::string, fs::path> mounted;
            for (const auto& fields : session.rowFields()) {
                if ((fields[0] == serial || fields[0].starts_with(serial + "@")) &&
                    fields[2].starts_with("mounted ")) {
                    mounted[fields[0]] = fields[2].substr(8);
                }
            }
            return mounted;
        };
        std::map<std::string, fs::path> folders;
        waitFor("both phones mounted", 20s, [&] {
            folders = mountedTwins();
            return folders.size() == 2 &&
                   std::ranges::all_of(folders, [](const auto& each) { return isMountedOn(each.second); });
        });
        if (folders.begin()->second == folders.rbegin()->second) {
            throw Failure("the two phones share the folder " + folders.begin()->second.string());
        }
        if (folders[serial] != firstFolder) {
            throw Failure("the first phone left its folder when the second came");
        }
        const auto shown =
            joined(folders.begin()->first, " in ", folders.begin()->second.filename().string(), " and ",
                   folders.rbegin()->first, " in ", folders.rbegin()->second.filename().string());
        const auto ownFiles = [&](std::string_view when) {
            for (const auto& [id, folder] : folders) {
                if (readFile(topOfStorage(folder) / "Download/owner.txt") != id) {
                    throw Failure(joined(folder.string(), " no longer shows its phone's files ", when));
                }
            }
        };
        // What is written into a row's folder lands on one phone, a different one for each row.
        for (const auto& [id, folder] : folders) {
            writeFile(topOfStorage(folder) / "Download/owner.txt", id);
        }
        std::map<std::string, std::string> rowOf;
        for (const auto& name : {one, two}) {
            const auto owned = session.devices().phone(name);
            const auto handle = owned->find(owned->storages().front().id, "Download/owner.txt");
            if (!handle) {
                throw Failure(name + " holds none of the files written into the two folders");
            }
            rowOf[name] = owned->contentsText(*handle);
        }
        // Another change of the bus: a third phone comes and goes.
        const auto third = session.devices().plug({"phone", session.serial("THIRD")});
        session.waitForMount(third);
        const auto thirdGone = session.devices().run({"unplug", third});
        if (!thirdGone.succeeded) {
            throw Failure(thirdGone.text);
        }
        waitFor("the third phone's row removal", 10s, [&] { return !session.row(third).has_value(); });
        if (mountedTwins() != folders) {
            throw Failure("the pair's rows changed when another phone came and went");
        }
        ownFiles("after another phone came and went");
        // The first goes: the second, told apart by its place, keeps that id and its folder while it stays.
        const auto unplugged = session.devices().run({"unplug", one});
        if (!unplugged.succeeded) {
            throw Failure(unplugged.text);
        }
        waitFor("the unplugged phone's row removal", 10s,
                [&] { return !session.row(rowOf[one]).has_value(); });
        const auto stays = rowOf[two];
        if (session.mountedFolder(stays) != folders[stays]) {
            throw Failure(stays + " lost its mount when the other phone of its serial number was unplugged");
        }
        folders.erase(rowOf[one]);
        ownFiles("after the other phone was unplugged");
        return joined(shown, ", each with its own files; ", stays,
                      " stays mounted after another phone came and went and its twin was unplugged");
    });
    steps.run("unplug the first phone during a copy", [&] {
        constexpr std::size_t blocks = 256;
        std::atomic<bool> copying = true;
        std::atomic<std::size_t> written = 0;
        bool failed = false;
        {
            std::jthread writer([&] {
                std::ofstream stream(top / "Download/big.bin", std::ios::binary | std::ios::trunc);
                const std::string block(1 << 20, 'b');
                for (std::size_t index = 0; index < blocks && stream; ++index) {
                    stream.write(block.data(), static_cast<std::streamsize>(block.size()));
                    stream.flush();
                    written += block.size();
                }
                stream.close();
                failed = !stream;
                copying = false;
            });
            waitFor("20 MiB written", 30s, [&] { return written >= (20U << 20) || !copying; });
            std::this_thread::sleep_for(300ms); // the data reaches the phone, whose last write is then recent
            const auto unplugged = session.devices().run({"unplug", first});
            if (!unplugged.succeeded) {
                throw Failure(unplugged.text);
            }
        } // the copy has ended
        if (failed) {
            return joined("the copy failed after ", written >> 20, " MiB, as it must");
        }
        // A copy that says it succeeded must be whole on the phone.
        const auto handle = phone->find(storage, "Download/big.bin");
        if (!handle || phone->contents(*handle).size() != blocks << 20) {
            throw Failure("the copy reported success, but the phone does not hold the whole file");
        }
        return std::string("the copy had ended, whole, before the phone was pulled out");
    });
    steps.run("a warning says so", [&] {
        std::string warning;
        waitFor("the notification", 10s, [&] {
            for (const auto& summary : session.notifications().summaries()) {
                if (summary == firstName + " was unplugged during a copy") {
                    warning = summary;
                    return true;
                }
            }
            return false;
        });
        return joined("\"", warning, "\"");
    });
    steps.run("its folder is clean", [&] {
        waitFor("the folder's removal", 20s, [&] { return !isMountedOn(folder) && !fs::exists(folder); });
        waitFor("the row's removal", 10s, [&] { return !session.row(first).has_value(); });
        refuseTokensLeft(session, first);
        return joined(folder.filename().string(),
                      " unmounted and removed with its token file; the window lists it no more");
    });
    quits(steps, session);
    std::cout << "self-test passed" << std::endl;
}

namespace {

void interactive(Session& session, tandalo::tools::StopSignals& stopSignals) {
    const auto serial = session.devices().plug({"phone"});
    session.startApplication();
    const auto busctl = (session.tools() / "tandalo-busctl").string();
    std::cout << "The application runs with a simulated phone (" << serial << "); it mounts it in "
              << session.mountRoot().string() << ".\nTry, in another terminal:\n"
              << "  ls -la '" << session.mountRoot().string() << "'/*\n"
              << "and change the bus while it runs:\n"
              << "  export " << busservice::socketVariable << "=" << session.service().socketPath().string()
              << "\n"
              << "  " << busctl << " plug phone serial=SECOND\n"
              << "  " << busctl << " unplug " << serial << "\n"
              << "Press Ctrl-C to quit the application (which unmounts) and stop the bus service."
              << std::endl;
    while (!stopSignals.waitForStop(200ms)) {
        int status = 0;
        if (::waitpid(session.application(), &status, WNOHANG) == session.application()) {
            std::cout << "the application ended" << std::endl;
            return;
        }
    }
    const auto status = session.stopApplication();
    std::cout << (status && *status == 0 ? "the application quit and unmounted\n"
                                         : "the application did not quit\n");
}

int usage(const char* problem) {
    std::cerr << "tandalo-demo: " << problem
              << "\nusage: tandalo-demo [--smoke | --selftest | --measure | --updates] [<folder>]\n"
              << "  runs the application with a simulated phone, mounted in <folder> (by default ~/Tandalo,\n"
              << "  and a temporary folder for the headless runs)\n";
    return 2;
}

} // namespace
} // namespace tandalo::demo

int main(int argc, char** argv) {
    using namespace tandalo::demo;
    Mode mode = Mode::interactive;
    std::optional<fs::path> root;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--smoke") {
            mode = Mode::smokeTest;
        } else if (argument == "--selftest") {
            mode = Mode::selfTest;
        } else if (argument == "--measure") {
            mode = Mode::measure;
        } else if (argument == "--updates") {
            mode = Mode::updateChecks;
        } else if (argument == "-h" || argument == "--help") {
            return usage("runs the application with a simulated phone");
        } else if (!argument.empty() && argument[0] == '-') {
            return usage(("unknown option \"" + argument + "\"").c_str());
        } else if (root) {
            return usage("more than one folder given");
        } else {
            root = fs::absolute(argument);
        }
    }
    if (!root && mode == Mode::interactive) {
        const char* home = std::getenv("HOME");
        if (home == nullptr || *home == '\0') {
            return usage("HOME is not set; give a folder");
        }
        root = fs::path(home) / "Tandalo";
    }
    if ((mode == Mode::selfTest || mode == Mode::measure) && ::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::cout << "skipped: /dev/fuse cannot be opened, so nothing can be mounted here" << std::endl;
        return 77;
    }
    if (mode != Mode::interactive && !isolateMounts()) {
        // The application unmounts every phone of its user when it quits: without a namespace of its own,
        // a headless run must not start where someone's phones are mounted.
        for (const auto& mount : platform::MountInfo::read()) {
            if (mount.fileSystemType == "fuse.tandalo") {
                std::cout << "skipped: " << mount.mountPoint.string()
                          << " is mounted, and the test's application "
                          << "would unmount it when it quits (run as root to keep it apart)" << std::endl;
                return 77;
            }
        }
    }
    QCoreApplication application(argc, argv);
    NotificationRecorder notifications; // on the event loop's thread, which answers the bus
    std::optional<tandalo::tools::StopSignals> stopSignals;
    if (mode == Mode::interactive) {
        stopSignals.emplace();
    }
    int result = 1;
    std::thread driver([&] {
        try {
            Session session(mode, root, notifications);
            if (mode == Mode::smokeTest) {
                smokeTest(session);
            } else if (mode == Mode::selfTest) {
                selfTest(session);
            } else if (mode == Mode::measure) {
                measure(session);
            } else if (mode == Mode::updateChecks) {
                updateChecks(session);
            } else {
                interactive(session, *stopSignals);
            }
            result = 0;
        } catch (const std::exception& error) {
            std::cerr << "tandalo-demo: " << error.what() << std::endl;
        }
        QMetaObject::invokeMethod(
            &application, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
    });
    QCoreApplication::exec();
    driver.join();
    return result;
}
