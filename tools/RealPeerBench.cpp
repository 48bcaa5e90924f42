// Throughput of whole-object transfers through the full path to a real MTP responder: MTPDevice, the IOKit
// USB transport, the simulated bus, the FunctionFS bridge and the responder program.
//
//   corvane-realpeer-bench [MiB] [responder buffer in KiB]
//
// Prints one line per direction. Needs the responder program and /dev/fuse (run as root).
#include "tools/BenchDevice.h"

#include "Corvane/wire/PTPError.h"
#include "simulation/SimulatedBus.h"
#include "simulation/peer/RealPeer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double megabytesPerSecond(std::uint64_t bytes, Clock::duration elapsed) {
    return static_cast<double>(bytes) / 1e6 / std::chrono::duration<double>(elapsed).count();
}

// The byte at an offset of the bench's content, so both ends can check every byte without storing them.
std::byte contentAt(std::uint64_t offset) {
    return static_cast<std::byte>((offset * 2654435761ULL) >> 24);
}

void writeContent(const std::filesystem::path& path, std::uint64_t size) {
    std::ofstream file(path, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::uint64_t offset = 0; offset < size; offset += block.size()) {
        const std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - offset));
        for (std::size_t index = 0; index < length; ++index) {
            block[index] = static_cast<char>(contentAt(offset + index));
        }
        file.write(block.data(), static_cast<std::streamsize>(length));
    }
}

int run(std::uint64_t size, std::optional<std::uint32_t> buffer) {
    if (const auto reason = simulation::RealPeer::unavailableReason()) {
        std::fprintf(stderr, "no real peer here: %s\n", reason->c_str());
        return 2;
    }
    auto bus = std::make_shared<simulation::SimulatedBus>(platform::Clock::system());
    simulation::RealPeerOptions options;
    options.readBufferSize = buffer;
    options.writeBufferSize = buffer;
    options.watchStorage = false;
    auto peer = simulation::RealPeer::start(*bus, options);
    writeContent(peer->storageFolder() / "source.bin", size);

    tandalo::tools::BenchDevice device(bus);
    try {
        device->hold()->open();
    } catch (const corvane::PTPError&) {
        // The responder answers GetDeviceInfo only inside a session; open() recovers from the one opened
        // here.
        device->hold()->transaction(corvane::PTPOperation::openSession, {1});
        device->hold()->open();
    }
    const std::uint32_t storage = device->hold()->getStorages().front().id;
    const std::uint32_t handle = device->hold()->getObjectHandles(storage, 0, 0xFFFFFFFF).front();

    std::uint64_t received = 0;
    std::uint64_t wrong = 0;
    auto start = Clock::now();
    device->hold()->getObject(handle, [&](std::span<const std::byte> chunk) {
        for (const std::byte each : chunk) {
            wrong += each != contentAt(received++) ? 1 : 0;
        }
    });
    const auto readTime = Clock::now() - start;
    std::printf("GetObject  %llu MiB: %.1f MB/s (%.2f s)%s\n", static_cast<unsigned long long>(size >> 20),
                megabytesPerSecond(received, readTime), std::chrono::duration<double>(readTime).count(),
                received == size && wrong == 0 ? "" : " CONTENT WRONG");

    std::uint64_t sent = 0;
    start = Clock::now();
    device->exclusive([&](corvane::MTPDevice::Session& session) {
        session.createFile(storage, 0xFFFFFFFF, "sent.bin", size, std::nullopt);
        session.sendObject(size, [&](std::span<std::byte> into) {
            for (std::byte& each : into) {
                each = contentAt(sent++);
            }
            return into.size();
        });
    });
    const auto writeTime = Clock::now() - start;
    const bool complete = std::filesystem::file_size(peer->storageFolder() / "sent.bin") == size;
    std::printf("SendObject %llu MiB: %.1f MB/s (%.2f s)%s\n", static_cast<unsigned long long>(size >> 20),
                megabytesPerSecond(size, writeTime), std::chrono::duration<double>(writeTime).count(),
                complete ? "" : " FILE INCOMPLETE");
    device->close();
    return received == size && wrong == 0 && complete ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const std::uint64_t mebibytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 64;
    std::optional<std::uint32_t> buffer;
    if (argc > 2) {
        buffer = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10) * 1024);
    }
    try {
        return run(mebibytes << 20, buffer);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench failed: %s\n", error.what());
        return 1;
    }
}
