#include "simulation/PhoneFault.h"

#include <algorithm>
#include <utility>

namespace simulation {

namespace {

PhoneFault make(PhoneFault::Kind kind) {
    PhoneFault fault;
    fault.kind = kind;
    return fault;
}

} // namespace

PhoneFault PhoneFault::respond(std::uint16_t code) {
    PhoneFault fault = make(Kind::respond);
    fault.responseCode = code;
    return fault;
}

PhoneFault PhoneFault::busy() {
    return respond(0x2019);
}

PhoneFault PhoneFault::silence() {
    return make(Kind::silence);
}

PhoneFault PhoneFault::delayed(platform::Clock::Duration delay) {
    PhoneFault fault = make(Kind::delay);
    fault.delay = delay;
    return fault;
}

PhoneFault PhoneFault::disconnectAfter(std::uint64_t dataBytes) {
    PhoneFault fault = make(Kind::disconnect);
    fault.byteCount = dataBytes;
    return fault;
}

PhoneFault PhoneFault::stallIn(std::uint64_t afterBytes) {
    PhoneFault fault = make(Kind::stallIn);
    fault.byteCount = afterBytes;
    return fault;
}

PhoneFault PhoneFault::stallResponse() {
    return make(Kind::stallResponse);
}

PhoneFault PhoneFault::stallOut() {
    return make(Kind::stallOut);
}

PhoneFault PhoneFault::emptyPackets(std::size_t count, std::uint64_t afterBytes) {
    PhoneFault fault = make(Kind::emptyPackets);
    fault.count = count;
    fault.byteCount = afterBytes;
    return fault;
}

PhoneFault PhoneFault::emptyPacketsBeforeResponse(std::size_t count) {
    PhoneFault fault = make(Kind::emptyPacketsBeforeResponse);
    fault.count = count;
    return fault;
}

PhoneFault PhoneFault::wrongDataTransactionID() {
    return make(Kind::wrongDataTransactionID);
}

PhoneFault PhoneFault::wrongResponseTransactionID() {
    return make(Kind::wrongResponseTransactionID);
}

PhoneFault PhoneFault::shortData(std::uint64_t payloadBytes) {
    PhoneFault fault = make(Kind::shortData);
    fault.byteCount = payloadBytes;
    return fault;
}

PhoneFault PhoneFault::truncatedDataContainer(std::uint64_t missingBytes) {
    PhoneFault fault = make(Kind::truncatedDataContainer);
    fault.byteCount = missingBytes;
    return fault;
}

PhoneFault PhoneFault::oversizedDataContainer(std::uint64_t extraBytes) {
    PhoneFault fault = make(Kind::oversizedDataContainer);
    fault.byteCount = extraBytes;
    return fault;
}

PhoneFault PhoneFault::truncatedResponse() {
    return make(Kind::truncatedResponse);
}

PhoneFault PhoneFault::missingZLP() {
    return make(Kind::missingZLP);
}

PhoneFault PhoneFault::transformData(std::function<void(std::vector<std::byte>&)> transform) {
    PhoneFault fault = make(Kind::transformData);
    fault.transform = std::move(transform);
    return fault;
}

PhoneFault PhoneFault::truncateDataset(std::size_t keptBytes) {
    return transformData(
        [keptBytes](std::vector<std::byte>& bytes) { bytes.resize(std::min(bytes.size(), keptBytes)); });
}

PhoneFault PhoneFault::replaceData(std::vector<std::byte> replacement) {
    return transformData(
        [replacement = std::move(replacement)](std::vector<std::byte>& bytes) { bytes = replacement; });
}

PhoneFault PhoneFault::replaceResponseParams(std::vector<std::uint32_t> params) {
    PhoneFault fault = make(Kind::responseParams);
    fault.params = std::move(params);
    return fault;
}

} // namespace simulation
