// Whole-object transfers (GetObject, SendObject) of one phone, made on the simulated bus in this process
// and through the bus service's socket, over the same modelled USB link in real time: what reaching the
// bus from another process costs. The service runs on its own threads here, so both figures come from
// one machine state; its clients in other processes take the same path through the kernel's socket.
//
//   tandalo-bus-bench [MiB, default 64] [MB/s, default 40] [turnaround ms, default 1]
//
// Prints MB/s for each path and each link, and the service/in-process ratio; with an unlimited link the
// ratio is what the service costs at most.
#include "tools/BenchDevice.h"

#include "platform/busservice/ServiceBus.h"
#include "simulation/service/BusService.h"
#include "simulation/service/ServiceDevices.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using tandalo::tools::BenchDevice;
constexpr int rounds = 3;

struct Figures {
    double out = 0; // MB/s
    double in = 0;
};

double megabytesPerSecond(std::uint64_t bytes, Clock::duration elapsed) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

/// GetObject of the phone's video and SendObject of as many bytes, on the bus, each the median of a few.
Figures transfer(const std::shared_ptr<usb::USBBus>& bus, simulation::SimulatedPhone& phone,
                 std::uint64_t size) {
    BenchDevice device(bus);
    device->hold()->open();
    const auto storage = phone.storages().front().id;
    const auto video = *phone.find(storage, "video.mp4");
    std::vector<double> outs;
    std::vector<double> ins;
    for (int round = 0; round < rounds; ++round) {
        std::uint64_t received = 0;
        auto start = Clock::now();
        device->hold()->getObject(video, [&](std::span<const std::byte> chunk) { received += chunk.size(); });
        outs.push_back(megabytesPerSecond(received, Clock::now() - start));
        if (received != size) {
            throw std::runtime_error("GetObject delivered " + std::to_string(received) + " bytes");
        }
        start = Clock::now();
        device.sendFilled(storage, "sent.bin", size, std::byte{'s'});
        ins.push_back(megabytesPerSecond(size, Clock::now() - start));
        phone.removeObject(*phone.find(storage, "sent.bin"));
    }
    device->close();
    return {median(outs), median(ins)};
}

void compare(std::uint64_t mebibytes, std::uint64_t megabytesPerSecondLink, std::uint64_t turnaround) {
    const std::uint64_t size = mebibytes << 20;
    auto bus = std::make_shared<simulation::SimulatedBus>();
    simulation::ServiceDevices hosted(bus);
    const auto serial = hosted.plug({"phone", "video-size=" + std::to_string(size),
                                     "speed=" + std::to_string(megabytesPerSecondLink),
                                     "turnaround=" + std::to_string(turnaround)});
    auto phone = hosted.phone(serial);

    std::string folder = (std::filesystem::temp_directory_path() / "tandalo-bus-bench-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    Figures direct;
    Figures served;
    try {
        direct = transfer(bus, *phone, size);
        auto service = simulation::BusService::start(bus, std::filesystem::path(folder) / "usb-bus.sock");
        served = transfer(std::make_shared<busservice::ServiceBus>(service->socketPath()), *phone, size);
    } catch (...) {
        std::filesystem::remove_all(folder);
        throw;
    }
    std::filesystem::remove_all(folder);
    const auto link = megabytesPerSecondLink == 0 ? std::string("unlimited link")
                                                  : std::to_string(megabytesPerSecondLink) + " MB/s link";
    std::printf("%s, %llu ms turnaround, %llu MiB\n", link.c_str(),
                static_cast<unsigned long long>(turnaround), static_cast<unsigned long long>(mebibytes));
    std::printf("  out: in-process %.1f MB/s, through the service %.1f MB/s (ratio %.3f)\n", direct.out,
                served.out, served.out / direct.out);
    std::printf("  in:  in-process %.1f MB/s, through the service %.1f MB/s (ratio %.3f)\n", direct.in,
                served.in, served.in / direct.in);
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
    const std::uint64_t speed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 40;
    const std::uint64_t turnaround = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    if (mebibytes == 0 || mebibytes > 1024 || speed > 100000 || turnaround > 1000) {
        std::fprintf(stderr, "usage: tandalo-bus-bench [MiB 1-1024] [MB/s, 0 unlimited] [turnaround ms]\n");
        return 2;
    }
    try {
        compare(mebibytes, speed, turnaround);
        if (speed != 0) {
            compare(mebibytes, 0, 0);
        }
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench failed: %s\n", error.what());
        return 1;
    }
}
