// Feeds thousands of mutated containers and datasets to every parser of the wire layer. A parser may
// accept an input or throw PTPError; anything else (another exception, a crash, a sanitizer report, an
// allocation out of proportion to the input) is a failure.

#include "Corvane/wire/DeviceInfo.h"
#include "Corvane/wire/MTPDate.h"
#include "Corvane/wire/MTPObject.h"
#include "Corvane/wire/MTPPropertyElement.h"
#include "Corvane/wire/ObjectInfo.h"
#include "Corvane/wire/PTPContainer.h"
#include "Corvane/wire/PTPWriter.h"
#include "Corvane/wire/StorageInfo.h"

#include "AllocationTracker.h"
#include "WireSamples.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>

namespace {

using namespace corvane;
using Bytes = std::vector<std::byte>;

Bytes seedContainerWith(const Bytes& payload) {
    return PTPContainer::withPayload(PTPContainer::Kind::data, 0x1001, 1, payload).encoded();
}

Bytes seedPropertyValue(std::uint16_t type, const std::function<void(PTPWriter&)>& value) {
    PTPWriter writer;
    writer.u16(type);
    value(writer);
    return writer.take();
}

std::vector<Bytes> seeds() {
    ObjectInfo info(0x00010001, 0xFFFFFFFF, "IMG_\u00E9\U0001F600.jpg", 0x3801, 123456, 1);
    info.modificationDate = "20240131T235959.5+0200";
    info.keywords = "k";
    std::vector<Bytes> result = {
        PTPContainer(PTPContainer::Kind::command, 0x1002, 0, {1}).encoded(),
        PTPContainer(PTPContainer::Kind::response, 0x2001, 5, {1, 2, 3, 4, 5}).encoded(),
        PTPContainer(PTPContainer::Kind::event, 0x4002, 0, {9}).encoded(),
        corvane::testing::sampleDeviceInfo(),
        seedContainerWith(corvane::testing::sampleDeviceInfo()),
        corvane::testing::sampleStorageInfo("SD card", "Card"),
        info.encoded(),
        seedContainerWith(info.encoded()),
        corvane::testing::samplePropertyList(),
        seedPropertyValue(0x4006,
                          [](PTPWriter& w) {
                              w.u32Array(std::vector<std::uint32_t>{1, 2, 3});
                          }),
        seedPropertyValue(0x400A,
                          [](PTPWriter& w) {
                              w.u32(2);
                              w.u128Zero();
                              w.u128Zero();
                          }),
        seedPropertyValue(0xFFFF, [](PTPWriter& w) { w.string("20240131T235959Z"); }),
        seedPropertyValue(0x0008, [](PTPWriter& w) { w.u64(1); }),
    };
    for (const std::string date : {"20240131T235959.5+0200", "20240229T000000Z", "19691231T235959"}) {
        result.emplace_back(reinterpret_cast<const std::byte*>(date.data()),
                            reinterpret_cast<const std::byte*>(date.data() + date.size()));
    }
    return result;
}

class Mutator {
public:
    explicit Mutator(std::uint32_t seed) : m_random(seed) {}

    Bytes mutate(Bytes data) {
        const int rounds = 1 + pick(4);
        for (int i = 0; i < rounds; ++i) {
            apply(data);
        }
        return data;
    }

private:
    int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(m_random); }
    std::size_t position(const Bytes& data) {
        return data.empty() ? 0 : std::uniform_int_distribution<std::size_t>(0, data.size() - 1)(m_random);
    }
    std::byte randomByte() { return static_cast<std::byte>(pick(256)); }

