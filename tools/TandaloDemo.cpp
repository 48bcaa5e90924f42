// The demo: a simulated phone on a simulated bus in this process, mounted on a real folder through FUSE.
// --selftest mounts, works on the mount through the kernel, reports, and unmounts.
#include "tools/DemoPhone.h"
#include "tools/MountHelper.h"

#include "platform/usb/USBBus.h"

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

bool runSelfTest(const fs::path& mounted, tandalo::tools::DemoPhone& demo) {
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
    auto& phone = *demo.phone;
    step("ls", [&] {
        std::string names;
        for (const auto& entry : fs::directory_iterator(top)) {
            names += entry.path().filename().string() + (entry.is_directory() ? "/ " : " ");
        }
        return names;
    });
    step("read a photo", [&] {
        const auto bytes = readFile(top / "DCIM/Camera/IMG_20261201.jpg");
        if (bytes != tandalo::tools::DemoPhone::photoBytes(1)) {
            throw std::runtime_error("the bytes differ from the phone's");
        }
        return std::to_string(bytes.size()) + " bytes, identical to the phone's";
    });
    const std::string copied = "copied through the kernel\n" + std::string(300000, 'x');
    step("copy a file in", [&] {
        writeFile(top / "Download/copied.txt", copied);
        const auto handle = phone.find(demo.storage, "Download/copied.txt");
        if (!handle || phone.contentsText(*handle) != copied) {
            throw std::runtime_error("the phone does not hold the same bytes");
        }
        return std::to_string(copied.size()) + " bytes now on the phone";
    });
    step("mkdir", [&] {
        fs::create_directory(top / "Music/Albums");
        if (!phone.find(demo.storage, "Music/Albums")) {
            throw std::runtime_error("the folder is not on the phone");
        }
        return std::string("Music/Albums made on the phone");
    });
    step("rename", [&] {
        fs::rename(top / "Download/copied.txt", top / "Download/renamed.txt");
        if (!phone.find(demo.storage, "Download/renamed.txt") ||
            phone.find(demo.storage, "Download/copied.txt")) {
            throw std::runtime_error("the phone does not show the new name");
        }
        return std::string("Download/copied.txt -> Download/renamed.txt");
    });
    step("delete", [&] {
        fs::remove(top / "Download/renamed.txt");
        fs::remove(top / "Music/Albums");
        if (phone.find(demo.storage, "Download/renamed.txt") || phone.find(demo.storage, "Music/Albums")) {
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
    try {
        auto demo = tandalo::tools::DemoPhone::make();
        usb::ScopedDefaultBus defaultBus(demo.bus);
        if (!folder) {
            const char* home = std::getenv("HOME");
            if (home == nullptr || *home == '\0') {
                return usage("HOME is not set; give a folder");
            }
            folder = fs::path(home) / "Tandalo" / demo.deviceName;
        }
        fs::create_directories(*folder);
        tandalo::tools::StopSignals signals;
        const std::string resource = "mtp://" + demo.serialNumber;
        auto mount = tandalo::tools::mountResource(resource, *folder, false);
        std::cout << demo.deviceName << " (" << resource << ") is mounted on " << mount->folder().string()
                  << '\n';
        if (selfTest) {
            const bool passed = runSelfTest(mount->folder(), demo);
            mount->shutdown();
            std::cout << "unmounted\n";
            return passed ? 0 : 1;
        }
        const std::string top = topOfStorage(mount->folder()).string();
        std::cout << "Try, in another terminal:\n"
                  << "  ls -la '" << mount->folder().string() << "'\n"
                  << "  cp '" << top << "'/DCIM/Camera/IMG_20261201.jpg /tmp/\n"
                  << "  cp some-file '" << top << "'/Download/\n"
                  << "  df -h '" << mount->folder().string() << "'\n"
                  << "Press Ctrl-C to unmount and quit.\n";
        tandalo::tools::serveUntilUnmounted(*mount, signals);
        std::cout << "unmounted\n";
        return 0;
    } catch (const std::exception& error) {
        const int code = tandalo::tools::errnoOf(error);
        std::string message = error.what();
        if (message.find(std::strerror(code)) == std::string::npos) {
            message += std::string(": ") + std::strerror(code);
        }
        std::cerr << "tandalo-demo: " << message << '\n';
        return 1;
    }
}
