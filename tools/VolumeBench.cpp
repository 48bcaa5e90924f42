// tandalo-volume-bench: how close the volume's reads and writes come to what the link allows.
//
// A simulated phone on a USB 2.0 high-speed link (40 MB/s of bulk bandwidth, 1 ms of turnaround per
// transaction), on the real clock, mounted through the in-process host as FSKit would mount it. It copies
// one file off and one file onto the phone through the volume, in 1 MiB requests as the FUSE host asks
// the kernel for, and compares each with the same transfer as one whole-object GetObject or SendObject.
// With "files" it copies many small files onto the phone instead (create, one write, close each), against
// the SendObjectInfo and SendObject that each file needs at least.
//
//   tandalo-volume-bench [size in MiB, default 256]
//   tandalo-volume-bench files [count, default 2000] [KiB each, default 16]

#include "Corvane/device/MTPDevice.h"
#include "Corvane/filesystem/MTPFileSystem.h"
#include "Corvane/usb/IOUSBLibTransport.h"
#include "Corvane/usb/USBDeviceDiscovery.h"
#include "Corvane/wire/PTPError.h"
#include "FileSystemExtension/AndroidVolume.h"
#include "FileSystemExtension/TandaloFileSystem.h"
#include "platform/foundation/Environment.h"
#include "platform/foundation/LogStore.h"
#include "platform/fskit/InProcessHost.h"
#include "platform/iokit/IOKitLib.h"
#include "simulation/PhoneUSBFunction.h"
#include "simulation/SimulatedBus.h"
#include "simulation/SimulatedPhone.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <malloc.h>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr std::size_t MiB = 1 << 20;
constexpr std::size_t requestSize = MiB;

struct Measure {
    double seconds = 0;
    std::size_t transactions = 0;
};

/// Runs body and measures it on the real clock, with the transactions the phone saw meanwhile.
template <typename Body> Measure measure(simulation::SimulatedPhone& phone, Body&& body) {
    phone.clearLog();
    const auto start = std::chrono::steady_clock::now();
    std::forward<Body>(body)();
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return {elapsed.count(), phone.transactions().size()};
}

void require(const fskit::Outcome& outcome, const char* what) {
    if (!outcome.succeeded()) {
        throw std::runtime_error(std::string(what) + " failed: " + outcome.error->description());
    }
}

void report(const char* what, std::size_t bytes, const Measure& volume, const Measure& whole) {
    const double megabytes = static_cast<double>(bytes) / 1e6;
    const double mebibytes = static_cast<double>(bytes) / MiB;
    const double volumeRate = megabytes / volume.seconds;
    const double wholeRate = megabytes / whole.seconds;
    std::printf("%-6s volume %7.2f MB/s (%.2f s, %.3f transactions/MiB)   whole object %7.2f MB/s (%.2f s, "
                "%.3f transactions/MiB)   volume/whole %.1f%%\n",
                what, volumeRate, volume.seconds, static_cast<double>(volume.transactions) / mebibytes,
                wholeRate, whole.seconds, static_cast<double>(whole.transactions) / mebibytes,
                100.0 * volumeRate / wholeRate);
}

