#include "WireSamples.h"

#include "Corvane/wire/PTPWriter.h"

#include <optional>

namespace corvane::testing {

std::vector<std::byte> ptpString(std::initializer_list<char16_t> units) {
    PTPWriter writer;
    writer.u8(static_cast<std::uint8_t>(units.size()));
    for (const char16_t unit : units) {
        writer.u16(unit);
    }
    return writer.take();
}

std::vector<std::byte> sampleDeviceInfo(const std::vector<std::uint16_t>& operations,
                                        const std::string& model) {
    PTPWriter writer;
    writer.u16(100); // standard version
    writer.u32(6);   // vendor extension: Microsoft's MTP
    writer.u16(100); // vendor extension version
    writer.string("microsoft.com: 1.0; android.com: 1.0;");
    writer.u16(0); // functional mode
    writer.u16Array(operations);
    writer.u16Array(std::vector<std::uint16_t>{0x4002, 0x4003, 0x4004});
    writer.u16Array(std::vector<std::uint16_t>{0x5001, 0xD401});
    writer.u16Array(std::vector<std::uint16_t>{});
    writer.u16Array(std::vector<std::uint16_t>{0x3000, 0x3001, 0x3801});
    writer.string("Google");
    writer.string(model);
    writer.string("1.0");
    writer.string("8A1B2C3D");
    return writer.take();
}

std::vector<std::byte> sampleStorageInfo(const std::string& description, const std::string& volumeLabel) {
    PTPWriter writer;
    writer.u16(3);                  // fixed RAM
    writer.u16(2);                  // generic hierarchical
    writer.u16(0);                  // read-write
    writer.u64(128'000'000'000ull); // max capacity
    writer.u64(5'000'000'000ull);   // free bytes
    writer.u32(0xFFFFFFFF);         // free objects: not used
    writer.string(description);
    writer.string(volumeLabel);
    return writer.take();
}

std::vector<std::byte> samplePropertyList() {
    PTPWriter writer;
    const auto element = [&writer](std::uint32_t handle, std::uint16_t property, std::uint16_t type) {
        writer.u32(handle);
        writer.u16(property);
        writer.u16(type);
    };
    writer.u32(16);
    element(1, 0xDC07, 0xFFFF);
    writer.string("IMG_0001.JPG");
    element(1, 0xDC02, 0x0004);
    writer.u16(0x3801);
    element(1, 0xDC04, 0x0008);
    writer.u64(5'000'000'000ull);
    element(1, 0xDC09, 0xFFFF);
    writer.string("20240131T235959Z");
    element(2, 0xDC01, 0x0006);
    writer.u32(0x00010001);
    element(2, 0xD001, 0x0001);
    writer.u8(0xFE);
    element(2, 0xD002, 0x0002);
    writer.u8(0xFE);
    element(2, 0xD003, 0x0003);
    writer.u16(0xFFFE);
    element(2, 0xD005, 0x0005);
    writer.u32(0xFFFFFFFE);
    element(2, 0xD007, 0x0007);
    writer.u64(0xFFFFFFFFFFFFFFFEull);
    element(2, 0xD009, 0x0009);
    writer.u128Zero();
    element(3, 0xD00A, 0x000A);
    writer.u128Zero();
    element(3, 0xD401, 0x4001);
    writer.u32(2);
    writer.u8(0x80);
    writer.u8(0x7F);
    element(3, 0xD402, 0x4004);
    writer.u16Array(std::vector<std::uint16_t>{1, 2, 3});
    element(3, 0xD403, 0x4008);
    writer.u32(1);
    writer.u64(42);
    element(3, 0xD404, 0x400A);
    writer.u32(1);
    writer.u128Zero();
    return writer.take();
}

PTPError expectPTPError(PTPError::Kind kind, const std::function<void()>& body) {
    std::optional<PTPError> caught;
    try {
        body();
    } catch (const PTPError& error) {
        caught = error;
    }
    if (!caught) {
        ADD_FAILURE() << "expected PTPError " << name(kind) << ", nothing was thrown";
        return PTPError::cancelled();
    }
    EXPECT_EQ(caught->kind(), kind) << caught->description();
    return *caught;
}

} // namespace corvane::testing
