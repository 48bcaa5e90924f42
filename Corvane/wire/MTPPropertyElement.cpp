#include "Corvane/wire/MTPPropertyElement.h"

namespace corvane {

MTPPropertyElement MTPPropertyElement::read(PTPReader& reader) {
    MTPPropertyElement element;
    element.handle = reader.u32();
    element.property = reader.u16();
    const std::uint16_t type = reader.u16();
    element.value = MTPValue::decode(type, reader);
    return element;
}

std::vector<MTPPropertyElement> MTPPropertyElement::parseList(std::span<const std::byte> data) {
    PTPReader reader(data);
    return reader.array([](PTPReader& r) { return read(r); });
}

} // namespace corvane