/// Copies count new files of size bytes each into a new folder through the volume, then sends the same
/// files straight with SendObjectInfo and SendObject, and prints the cost of each per file.
void copySmallFiles(fskit::InProcessHost& host, const std::shared_ptr<fskit::FSItem>& storageFolder,
                    tandalo::AndroidVolume& volume, simulation::SimulatedPhone& phone, std::uint32_t storage,
                    std::size_t count, std::size_t size) {
    const auto folder = host.createItem(storageFolder, "small", fskit::FSItemType::directory).wait();
    require(folder, "creating the folder");
    const std::vector<std::byte> contents(size, std::byte{'s'});
    const auto name = [](const char* prefix, std::size_t index) {
        return prefix + std::to_string(index) + ".jpg";
    };
    const auto throughVolume = measure(phone, [&] {
        for (std::size_t index = 0; index < count; ++index) {
            // As the kernel asks: the name is looked up (and missing) before the file is created.
            if (host.lookupItem(folder.item, name("IMG_", index)).wait().errorCode() != ENOENT) {
                throw std::runtime_error("the new name was found before it was made");
            }
            const auto created =
                host.createItem(folder.item, name("IMG_", index), fskit::FSItemType::file).wait();
            require(created, "creating a file");
            require(host.openItem(created.item, fskit::FSVolumeOpenMode::write).wait(), "opening a file");
            require(host.writeContents(created.item, 0, contents).wait(), "writing a file");
            require(host.closeItem(created.item, {}).wait(), "closing a file");
        }
    });
    const auto folderObject = phone.find(storage, "small");
    if (!folderObject || phone.children(storage, *folderObject).size() != count) {
        throw std::runtime_error("the small files did not all arrive");
    }
    const auto straight = measure(phone, [&] {
        for (std::size_t index = 0; index < count; ++index) {
            volume.fs().device().exclusive([&](corvane::MTPDevice::Session& session) {
                session.createFile(storage, *folderObject, name("DIRECT_", index), size, std::nullopt);
                session.sendObject(contents);
            });
        }
    });
    const auto perFile = [&](const Measure& each) {
        return std::pair(1000.0 * each.seconds / static_cast<double>(count),
                         static_cast<double>(each.transactions) / static_cast<double>(count));
    };
    const auto [volumeMs, volumeTransactions] = perFile(throughVolume);
    const auto [straightMs, straightTransactions] = perFile(straight);
    double load[1] = {0};
    ::getloadavg(load, 1);
    std::printf("%zu files of %zu KiB over a simulated USB 2.0 link (40 MB/s, 1 ms turnaround), load average "
                "%.1f\n",
                count, size / 1024, load[0]);
    std::printf(
        "volume %.2f ms/file (%.2f transactions/file, %.2f s)   SendObjectInfo+SendObject %.2f ms/file "
        "(%.2f transactions/file)   volume/straight %.2f\n",
        volumeMs, volumeTransactions, throughVolume.seconds, straightMs, straightTransactions,
        volumeMs / straightMs);
}

} // namespace