    void apply(Bytes& data) {
        switch (pick(7)) {
        case 0: // flip one byte
            if (!data.empty()) {
                data[position(data)] = randomByte();
            }
            break;
        case 1: // cut the tail off
            data.resize(position(data));
            break;
        case 2: // insert junk
            data.insert(data.begin() + static_cast<std::ptrdiff_t>(position(data)), 1 + pick(8),
                        randomByte());
            break;
        case 3: // a huge or hostile count or length somewhere
            if (data.size() >= 4) {
                static constexpr std::uint32_t hostile[] = {0xFFFFFFFF, 0x7FFFFFFF, 0x10000, 0x10001,
                                                            0,          11,         12};
                const std::uint32_t value = hostile[pick(7)];
                const std::size_t start = std::min(position(data), data.size() - 4);
                for (std::size_t i = 0; i < 4; ++i) {
                    data[start + i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
                }
            }
            break;
        case 4: // a string count byte at its maximum
            if (!data.empty()) {
                data[position(data)] = std::byte{0xFF};
            }
            break;
        case 5: // duplicate a slice
            if (!data.empty()) {
                const std::size_t from = position(data);
                const std::size_t length = std::min<std::size_t>(1 + pick(16), data.size() - from);
                const Bytes slice(data.begin() + static_cast<std::ptrdiff_t>(from),
                                  data.begin() + static_cast<std::ptrdiff_t>(from + length));
                data.insert(data.begin() + static_cast<std::ptrdiff_t>(position(data)), slice.begin(),
                            slice.end());
            }
            break;
        default: // a lone surrogate in a UTF-16 unit
            if (data.size() >= 2) {
                const std::size_t at = std::min(position(data), data.size() - 2);
                data[at] = std::byte{0x00};
                data[at + 1] = std::byte{static_cast<unsigned char>(0xD8 + pick(8))};
            }
            break;
        }
    }

    std::mt19937 m_random;
};

struct Outcomes {
    int accepted = 0;
    int rejected = 0;
};

/// Runs one parser on one input: PTPError is an answer, any other exception a failure.
void expectOnlyPTPErrors(const char* parser, const Bytes& input,
                         const std::function<void(const Bytes&)>& parse, Outcomes& outcomes) {
    try {
        parse(input);
        ++outcomes.accepted;
    } catch (const PTPError&) {
        ++outcomes.rejected;
    } catch (const std::exception& e) {
        ADD_FAILURE() << parser << " threw " << e.what() << " for an input of " << input.size() << " bytes";
    } catch (...) {
        ADD_FAILURE() << parser << " threw a non-standard exception";
    }
}

const std::vector<std::pair<const char*, std::function<void(const Bytes&)>>>& parsers() {
    static const std::vector<std::pair<const char*, std::function<void(const Bytes&)>>> all = {
        {"PTPContainer::parse",
         [](const Bytes& b) {
             const auto container = PTPContainer::parse(b);
             // Whatever was accepted must be self-consistent: it encodes back to the bytes it came from.
             const auto again = container.encoded();
             EXPECT_TRUE(std::equal(again.begin(), again.end(), b.begin()));
             container.params();
         }},
        {"PTPContainer::parseHeader", [](const Bytes& b) { PTPContainer::parseHeader(b); }},
        {"DeviceInfo::parse", [](const Bytes& b) { DeviceInfo::parse(b).supportsRandomAccess(); }},
        {"DeviceInfo::parse(payload)",
         [](const Bytes& b) { DeviceInfo::parse(PTPContainer::parse(b).payload()); }},
        {"StorageInfo::parse", [](const Bytes& b) { StorageInfo::parse(1, b); }},
        {"ObjectInfo::parse",
         [](const Bytes& b) {
             const auto info = ObjectInfo::parse(b);
             MTPObject(1, info);
             ObjectInfo::parse(info.encoded());
         }},
        {"MTPPropertyElement::parseList", [](const Bytes& b) { MTPPropertyElement::parseList(b); }},
        {"MTPValue::decode",
         [](const Bytes& b) {
             PTPReader reader(b);
             const std::uint16_t type = reader.u16();
             MTPValue::decode(type, reader);
         }},
        {"MTPDate::parse",
         [](const Bytes& b) {
             MTPDate::parse(std::string(reinterpret_cast<const char*>(b.data()), b.size()));
         }},
        {"PTPReader::string",
         [](const Bytes& b) {
             PTPReader reader(b);
             while (!reader.isAtEnd()) {
                 reader.string();
             }
         }},
        {"PTPReader::u32Array", [](const Bytes& b) { PTPReader(b).u32Array(); }},
    };
    return all;
}

} // namespace

TEST(WireFuzzTests, MutatedInputsEitherParseOrThrowPTPError) {
    constexpr int mutationsPerSeed = 320;
    Mutator mutator(0x7A9D1u);
    const auto corpus = seeds();
    std::size_t largestInput = 0;
    std::size_t inputs = 0;
    std::size_t largestAllocation = 0;
    std::map<std::string, Outcomes> outcomes;
    {
        const corvane::testing::AllocationTracker tracker;
        for (const auto& seed : corpus) {
            for (int i = 0; i < mutationsPerSeed; ++i) {
                const Bytes input = i == 0 ? seed : mutator.mutate(seed);
                largestInput = std::max(largestInput, input.size());
                ++inputs;
                for (const auto& [parser, parse] : parsers()) {
                    expectOnlyPTPErrors(parser, input, parse, outcomes[parser]);
                }
            }
        }
        largestAllocation = tracker.largest();
    }
    EXPECT_GT(inputs, 5000u);
    // The mutations must reach both sides of every parser, or the run proves little.
    for (const auto& [parser, counts] : outcomes) {
        EXPECT_GT(counts.accepted, 50) << parser;
        if (parser != "MTPDate::parse") { // it answers nothing instead of throwing
            EXPECT_GT(counts.rejected, 50) << parser;
        }
    }
    // Reservations follow the bytes present, never the counts: nothing allocates more than a small
    // multiple of the input (a property-list element or a widened integer is larger than its wire form).
    const std::size_t bound = 64 * largestInput + 4096;
    EXPECT_LE(largestAllocation, bound);
}

TEST(WireFuzzTests, HostileCountsNeverAllocateForTheCount) {
    struct Case {
        const char* parser;
        Bytes input;
    };
    PTPWriter deviceInfo; // an operation list that claims 4 G entries
    deviceInfo.u16(100);
    deviceInfo.u32(6);
    deviceInfo.u16(100);
    deviceInfo.string("");
    deviceInfo.u16(0);
    deviceInfo.u32(0xFFFFFFFF);
    deviceInfo.u16(0x1001);
    PTPWriter propertyList;
    propertyList.u32(0xFFFFFFFF);
    propertyList.u32(1);
    propertyList.u16(0xDC07);
    propertyList.u16(0x400A);
    propertyList.u32(0xFFFFFFFF);
    const std::vector<Case> cases = {
        {"DeviceInfo::parse", deviceInfo.take()},
        {"MTPPropertyElement::parseList", propertyList.take()},
        {"MTPValue::decode", corvane::testing::bytes({0x08, 0x40, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3})},
        {"PTPReader::u32Array", corvane::testing::bytes({0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4})},
    };
    for (const auto& c : cases) {
        std::size_t largestAllocation = 0;
        {
            const corvane::testing::AllocationTracker tracker;
            for (const auto& [parser, parse] : parsers()) {
                if (std::string(parser) == c.parser) {
                    EXPECT_THROW(parse(c.input), PTPError) << parser;
                }
            }
            largestAllocation = tracker.largest();
        }
        EXPECT_GT(largestAllocation, 0u) << c.parser;
        // A count of 4 G elements, honoured, would ask for gigabytes; the few bytes present allow far less.
        EXPECT_LE(largestAllocation, 4096u) << c.parser;
    }
}
