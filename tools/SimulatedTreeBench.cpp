// The everyday work of a phone through a mounted folder (tools/TreeBench.h) on the simulated bus over a
// modelled USB link in real time: the phone is served by the bus service in this process, and a mount
// helper in its own process mounts it, as the application does. Any build's helper can be named, so that
// two builds are measured side by side on the same phone.
//
//   tandalo-tree-bench [rounds, default 3] [mount helper, default the one beside it]
//                      [MB/s, default 40] [turnaround ms, default 1]
//
// Needs /dev/fuse and the right to mount. Prints each figure as min / median / max over the rounds, and
// the large file's speeds against whole-object transfers (GetObject, SendObject) in this process, and
// against the same transfers through the bus service, as the mount gets its bytes: the first ratio is
// what the mount and the service cost together, the second what the mount costs.
#include "tools/BenchDevice.h"
#include "tools/TreeBench.h"

#include "platform/busservice/ServiceBus.h"
#include "simulation/service/BusService.h"
#include "simulation/service/ServiceDevices.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
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
constexpr std::uint64_t bigSize = 64ULL << 20;

double megabytesPerSecond(std::uint64_t bytes, Clock::duration elapsed) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

void run(const std::vector<std::string>& words, const std::string& bus) {
    std::vector<std::string> copies = words;
    std::vector<char*> argv;
    for (auto& word : copies) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment{"TANDALO_USB_BUS=" + bus};
    for (char** each = environ; *each != nullptr; ++each) {
        if (!std::string(*each).starts_with("TANDALO_USB_BUS=")) {
            environment.emplace_back(*each);
        }
    }
    std::vector<char*> envp;
    for (auto& each : environment) {
        envp.push_back(each.data());
    }
    envp.push_back(nullptr);
    pid_t pid = 0;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) {
        throw std::runtime_error("cannot run " + words.front());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error(words.front() + " failed");
    }
}

struct Whole {
    double out = 0;
    double in = 0;
};

Whole wholeObjects(const std::shared_ptr<usb::USBBus>& bus, simulation::SimulatedPhone& phone) {
    tandalo::tools::BenchDevice device(bus);
    device->hold()->open();
    const auto storage = phone.storages().front().id;
    std::uint64_t received = 0;
    auto start = Clock::now();
    device->hold()->getObject(*phone.find(storage, "video.mp4"),
                              [&](std::span<const std::byte> chunk) { received += chunk.size(); });
    Whole figures;
    figures.out = megabytesPerSecond(received, Clock::now() - start);
    start = Clock::now();
    device.sendFilled(storage, "whole.bin", bigSize, std::byte{'w'});
    figures.in = megabytesPerSecond(bigSize, Clock::now() - start);
    device->close();
    phone.removeObject(*phone.find(storage, "whole.bin"));
    return figures;
}

void addTree(simulation::SimulatedPhone& phone) {
    const auto storage = phone.storages().front().id;
    const auto tree = phone.addFolder(storage, 0xFFFFFFFF, "bench-tree");
    std::map<std::string, std::uint32_t> folders;
    for (const auto& file : tandalo::tools::benchTree()) {
        auto [entry, added] = folders.try_emplace(file.folder, 0);
        if (added) {
            entry->second = phone.addFolder(storage, tree, file.folder);
        }
        phone.addFile(storage, entry->second, file.name, tandalo::tools::treeFileBytes(file));
    }
}

int bench(int rounds, const fs::path& helper, std::uint64_t speed, std::uint64_t turnaround) {
    auto bus = std::make_shared<simulation::SimulatedBus>();
    simulation::ServiceDevices hosted(bus);
    const auto serial =
        hosted.plug({"phone", "video-size=" + std::to_string(bigSize), "speed=" + std::to_string(speed),
                     "turnaround=" + std::to_string(turnaround)});
    auto phone = hosted.phone(serial);
    addTree(*phone);
    const auto whole = wholeObjects(bus, *phone);

    std::string work = (fs::temp_directory_path() / "tandalo-tree-bench-XXXXXX").string();
    if (::mkdtemp(work.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    const fs::path folder = fs::path(work) / "mount";
    const fs::path scratch = fs::path(work) / "scratch";
    fs::create_directories(folder);
    fs::create_directories(scratch);
    auto service = simulation::BusService::start(bus, fs::path(work) / "usb-bus.sock");
    const auto socket = service->socketPath().string();
    const auto served = wholeObjects(std::make_shared<busservice::ServiceBus>(service->socketPath()), *phone);
    const auto storage = phone->storages().front().id;

    tandalo::tools::TreeTarget target;
    target.bigName = "video.mp4";
    target.bigSize = bigSize;
    target.mount = [&] {
        run({helper.string(), "-t", "tandalo", "mtp://" + serial, folder.string()}, socket);
        return fs::directory_iterator(folder)->path();
    };
    target.unmount = [&] { run({"umount", folder.string()}, socket); };
    target.awaitArrived = [&](const std::string& name, std::uint64_t bytes) {
        const auto limit = Clock::now() + std::chrono::minutes(2);
        while (true) {
            const auto found = phone->find(storage, name);
            if (found && phone->object(*found)->size == bytes) {
                return;
            }
            if (Clock::now() > limit) {
                throw std::runtime_error(name + " never reached the phone whole");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    };
    std::vector<tandalo::tools::TreeRound> figures;
    try {
        figures = tandalo::tools::measureTree(target, scratch, rounds);
    } catch (...) {
        fs::remove_all(work);
        throw;
    }
    service.reset();
    fs::remove_all(work);
    tandalo::tools::printTree("simulated bus, " + std::to_string(speed) + " MB/s, " +
                                  std::to_string(turnaround) + " ms turnaround, mounted by " +
                                  helper.string(),
                              figures, whole.out, whole.in);
    std::printf("  through the bus service: whole-object GetObject %.1f MB/s, SendObject %.1f MB/s "
                "(%.2f / %.2f of those in this process)\n",
                served.out, served.in, served.out / whole.out, served.in / whole.in);
    tandalo::tools::printMountedRatios("through the service", figures, served.out, served.in);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    const fs::path helper =
        argc > 2 ? fs::path(argv[2]) : fs::canonical("/proc/self/exe").parent_path() / "mount-tandalo";
    const std::uint64_t speed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 40;
    const std::uint64_t turnaround = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
    if (rounds < 1 || speed == 0 || turnaround > 1000) {
        std::fprintf(stderr,
                     "usage: tandalo-tree-bench [rounds >= 1] [mount helper] [MB/s > 0] [turnaround ms]\n");
        return 2;
    }
    try {
        return bench(rounds, helper, speed, turnaround);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tandalo-tree-bench: %s\n", error.what());
        return 1;
    }
}
