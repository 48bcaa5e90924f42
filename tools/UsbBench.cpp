// Whole-object transfers through the Linux USB backend against cp out of and into the mounted folder of
// the same device: run inside the machine of scripts/usb-vm, where umtprd serves a folder as a real USB
// device (tests/platform/usbfs/vm/suite.sh runs it). Software emulation makes every figure slow, so the
// mounted/whole-object ratio is the one that counts. GetPartialObject in the volume's read-ahead windows
// shows what the mounted path's reads cost the device and the backend alone, without the kernel's FUSE.
//
//   tandalo-usb-bench <mount folder> <device folder> [MiB, default 64] [rounds, default 1] [mount helper...]
//   tandalo-usb-bench --tree <mount folder> <device folder> [rounds, default 3] [mount helper]
//
// <device folder> is the folder the device serves, where the objects are put and checked; a file of that
// name must be a folder directly under the device's first storage. Prints MB/s for each path and the
// ratios, for each mount helper given (default: the one beside it) in every round; the status is non-zero
// when a transfer failed or its bytes differ. With --tree it times the
// everyday work on a tree of small files made in the device folder and a 64 MiB file instead
// (tools/TreeBench.h), each round on a fresh mount by the helper given (default: the one beside it), so
// that another build's helper can be measured in the same boot.
#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "platform/iokit/IOKitLib.h"
#include "platform/usbfs/LinuxBus.h"
#include "tools/TreeBench.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double megabytesPerSecond(std::uint64_t bytes, Clock::duration elapsed) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

std::vector<std::byte> content(std::size_t size, unsigned seed) {
    std::vector<std::byte> bytes(size);
    for (std::size_t index = 0; index < size; ++index) {
        bytes[index] = static_cast<std::byte>((index * 2654435761u + seed) >> 11);
    }
    return bytes;
}

