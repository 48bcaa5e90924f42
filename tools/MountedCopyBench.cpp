// Copying a large file out of and into the mounted phone through the kernel, against the whole-object
// transfers (GetObject, SendObject) straight on the device, over the same modelled USB link in real time.
//
//   tandalo-mounted-copy-bench [MiB, default 256] [MB/s, default 40]
//
// Needs /dev/fuse and the right to mount. Prints MB/s for each path and the mounted/direct ratio.
#include "simulation/DemoPhone.h"
#include "tools/MountHelper.h"

#include "Corvane/device/MTPDevice.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "platform/usb/USBBus.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double megabytesPerSecond(std::uint64_t bytes, Clock::duration elapsed) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

/// The pieces cp reads and writes a file of the mount in: 128 KiB, or the file's preferred I/O size where
/// that is larger, as the mount's is.
std::size_t cpPiece(int descriptor) {
    constexpr std::size_t least = 128 << 10;
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || status.st_blksize <= 0) {
        return least;
    }
    return std::max(least, static_cast<std::size_t>(status.st_blksize));
}

/// Reads the file in cp's pieces and throws the bytes away; returns how many there were.
std::uint64_t copyOut(const std::string& path) {
    const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    }
    std::vector<char> buffer(cpPiece(descriptor));
    std::uint64_t total = 0;
    while (true) {
        const auto got = ::read(descriptor, buffer.data(), buffer.size());
        if (got <= 0) {
            ::close(descriptor);
            if (got < 0) {
                throw std::runtime_error("read " + path + ": " + std::strerror(errno));
            }
            return total;
        }
        total += static_cast<std::uint64_t>(got);
    }
}

void copyIn(const std::string& path, std::uint64_t size) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        throw std::runtime_error("open " + path + ": " + std::strerror(errno));
    }
    std::vector<char> buffer(cpPiece(descriptor), 'm');
    for (std::uint64_t done = 0; done < size;) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - done));
        const auto written = ::write(descriptor, buffer.data(), piece);
        if (written <= 0) {
            const int error = errno;
            ::close(descriptor);
            throw std::runtime_error("write " + path + ": " + std::strerror(error));
        }
        done += static_cast<std::uint64_t>(written);
    }
    if (::close(descriptor) != 0) {
        throw std::runtime_error("close " + path + ": " + std::strerror(errno));
    }
}

struct Figures {
    double out = 0;
    double in = 0;
};

Figures direct(simulation::DemoPhone& demo, std::uint64_t size) {
    const auto found = corvane::USBDeviceDiscovery::findMTPInterfaces();
    if (found.size() != 1) {
        throw std::runtime_error("the phone's interface was not found");
    }
    auto device = corvane::MTPDevice::connect(found.front(), std::nullopt, corvane::TakeOver::never);
    device->hold()->open();
    const auto handle = *demo.phone->find(demo.storage, "video.mp4");
    std::uint64_t received = 0;
    auto start = Clock::now();
    device->hold()->getObject(handle, [&](std::span<const std::byte> chunk) { received += chunk.size(); });
    Figures figures;
    figures.out = megabytesPerSecond(received, Clock::now() - start);
    if (received != size) {
        throw std::runtime_error("GetObject delivered " + std::to_string(received) + " bytes");
    }
    start = Clock::now();
    device->exclusive([&](corvane::MTPDevice::Session& session) {
        session.createFile(demo.storage, 0xFFFFFFFF, "direct.bin", size, std::nullopt);
        session.sendObject(size, [](std::span<std::byte> into) {
            std::fill(into.begin(), into.end(), std::byte{'d'});
            return into.size();
        });
    });
    figures.in = megabytesPerSecond(size, Clock::now() - start);
    device->close();
    demo.phone->removeObject(*demo.phone->find(demo.storage, "direct.bin"));
    return figures;
}

Figures mounted(simulation::DemoPhone& demo, std::uint64_t size) {
    const auto folder =
        std::filesystem::temp_directory_path() / ("tandalo-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    auto mount = tandalo::tools::mountResource({"mtp://" + demo.serialNumber, folder});
    Figures figures;
    try {
        const auto top = mount->folder() / demo.phone->storages().front().description;
        auto start = Clock::now();
        const auto received = copyOut((top / "video.mp4").string());
        figures.out = megabytesPerSecond(received, Clock::now() - start);
        if (received != size) {
            throw std::runtime_error("the copy out read " + std::to_string(received) + " bytes");
        }
        start = Clock::now();
        copyIn((top / "mounted.bin").string(), size);
        figures.in = megabytesPerSecond(size, Clock::now() - start);
        const auto sent = demo.phone->find(demo.storage, "mounted.bin");
        if (!sent || demo.phone->object(*sent)->size != size) {
            throw std::runtime_error("the copy in did not reach the phone whole");
        }
    } catch (...) {
        mount->shutdown();
        std::filesystem::remove(folder);
        throw;
    }
    mount->shutdown();
    std::filesystem::remove(folder);
    return figures;
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    const std::uint64_t megabytesPerSecondLink = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 40;
    if (mebibytes == 0 || mebibytes > 4096 || megabytesPerSecondLink == 0) {
        std::fprintf(stderr, "usage: tandalo-mounted-copy-bench [MiB 1-4096] [MB/s > 0]\n");
        return 2;
    }
    const std::uint64_t size = mebibytes << 20;
    try {
        auto demo = simulation::DemoPhone::make(size);
        demo.phone->setLink(
            simulation::PhoneLink{std::chrono::milliseconds(1), {}, megabytesPerSecondLink * 1000000});
        usb::ScopedDefaultBus defaultBus(demo.bus);
        const auto whole = direct(demo, size);
        const auto kernel = mounted(demo, size);
        std::printf("link %llu MB/s, 1 ms turnaround, %llu MiB\n",
                    static_cast<unsigned long long>(megabytesPerSecondLink),
                    static_cast<unsigned long long>(mebibytes));
        std::printf("out: GetObject %.1f MB/s, cp from the mount %.1f MB/s (ratio %.2f)\n", whole.out,
                    kernel.out, kernel.out / whole.out);
        std::printf("in:  SendObject %.1f MB/s, cp to the mount %.1f MB/s (ratio %.2f)\n", whole.in,
                    kernel.in, kernel.in / whole.in);
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench failed: %s\n", error.what());
        return 1;
    }
}
