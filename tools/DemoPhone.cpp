#include "tools/DemoPhone.h"

namespace tandalo::tools {

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

DemoPhone DemoPhone::make(std::uint64_t largeFileSize) {
    DemoPhone demo;
    demo.bus = std::make_shared<simulation::SimulatedBus>();
    demo.phone = std::make_shared<simulation::SimulatedPhone>();
    auto& phone = *demo.phone;
    demo.storage = phone.addStorage();
    const auto camera = phone.addFolders(demo.storage, "DCIM/Camera");
    for (int index = 1; index <= 3; ++index) {
        phone.addFile(demo.storage, camera, "IMG_2026120" + std::to_string(index) + ".jpg",
                      photoBytes(index));
    }
    const auto download = phone.addFolders(demo.storage, "Download");
    phone.addFile(demo.storage, download, "readme.txt",
                  std::string_view("This file lives on the simulated phone.\n"));
    phone.addFolders(demo.storage, "Music");
    phone.addGeneratedFile(demo.storage, simulation::SimulatedPhone::root, "video.mp4", largeFileSize);
    simulation::PhoneUSBIdentity identity;
    demo.serialNumber = phone.deviceInfo().serialNumber;
    demo.deviceName = identity.productName.value_or("Phone");
    demo.plugged = simulation::plugPhone(*demo.bus, demo.phone, identity);
    return demo;
}

} // namespace tandalo::tools