void writeFile(const fs::path& path, const std::vector<std::byte>& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::byte> readFile(const fs::path& path) {
    std::ifstream stream(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    std::vector<std::byte> result(bytes.size());
    std::memcpy(result.data(), bytes.data(), bytes.size());
    return result;
}

void run(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    std::vector<std::string> copies = words;
    for (auto& word : copies) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot run " + words.front());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(words.front() + " failed");
    }
}

// Waits until the device's folder holds the whole file: an upload ends when the device has it all.
void awaitFile(const fs::path& path, std::uint64_t size) {
    const auto limit = Clock::now() + std::chrono::minutes(5);
    std::error_code error;
    while (fs::file_size(path, error) != size || error) {
        if (Clock::now() > limit) {
            throw std::runtime_error(path.string() + " never arrived whole");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

struct Whole {
    double get = 0;
    double partial = 0; // the same object in the volume's largest read-ahead windows
    double send = 0;
};

// The largest window the volume reads ahead: the mounted path's reads, without the kernel in between.
constexpr std::uint32_t readAheadWindow = 4 << 20;

Whole wholeObjects(const fs::path& deviceFolder, std::size_t size) {
    const auto bus = usbfs::LinuxBus::create();
    const usb::ScopedDefaultBus defaultBus(bus);
    const auto found = corvane::USBDeviceDiscovery::findMTPInterfaces();
    if (found.empty()) {
        throw std::runtime_error("no MTP device on the bus");
    }
    const auto device = corvane::MTPDevice::connect(found.front());
    device->hold()->open();
    const std::uint32_t storage = device->hold()->getStorages().at(0).id;
    const auto root = device->hold()->listDirectory(storage, 0xFFFFFFFF);
    const auto folder = std::find_if(
        root.begin(), root.end(), [&](const auto& each) { return each.name() == deviceFolder.filename(); });
    if (folder == root.end()) {
        throw std::runtime_error("the device has no folder " + deviceFolder.filename().string());
    }
    const auto listing = device->hold()->listDirectory(storage, folder->handle());
    const auto source = std::find_if(listing.begin(), listing.end(),
                                     [](const auto& each) { return each.name() == "bench-out.bin"; });
    if (source == listing.end()) {
        throw std::runtime_error("the device does not list bench-out.bin");
    }

    Whole figures;
    std::ofstream sink("/run/tandalo-bench-get.bin", std::ios::binary);
    auto start = Clock::now();
    device->hold()->getObject(source->handle(), [&](std::span<const std::byte> chunk) {
        sink.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    });
    sink.close();
    figures.get = megabytesPerSecond(size, Clock::now() - start);
    if (readFile("/run/tandalo-bench-get.bin") != readFile(deviceFolder / "bench-out.bin")) {
        throw std::runtime_error("GetObject delivered other bytes");
    }
    fs::remove("/run/tandalo-bench-get.bin");
    start = Clock::now();
    for (std::uint64_t offset = 0; offset < size; offset += readAheadWindow) {
        device->hold()->readPartial(source->handle(), offset, readAheadWindow);
    }
    figures.partial = megabytesPerSecond(size, Clock::now() - start);

    const auto sent = content(size, 7);
    start = Clock::now();
    device->exclusive([&](auto& session) {
        session.createFile(storage, folder->handle(), "bench-sent.bin", sent.size(), std::nullopt);
        session.sendObject(sent);
    });
    awaitFile(deviceFolder / "bench-sent.bin", size);
    figures.send = megabytesPerSecond(size, Clock::now() - start);
    if (readFile(deviceFolder / "bench-sent.bin") != sent) {
        throw std::runtime_error("SendObject delivered other bytes");
    }
    fs::remove(deviceFolder / "bench-sent.bin");
    device->close();
    return figures;
}

int treeBench(const fs::path& mount, const fs::path& deviceFolder, int rounds, const fs::path& helper) {
    constexpr std::size_t size = 64 << 20;
    fs::remove_all(deviceFolder / "bench-tree");
    tandalo::tools::writeTree(deviceFolder / "bench-tree");
    writeFile(deviceFolder / "bench-out.bin", content(size, 3));
    const Whole whole = wholeObjects(deviceFolder, size);
    tandalo::tools::TreeTarget target;
    target.bigName = "bench-out.bin";
    target.bigSize = size;
    target.mount = [&] {
        run({helper.string(), "-t", "tandalo", "mtp://any", mount.string()});
        return fs::directory_iterator(mount)->path() / deviceFolder.filename();
    };
    target.unmount = [&] { run({"umount", mount.string()}); };
    target.awaitArrived = [&](const std::string& name, std::uint64_t bytes) {
        awaitFile(deviceFolder / name, bytes);
    };
    const fs::path scratch = "/run/tandalo-tree-bench";
    fs::create_directories(scratch);
    const auto figures = tandalo::tools::measureTree(target, scratch, rounds);
    fs::remove_all(scratch);
    for (const auto& entry : fs::directory_iterator(deviceFolder)) {
        if (entry.path().filename().string().starts_with("bench-")) {
            fs::remove_all(entry.path());
        }
    }
    tandalo::tools::printTree("USB gadget, mounted by " + helper.string(), figures, whole.get, whole.send);
    return 0;
}

struct Copies {
    double out = 0;
    double in = 0;
};

// cp of the file out of and into the folder mounted by the helper, each checked byte for byte.
Copies mountedCopies(const fs::path& mount, const fs::path& deviceFolder, std::size_t size,
                     const fs::path& helper) {
    run({helper.string(), "-t", "tandalo", "mtp://any", mount.string()});
    Copies figures;
    try {
        const fs::path mounted = fs::directory_iterator(mount)->path() / deviceFolder.filename();
        auto start = Clock::now();
        run({"cp", (mounted / "bench-out.bin").string(), "/run/tandalo-bench-cp.bin"});
        figures.out = megabytesPerSecond(size, Clock::now() - start);
        if (readFile("/run/tandalo-bench-cp.bin") != readFile(deviceFolder / "bench-out.bin")) {
            throw std::runtime_error("cp out of the folder mounted by " + helper.string() +
                                     " delivered other bytes");
        }
        writeFile("/run/tandalo-bench-cp.bin", content(size, 11));
        start = Clock::now();
        run({"cp", "/run/tandalo-bench-cp.bin", (mounted / "bench-in.bin").string()});
        awaitFile(deviceFolder / "bench-in.bin", size);
        figures.in = megabytesPerSecond(size, Clock::now() - start);
        if (readFile(deviceFolder / "bench-in.bin") != content(size, 11)) {
            throw std::runtime_error("cp into the folder mounted by " + helper.string() +
                                     " delivered other bytes");
        }
    } catch (...) {
        run({"umount", mount.string()});
        throw;
    }
    run({"umount", mount.string()});
    fs::remove("/run/tandalo-bench-cp.bin");
    fs::remove(deviceFolder / "bench-in.bin");
    return figures;
}

// Each round measures the whole-object transfers and then every helper's copies, so that builds compared
// side by side share the machine's load of the moment.
int largeFileBench(const fs::path& mount, const fs::path& deviceFolder, std::size_t size, int rounds,
                   const std::vector<fs::path>& helpers) {
    writeFile(deviceFolder / "bench-out.bin", content(size, 3));
    const auto mebibytes = size >> 20;
    for (int round = 1; round <= rounds; ++round) {
        const Whole whole = wholeObjects(deviceFolder, size);
        std::printf("round %d: GetObject %zu MiB %.1f MB/s, GetPartialObject in 4 MiB windows %.1f MB/s, "
                    "SendObject %.1f MB/s\n",
                    round, mebibytes, whole.get, whole.partial, whole.send);
        for (const auto& helper : helpers) {
            const Copies copies = mountedCopies(mount, deviceFolder, size, helper);
            std::printf("  %s: cp out %.1f MB/s, mounted/whole-object %.2f; cp in %.1f MB/s, "
                        "mounted/whole-object %.2f\n",
                        helper.c_str(), copies.out, copies.out / whole.get, copies.in,
                        copies.in / whole.send);
            std::fflush(stdout);
        }
    }
    fs::remove(deviceFolder / "bench-out.bin");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const fs::path beside = fs::canonical("/proc/self/exe").parent_path() / "mount-tandalo";
    if (argc >= 4 && std::string(argv[1]) == "--tree") {
        const int rounds = argc > 4 ? std::atoi(argv[4]) : 3;
        const fs::path helper = argc > 5 ? fs::path(argv[5]) : beside;
        try {
            return treeBench(argv[2], argv[3], std::max(rounds, 1), helper);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "tandalo-usb-bench: %s\n", error.what());
            return 1;
        }
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: tandalo-usb-bench <mount folder> <device folder> [MiB] [rounds] "
                             "[mount helper...]\n");
        return 2;
    }
    const std::size_t size = static_cast<std::size_t>(argc > 3 ? std::max(std::atoi(argv[3]), 1) : 64) << 20;
    const int rounds = argc > 4 ? std::max(std::atoi(argv[4]), 1) : 1;
    std::vector<fs::path> helpers(argv + std::min(argc, 5), argv + argc);
    if (helpers.empty()) {
        helpers.push_back(beside);
    }
    try {
        return largeFileBench(argv[1], argv[2], size, rounds, helpers);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tandalo-usb-bench: %s\n", error.what());
        return 1;
    }
}
