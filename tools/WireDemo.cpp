// Shows the MTP wire layer at work: a command container, a device-information data phase, a storage
// information dataset, and the error a truncated container raises.

#include "Corvane/wire/DeviceInfo.h"
#include "Corvane/wire/PTPContainer.h"
#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPWriter.h"
#include "Corvane/wire/StorageInfo.h"

#include <cstdio>
#include <span>
#include <string>
#include <vector>

using namespace corvane;

namespace {

void printHex(const char* title, std::span<const std::byte> bytes) {
    std::printf("%s (%zu bytes)\n", title, bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i % 16 == 0) {
            std::printf("  %04zx ", i);
        }
        std::printf(" %02x", std::to_integer<unsigned>(bytes[i]));
        if (i % 16 == 15 || i + 1 == bytes.size()) {
            std::printf("\n");
        }
    }
}

void printHeader(std::span<const std::byte> bytes) {
    const auto header = PTPContainer::parseHeader(bytes);
    std::printf("  length=%u kind=%s code=0x%04x (%s) transaction=%u\n", header.length,
                std::string(name(header.kind)).c_str(), header.code,
                name(static_cast<PTPOperation>(header.code)).c_str(), header.transactionID);
}

std::vector<std::byte> sampleDeviceInfo() {
    PTPWriter w;
    w.u16(100);
    w.u32(6);
    w.u16(100);
    w.string("microsoft.com: 1.0; android.com: 1.0;");
    w.u16(0);
    w.u16Array(
        std::vector<std::uint16_t>{0x1001, 0x1002, 0x1007, 0x1009, 0x9805, 0x95C1, 0x95C2, 0x95C4, 0x95C5});
    w.u16Array(std::vector<std::uint16_t>{0x4002, 0x4003});
    w.u16Array(std::vector<std::uint16_t>{0x5001});
    w.u16Array(std::vector<std::uint16_t>{});
    w.u16Array(std::vector<std::uint16_t>{0x3000, 0x3001});
    for (const char* text : {"Google", "Pixel 8", "1.0", "8A1B2C3D"}) {
        w.string(text);
    }
    return w.take();
}

std::vector<std::byte> sampleStorageInfo() {
    PTPWriter w;
    w.u16(3);                  // fixed RAM
    w.u16(2);                  // generic hierarchical
    w.u16(0);                  // read-write
    w.u64(128'000'000'000ull); // capacity
    w.u64(41'500'000'000ull);  // free bytes
    w.u32(0xFFFFFFFF);         // free objects: not reported
    w.string("Internal shared storage");
    w.string("");
    return w.take();
}

} // namespace

int main() {
    const auto command =
        PTPContainer(PTPContainer::Kind::command, rawValue(PTPOperation::getDeviceInfo), 1).encoded();
    printHex("GetDeviceInfo command", command);
    printHeader(command);

    const auto data = PTPContainer::withPayload(PTPContainer::Kind::data,
                                                rawValue(PTPOperation::getDeviceInfo), 1, sampleDeviceInfo())
                          .encoded();
    printHex("\nDeviceInfo data container", data);
    printHeader(data);
    const auto info = DeviceInfo::parse(PTPContainer::parse(data).payload());
    std::printf("  %s %s, version %s, serial %s\n", info.manufacturer.c_str(), info.model.c_str(),
                info.deviceVersion.c_str(), info.serialNumber.c_str());
    std::printf("  %zu operations:", info.operationsSupported.size());
    for (const auto code : info.operationsSupported) {
        std::printf(" %s", name(static_cast<PTPOperation>(code)).c_str());
    }
    std::printf("\n  random access: %s\n", info.supportsRandomAccess() ? "yes" : "no");

    const auto storageBytes = sampleStorageInfo();
    printHex("\nStorageInfo dataset for storage 0x00010001", storageBytes);
    const auto storage = StorageInfo::parse(0x00010001, storageBytes);
    std::printf("  \"%s\": %llu of %llu bytes free, %s\n", storage.description.c_str(),
                static_cast<unsigned long long>(storage.freeSpaceBytes),
                static_cast<unsigned long long>(storage.maxCapacity),
                storage.isReadOnly() ? "read-only" : "writable");

    const std::span<const std::byte> truncated(data.data(), 40);
    printHex("\nThe same data container cut after 40 bytes", truncated);
    try {
        PTPContainer::parse(truncated);
    } catch (const PTPError& error) {
        std::printf("  PTPError %s: %s\n", std::string(name(error.kind())).c_str(),
                    error.description().c_str());
    }
    return 0;
}
