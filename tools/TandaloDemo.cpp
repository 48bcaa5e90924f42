// The demo: the bus service with a simulated phone in this process, and mount-tandalo in another process
// mounting the phone on a real folder through FUSE, as the application and the mount helper work together.
// --selftest mounts, works on the mount through the kernel, checks the phone, reports, and unmounts.
#include "tools/StopSignals.h"

#include "platform/foundation/ChildProcess.h"
#include "platform/foundation/FoundationError.h"
#include "simulation/DemoPhone.h"
#include "simulation/service/BusService.h"
#include "simulation/service/ServiceDevices.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(errno));
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
        throw std::runtime_error("cannot write " + path.string());
    }
}

/// Where the sample tree's top is on the mount: the folder itself, or the one storage folder in it.
fs::path topOfStorage(const fs::path& mounted) {
    if (fs::exists(mounted / "DCIM")) {
        return mounted;
    }
    for (const auto& entry : fs::directory_iterator(mounted)) {
        if (entry.is_directory() && fs::exists(entry.path() / "DCIM")) {
            return entry.path();
        }
    }
    throw std::runtime_error("DCIM is not on the mount");
}

bool runSelfTest(const fs::path& mounted, simulation::SimulatedPhone& phone, std::uint32_t storage) {
    int failures = 0;
    auto step = [&](const std::string& name, const std::function<std::string()>& action) {
        try {
            std::cout << "  ok    " << name << ": " << action() << '\n';
        } catch (const std::exception& error) {
            ++failures;
            std::cout << "  FAIL  " << name << ": " << error.what() << '\n';
        }
    };
    const fs::path top = topOfStorage(mounted);
    step("ls", [&] {
        std::string names;
        for (const auto& entry : fs::directory_iterator(top)) {
            names += entry.path().filename().string() + (entry.is_directory() ? "/ " : " ");
        }
        return names;
    });
    step("read a photo", [&] {
        const auto bytes = readFile(top / "DCIM/Camera/IMG_20261201.jpg");
        if (bytes != simulation::DemoPhone::photoBytes(1)) {
            throw std::runtime_error("the bytes differ from the phone's");
        }
        return std::to_string(bytes.size()) + " bytes, identical to the phone's";
    });
    const std::string copied = "copied through the kernel\n" + std::string(300000, 'x');
    step("copy a file in", [&] {
        writeFile(top / "Download/copied.txt", copied);
        const auto handle = phone.find(storage, "Download/copied.txt");
        if (!handle || phone.contentsText(*handle) != copied) {
            throw std::runtime_error("the phone does not hold the same bytes");
        }
        return std::to_string(copied.size()) + " bytes now on the phone";
    });
    step("mkdir", [&] {
        fs::create_directory(top / "Music/Albums");
        if (!phone.find(storage, "Music/Albums")) {
            throw std::runtime_error("the folder is not on the phone");
        }
        return std::string("Music/Albums made on the phone");
    });
    step("rename", [&] {
        fs::rename(top / "Download/copied.txt", top / "Download/renamed.txt");
        if (!phone.find(storage, "Download/renamed.txt") || phone.find(storage, "Download/copied.txt")) {
            throw std::runtime_error("the phone does not show the new name");
        }
        return std::string("Download/copied.txt -> Download/renamed.txt");
    });
    step("delete", [&] {
        fs::remove(top / "Download/renamed.txt");
        fs::remove(top / "Music/Albums");
        if (phone.find(storage, "Download/renamed.txt") || phone.find(storage, "Music/Albums")) {
            throw std::runtime_error("the phone still holds them");
        }
        return std::string("Download/renamed.txt and Music/Albums gone from the phone");
    });
    step("df", [&] {
        struct statvfs figures {};
        if (::statvfs(mounted.c_str(), &figures) != 0) {
            throw std::runtime_error(std::string("statvfs: ") + std::strerror(errno));
        }
        const auto size = static_cast<unsigned long long>(figures.f_blocks) * figures.f_frsize;
        const auto free = static_cast<unsigned long long>(figures.f_bavail) * figures.f_frsize;
        if (size != phone.storages().front().maxCapacity) {
            throw std::runtime_error("the size differs from the phone's capacity");
        }
        return std::to_string(size >> 20) + " MiB in all, " + std::to_string(free >> 20) + " MiB free";
    });
    std::cout << (failures == 0 ? "self-test passed\n" : "self-test FAILED\n");
    return failures == 0;
}

/// Runs a program to its end with more environment variables; its exit status, -1 when it did not start.
int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& extraEnvironment) {
    try {
        return platform::waitForChild(platform::spawnProgram(program, arguments, extraEnvironment));
    } catch (const platform::FoundationError&) {
        return -1;
    }
}

/// Unmounts the folder as its owner may: umount(2) as root, fusermount3 otherwise; lazily when it is busy.
void unmount(const fs::path& folder) {
    if (::umount2(folder.c_str(), 0) == 0) {
        return;
    }
    if (errno == EBUSY) {
        ::umount2(folder.c_str(), MNT_DETACH);
        return;
    }
    if (runProgram("/bin/fusermount3", {"-u", folder.string()}, {}) != 0) {
        runProgram("/bin/fusermount3", {"-u", "-z", folder.string()}, {});
    }
}

