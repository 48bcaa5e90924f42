#include "simulation/PhoneFault.h"

#include <algorithm>
#include <utility>

namespace simulation {

namespace {

PhoneFault make(PhoneFault::Kind kind, std::uint64_t byteCount = 0, std::size_t count = 0) {
    PhoneFault fault;
    fault.kind = kind;
    fault.byteCount = byteCount;
    fault.count = count;
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
    return make(Kind::disconnect, dataBytes);
}

PhoneFault PhoneFault::stallIn(std::uint64_t afterBytes) {
    return make(Kind::stallIn, afterBytes);
}

PhoneFault PhoneFault::stallResponse() {
    return make(Kind::stallResponse);
}

PhoneFault PhoneFault::stallOut() {
    return make(Kind::stallOut);
}

PhoneFault PhoneFault::emptyPackets(std::size_t count, std::uint64_t afterBytes) {
    return make(Kind::emptyPackets, afterBytes, count);
}

PhoneFault PhoneFault::emptyPacketsBeforeResponse(std::size_t count) {
    return make(Kind::emptyPacketsBeforeResponse, 0, count);
}

PhoneFault PhoneFault::wrongDataTransactionID() {
    return make(Kind::wrongDataTransactionID);
}

PhoneFault PhoneFault::wrongResponseTransactionID() {
    return make(Kind::wrongResponseTransactionID);
}

PhoneFault PhoneFault::shortData(std::uint64_t payloadBytes) {
    return make(Kind::shortData, payloadBytes);
}

PhoneFault PhoneFault::truncatedDataContainer(std::uint64_t missingBytes) {
    return make(Kind::truncatedDataContainer, missingBytes);
}

PhoneFault PhoneFault::oversizedDataContainer(std::uint64_t extraBytes) {
    return make(Kind::oversizedDataContainer, extraBytes);
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
