#pragma once

#include <cstdint>

namespace corvane {

/// Object format codes the library writes or tests for.
namespace PTPObjectFormat {
inline constexpr std::uint16_t undefined = 0x3000;
/// Folders.
inline constexpr std::uint16_t association = 0x3001;
inline constexpr std::uint16_t text = 0x3004;
inline constexpr std::uint16_t jpeg = 0x3801;
inline constexpr std::uint16_t png = 0x380B;
inline constexpr std::uint16_t mp3 = 0x3009;
inline constexpr std::uint16_t mp4 = 0xB982;
} // namespace PTPObjectFormat

/// Device property codes the library reads.
namespace PTPDeviceProperty {
inline constexpr std::uint16_t batteryLevel = 0x5001;
} // namespace PTPDeviceProperty

/// MTP object property codes the library reads.
namespace MTPObjectProperty {
inline constexpr std::uint16_t storageID = 0xDC01;
inline constexpr std::uint16_t objectFormat = 0xDC02;
inline constexpr std::uint16_t protectionStatus = 0xDC03;
inline constexpr std::uint16_t objectSize = 0xDC04;
inline constexpr std::uint16_t objectFileName = 0xDC07;
inline constexpr std::uint16_t dateCreated = 0xDC08;
inline constexpr std::uint16_t dateModified = 0xDC09;
inline constexpr std::uint16_t parentObject = 0xDC0B;
inline constexpr std::uint16_t persistentUID = 0xDC41;
inline constexpr std::uint16_t name = 0xDC44;
/// A property-list request for every property at once.
inline constexpr std::uint32_t all = 0xFFFFFFFF;
} // namespace MTPObjectProperty

/// Fixed values of the protocol.
namespace PTPConstants {
inline constexpr std::uint32_t defaultSessionID = 1;
inline constexpr std::uint32_t all = 0xFFFFFFFF;
/// A 32-bit size field's value for a size that is unknown or does not fit in 32 bits.
inline constexpr std::uint32_t sizeUnknown32 = 0xFFFFFFFF;
} // namespace PTPConstants

} // namespace corvane