/// The process that holds the phone's MTP interface, as the bus names it.
std::string holderOf(simulation::SimulatedBus& bus, const std::string& serialNumber) {
    for (const auto& interface : bus.matchingEntries(usb::interfaceClassName)) {
        const auto device = bus.entry(interface.parentID);
        const auto* serial = device ? device->property("USB Serial Number") : nullptr;
        const auto* owner = interface.property(usb::exclusiveOwnerKey);
        if (serial != nullptr && *serial == usb::PropertyValue{serialNumber} && owner != nullptr) {
            return std::get<std::string>(*owner);
        }
    }
    return "nobody";
}

int usage(const char* problem) {
    std::cerr << "tandalo-demo: " << problem << "\nusage: tandalo-demo [--selftest] [<folder>]\n"
              << "  mounts a simulated phone on <folder> (default ~/Tandalo/<device name>) until Ctrl-C\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    bool selfTest = false;
    std::optional<fs::path> folder;
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        if (argument == "--selftest") {
            selfTest = true;
        } else if (argument == "-h" || argument == "--help") {
            return usage("mounts a simulated phone");
        } else if (!argument.empty() && argument[0] == '-') {
            return usage(("unknown option \"" + argument + "\"").c_str());
        } else if (folder) {
            return usage("more than one folder given");
        } else {
            folder = argument;
        }
    }
    std::string socketFolder = (fs::temp_directory_path() / "tandalo-demo-XXXXXX").string();
    if (::mkdtemp(socketFolder.data()) == nullptr) {
        std::cerr << "tandalo-demo: mkdtemp: " << std::strerror(errno) << '\n';
        return 1;
    }
    int result = 1;
    try {
        tandalo::tools::StopSignals signals;
        auto bus = std::make_shared<simulation::SimulatedBus>();
        simulation::ServiceDevices hosted(bus);
        const auto serialNumber = hosted.plug({"phone"});
        const auto phone = hosted.phone(serialNumber);
        const auto storage = phone->storages().front().id;
        const auto deviceName = phone->deviceInfo().model;
        auto service = simulation::BusService::start(
            bus, fs::path(socketFolder) / "usb-bus.sock",
            [&hosted](const busservice::CommandWords& words) { return hosted.run(words); });
        const auto socket = service->socketPath().string();
        if (!folder) {
            const char* home = std::getenv("HOME");
            if (home == nullptr || *home == '\0') {
                return usage("HOME is not set; give a folder");
            }
            folder = fs::path(home) / "Tandalo" / deviceName;
        }
        fs::create_directories(*folder);
        const auto tools = fs::read_symlink("/proc/self/exe").parent_path();
        const auto mountTool = tools / "mount-tandalo";
        const std::string resource = "mtp://" + serialNumber;
        if (runProgram(mountTool.string(), {"-t", "tandalo", resource, folder->string()},
                       {std::string(busservice::socketVariable) + "=" + socket}) != 0) {
            std::cerr << "tandalo-demo: mount-tandalo could not mount " << resource << '\n';
            fs::remove_all(socketFolder);
            return 1;
        }
        std::cout << deviceName << " (" << resource << ") is mounted on " << folder->string() << " by \""
                  << holderOf(*bus, serialNumber) << "\", over the bus service at " << socket << '\n';
        if (selfTest) {
            const bool passed = runSelfTest(*folder, *phone, storage);
            result = passed ? 0 : 1;
        } else {
            const std::string top = topOfStorage(*folder).string();
            std::cout << "Try, in another terminal:\n"
                      << "  ls -la '" << folder->string() << "'\n"
                      << "  cp '" << top << "'/DCIM/Camera/IMG_20261201.jpg /tmp/\n"
                      << "  cp some-file '" << top << "'/Download/\n"
                      << "  df -h '" << folder->string() << "'\n"
                      << "and change the bus while it is mounted:\n"
                      << "  export " << busservice::socketVariable << "=" << socket << "\n"
                      << "  " << (tools / "tandalo-busctl").string() << " list\n"
                      << "  " << (tools / "tandalo-busctl").string() << " unplug " << serialNumber << "\n"
                      << "Press Ctrl-C to unmount and quit." << std::endl;
            signals.waitForStop();
            result = 0;
        }
        unmount(*folder);
        // mount-tandalo lets go of the phone once the folder is gone; then it is really over.
        if (!service->waitForClients(0)) {
            std::cerr << "tandalo-demo: mount-tandalo did not let go of the phone\n";
            result = 1;
        }
        std::cout << "unmounted\n";
    } catch (const std::exception& error) {
        std::cerr << "tandalo-demo: " << error.what() << '\n';
        result = 1;
    }
    std::error_code ignored;
    fs::remove_all(socketFolder, ignored);
    return result;
}
