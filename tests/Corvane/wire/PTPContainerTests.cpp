#include "Corvane/wire/PTPContainer.h"

#include "Corvane/wire/PTPError.h"
#include "Corvane/wire/PTPOperation.h"

#include "WireSamples.h"

#include <gtest/gtest.h>

using namespace corvane;
using corvane::testing::bytes;
using corvane::testing::expectPTPError;
using Kind = PTPContainer::Kind;

TEST(PTPContainerTests, EncodesCommandWithParameters) {
    const PTPContainer open(Kind::command, rawValue(PTPOperation::openSession), 0, {1});
    EXPECT_EQ(open.encoded(), bytes({0x10, 0, 0, 0, 0x01, 0x00, 0x02, 0x10, 0, 0, 0, 0, 0x01, 0, 0, 0}));

    const PTPContainer bare(Kind::command, rawValue(PTPOperation::getDeviceInfo), 7);
    const auto encoded = bare.encoded();
    ASSERT_EQ(encoded.size(), 12u);
    EXPECT_EQ(PTPContainer::parseHeader(encoded).length, 12u);
}

TEST(PTPContainerTests, RoundTripsEveryKind) {
    const std::vector<PTPContainer> containers = {
        PTPContainer(Kind::command, 0x1008, 42, {0x00010001, 0xFFFFFFFF, 0, 5, 6}),
        PTPContainer::withPayload(Kind::data, 0x1001, 1, bytes({1, 2, 3, 4, 5, 6, 7})),
        PTPContainer(Kind::response, 0x2001, 0xFFFFFFFF, {3}),
        PTPContainer(Kind::event, 0x4002, 0, {17}),
        PTPContainer::withPayload(Kind::data, 0x9805, 9, {}),
    };
    for (const auto& container : containers) {
        const auto parsed = PTPContainer::parse(container.encoded());
        EXPECT_EQ(parsed, container);
        EXPECT_EQ(parsed.kind(), container.kind());
        EXPECT_EQ(parsed.code(), container.code());
        EXPECT_EQ(parsed.transactionID(), container.transactionID());
    }
}

TEST(PTPContainerTests, HeaderAloneCarriesTheGivenLength) {
    const auto header = PTPContainer::header(Kind::data, 0x100D, 3, 0xFFFFFFFF);
    EXPECT_EQ(std::vector<std::byte>(header.begin(), header.end()),
              bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x0D, 0x10, 0x03, 0, 0, 0}));
    const auto parsed = PTPContainer::parseHeader(header);
    EXPECT_EQ(parsed, (PTPContainer::Header{0xFFFFFFFF, Kind::data, 0x100D, 3}));
}

TEST(PTPContainerTests, LengthFieldSaturatesInsteadOfTruncating) {
    EXPECT_EQ(PTPContainer::lengthField(0), 12u);
    EXPECT_EQ(PTPContainer::lengthField(500), 512u);
    EXPECT_EQ(PTPContainer::lengthField(4'294'967'282ull), 0xFFFFFFFEu);
    EXPECT_EQ(PTPContainer::lengthField(4'294'967'283ull), 0xFFFFFFFFu);
    EXPECT_EQ(PTPContainer::lengthField(5'000'000'000ull), 0xFFFFFFFFu);
    EXPECT_EQ(PTPContainer::lengthField(0x1'0000'0000ull + 100), 0xFFFFFFFFu);
}

TEST(PTPContainerTests, RejectsMalformedBuffers) {
    const auto shortError = expectPTPError(PTPError::Kind::malformedContainer, [] {
        PTPContainer::parseHeader(bytes({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    });
    EXPECT_EQ(shortError.text(), "header too short (11 bytes)");
    expectPTPError(PTPError::Kind::malformedContainer, [] { PTPContainer::parse({}); });

    for (const int type : {0, 5, 0xFFFF}) {
        const auto error = expectPTPError(PTPError::Kind::unexpectedContainer, [type] {
            PTPContainer::parse(bytes({12, 0, 0, 0, type & 0xFF, type >> 8, 0x01, 0x10, 0, 0, 0, 0}));
        });
        EXPECT_EQ(error.containerType(), type);
        EXPECT_EQ(error.code(), 0x1001);
    }

    struct Truncated {
        std::vector<std::byte> wire;
        std::uint64_t expected;
        std::uint64_t got;
    };
    auto twentyOfSixteen = PTPContainer(Kind::response, 0x2001, 1, {1}).encoded();
    twentyOfSixteen[0] = std::byte{20};
    const std::vector<Truncated> truncated = {
        {twentyOfSixteen, 20, 16},
        {bytes({8, 0, 0, 0, 3, 0, 0x01, 0x20, 0, 0, 0, 0}), 8, 12},
        {bytes({0, 0, 0, 0, 3, 0, 0x01, 0x20, 0, 0, 0, 0}), 0, 12},
        {bytes({0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0x09, 0x10, 0, 0, 0, 0, 1}), 0xFFFFFFFF, 13},
    };
    for (const auto& c : truncated) {
        const auto error =
            expectPTPError(PTPError::Kind::truncatedData, [&] { PTPContainer::parse(c.wire); });
        EXPECT_EQ(error.expected(), c.expected);
        EXPECT_EQ(error.got(), c.got);
    }
}

TEST(PTPContainerTests, IgnoresBytesBeyondTheLength) {
    auto wire = PTPContainer(Kind::data, 0x1009, 4, {0xDDCCBBAA}).encoded();
    wire.resize(30, std::byte{0x55});
    const auto parsed = PTPContainer::parse(wire);
    EXPECT_EQ(parsed.payload(), bytes({0xAA, 0xBB, 0xCC, 0xDD}));
}

TEST(PTPContainerTests, ParamsIgnoreTrailingPartialWords) {
    const auto container =
        PTPContainer::withPayload(Kind::response, 0x2001, 1, bytes({1, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB}));
    EXPECT_EQ(container.params(), (std::vector<std::uint32_t>{1, 2}));
    EXPECT_TRUE(PTPContainer::withPayload(Kind::response, 0x2001, 1, bytes({1, 2, 3})).params().empty());
}

TEST(PTPContainerTests, KindFromRawAcceptsOnlyOneToFour) {
    EXPECT_EQ(PTPContainer::kindFromRaw(0), std::nullopt);
    EXPECT_EQ(PTPContainer::kindFromRaw(1), Kind::command);
    EXPECT_EQ(PTPContainer::kindFromRaw(4), Kind::event);
    EXPECT_EQ(PTPContainer::kindFromRaw(5), std::nullopt);
}

TEST(PTPContainerTests, FieldsAreWritable) {
    PTPContainer container(Kind::command, 0x1001, 0);
    container.setKind(Kind::data);
    container.setCode(0x100D);
    container.setTransactionID(9);
    container.setPayload(bytes({1, 2}));
    EXPECT_EQ(container.encoded(), bytes({14, 0, 0, 0, 2, 0, 0x0D, 0x10, 9, 0, 0, 0, 1, 2}));
}
