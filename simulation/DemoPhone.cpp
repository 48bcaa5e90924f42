#include "simulation/DemoPhone.h"

namespace simulation {

std::string DemoPhone::photoBytes(int index) {
    // Enough of a JPEG's framing (SOI, an APP0 JFIF segment, EOI) for file-type sniffers; the rest is filler.
    std::string bytes = "\xFF\xD8\xFF\xE0";
    bytes += std::string("\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00", 16);
    for (int position = 0; position < 20000 + index * 1234; ++position) {
        bytes += static_cast<char>((position * 31 + index * 7) & 0x7F);
    }
    bytes += "\xFF\xD9";
    return bytes;
}

std::uint32_t DemoPhone::addSampleTree(SimulatedPhone& phone, std::uint64_t largeFileSize) {
    const auto storage = phone.addStorage();
    const auto camera = phone.addFolders(storage, "DCIM/Camera");
    for (int index = 1; index <= 3; ++index) {
        phone.addFile(storage, camera, "IMG_2026120" + std::to_string(index) + ".jpg", photoBytes(index));
    }
    const auto download = phone.addFolders(storage, "Download");
    phone.addFile(storage, download, "readme.txt",
                  std::string_view("This file lives on the simulated phone.\n"));
    phone.addFolders(storage, "Music");
    phone.addGeneratedFile(storage, SimulatedPhone::root, "video.mp4", largeFileSize);
    return storage;
}

DemoPhone DemoPhone::plugInto(std::shared_ptr<SimulatedBus> bus, std::shared_ptr<SimulatedPhone> phone,
                              const PhoneUSBIdentity& identity) {
    DemoPhone demo;
    demo.bus = std::move(bus);
    demo.phone = std::move(phone);
    demo.storage = demo.phone->storages().empty() ? 0 : demo.phone->storages().front().id;
    demo.serialNumber = identity.serialNumber.value_or(demo.phone->deviceInfo().serialNumber);
    demo.deviceName = identity.productName.value_or("Phone");
    demo.plugged = plugPhone(*demo.bus, demo.phone, identity);
    return demo;
}

DemoPhone DemoPhone::make(std::uint64_t largeFileSize) {
    auto phone = std::make_shared<SimulatedPhone>();
    addSampleTree(*phone, largeFileSize);
    return plugInto(std::make_shared<SimulatedBus>(), std::move(phone), PhoneUSBIdentity{});
}

} // namespace simulation