int main(int argc, char** argv) {
    const bool smallFiles = argc > 1 && std::string_view(argv[1]) == "files";
    const std::size_t fileCount = smallFiles && argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;
    const std::size_t fileKiB = smallFiles && argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 16;
    const std::size_t sizeMiB = !smallFiles && argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    if (sizeMiB == 0 || sizeMiB > 4096 || fileCount == 0 || fileKiB == 0 || fileKiB > 16384) {
        std::fprintf(stderr, "usage: tandalo-volume-bench [size in MiB, 1 to 4096]\n"
                             "       tandalo-volume-bench files [count] [KiB each, 1 to 16384]\n");
        return 2;
    }
    const std::size_t size = sizeMiB * MiB;
    // Both the volume and the whole-object transfers move multi-MiB buffers that live for one transfer.
    // Left to its defaults, the allocator maps each one fresh and returns it at once, and the page faults
    // of that churn (costly in a virtual machine) would be measured instead of the link.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);

    const auto preferences =
        std::filesystem::temp_directory_path() / ("tandalo-volume-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(preferences);
    platform::MemoryEnvironment environment;
    environment.set("TANDALO_PREFERENCES_DIR", preferences.string());
    // The library's transaction trace, with each operation's time, when the bench's caller asks for it.
    if (std::getenv("CORVANE_TRACE") != nullptr) {
        environment.set("CORVANE_TRACE", "1");
    }
    oslog::LogStore logStore;

    auto phone = std::make_shared<simulation::SimulatedPhone>();
    const auto storage = phone->addStorage();
    const auto source = phone->addGeneratedFile(storage, simulation::SimulatedPhone::root, "source.bin",
                                                smallFiles ? 1 : size);
    phone->setLink(simulation::PhoneLink{std::chrono::milliseconds(1), {}, 40'000'000});
    auto bus = std::make_shared<simulation::SimulatedBus>();
    const auto plugged = simulation::plugPhone(*bus, phone);
    (void)plugged;

    corvane::TransportFactory factory;
    // The library's own transport on the phone's bus: the bench measures the path a mount takes.
    factory.makeIOUSBLib = [bus](const corvane::USBDeviceDescriptor& descriptor, corvane::TakeOver takeOver) {
        return std::unique_ptr<corvane::PTPTransport>(corvane::IOUSBLibTransport::open(
            descriptor, takeOver, platform::Clock::system(), iokit::MainPort::forBus(bus)));
    };
    tandalo::TandaloFileSystem::Context context;
    context.findMTPInterfaces = [bus] {
        return corvane::USBDeviceDiscovery::findMTPInterfaces(iokit::MainPort::forBus(bus));
    };
    context.deviceContext.transportFactory = &factory;
    context.deviceContext.environment = &environment;
    context.deviceContext.logStore = &logStore;
    context.environment = &environment;
    context.logStore = &logStore;

    int status = 0;
    try {
        const auto interfaces = context.findMTPInterfaces();
        if (interfaces.empty()) {
            throw std::runtime_error("the phone's MTP interface was not found");
        }
        auto fileSystem = std::make_shared<tandalo::TandaloFileSystem>(context);
        fskit::InProcessHost host(fileSystem, std::make_shared<fskit::FSGenericURLResource>(
                                                  "mtp://" + interfaces.front().serialNumber));
        const auto root = host.start();
        const auto volume = std::dynamic_pointer_cast<tandalo::AndroidVolume>(host.volume());
        const auto folder =
            host.lookupItem(root, volume->fs().storageName(volume->fs().storages().front())).wait();
        require(folder, "looking up the storage");
        if (smallFiles) {
            copySmallFiles(host, folder.item, *volume, *phone, storage, fileCount, fileKiB * 1024);
            host.stop();
            std::error_code ignored;
            std::filesystem::remove_all(preferences, ignored);
            return 0;
        }

        // Reading: through the volume in 1 MiB requests, then as one GetObject.
        const auto file = host.lookupItem(folder.item, "source.bin").wait();
        require(file, "looking up the file");
        std::size_t checked = 0;
        const auto volumeRead = measure(*phone, [&] {
            for (std::size_t offset = 0; offset < size; offset += requestSize) {
                const auto piece =
                    host.readFromFile(file.item, static_cast<off_t>(offset), requestSize).wait();
                require(piece, "reading");
                if (piece.count != requestSize) {
                    throw std::runtime_error("a read came back short at " + std::to_string(offset));
                }
                if (offset % (64 * MiB) == 0) {
                    if (piece.bytes !=
                        simulation::SimulatedPhone::generatedBytes(source, offset, requestSize)) {
                        throw std::runtime_error("a read came back wrong at " + std::to_string(offset));
                    }
                    ++checked;
                }
            }
        });
        std::size_t received = 0;
        const auto wholeRead = measure(*phone, [&] {
            volume->fs().device().hold()->getObject(
                source, [&](std::span<const std::byte> chunk) { received += chunk.size(); });
        });
        if (received != size) {
            throw std::runtime_error("GetObject delivered " + std::to_string(received) + " bytes");
        }

        // Writing: a new file through the volume in 1 MiB requests, closed; then as one SendObject.
        const auto pattern = [] {
            std::vector<std::byte> bytes(requestSize);
            for (std::size_t index = 0; index < bytes.size(); ++index) {
                bytes[index] = static_cast<std::byte>(index * 131 + 7);
            }
            return bytes;
        }();
        const auto created = host.createItem(folder.item, "copy.bin", fskit::FSItemType::file).wait();
        require(created, "creating the copy");
        const auto volumeWrite = measure(*phone, [&] {
            for (std::size_t offset = 0; offset < size; offset += requestSize) {
                require(host.writeContents(created.item, static_cast<off_t>(offset), pattern).wait(),
                        "writing");
            }
            require(host.closeItem(created.item, {}).wait(), "closing the copy");
        });
        const auto copied = phone->find(storage, "copy.bin");
        if (!copied || phone->object(*copied)->size != size ||
            phone->contents(*copied, size - requestSize, requestSize) != pattern) {
            throw std::runtime_error("the copy did not arrive whole");
        }
        phone->removeObject(*copied);

        const auto wholeWrite = measure(*phone, [&] {
            volume->fs().device().exclusive([&](corvane::MTPDevice::Session& session) {
                session.createFile(storage, 0xFFFFFFFF, "whole.bin", size, std::nullopt);
                std::size_t sent = 0;
                session.sendObject(size, [&](std::span<std::byte> buffer) -> std::size_t {
                    const std::size_t count = std::min({buffer.size(), size - sent, requestSize});
                    std::copy_n(pattern.begin(), count, buffer.begin());
                    sent += count;
                    return count;
                });
            });
        });
        if (const auto whole = phone->find(storage, "whole.bin")) {
            phone->removeObject(*whole);
        }

        double load[1] = {0};
        ::getloadavg(load, 1);
        std::printf("%zu MiB over a simulated USB 2.0 link (40 MB/s, 1 ms turnaround), %zu MiB requests, %zu "
                    "reads checked, load average %.1f\n",
                    sizeMiB, requestSize / MiB, checked, load[0]);
        report("read", size, volumeRead, wholeRead);
        report("write", size, volumeWrite, wholeWrite);
        host.stop();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "tandalo-volume-bench: %s\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(preferences, ignored);
    return status;
}
