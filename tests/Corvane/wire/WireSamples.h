#pragma once

#include "Corvane/wire/PTPError.h"
#include "tests/support/Bytes.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace corvane::testing {

using testsupport::bytes;

/// A UTF-16 code-unit sequence as a PTP string on the wire, count byte included.
std::vector<std::byte> ptpString(std::initializer_list<char16_t> units);

/// A device information dataset as a phone sends it, with the given operation list and model.
std::vector<std::byte> sampleDeviceInfo(const std::vector<std::uint16_t>& operations = {0x1001, 0x1002,
                                                                                        0x9805, 0x95C1},
                                        const std::string& model = "Pixel 8");

/// A storage information dataset.
std::vector<std::byte> sampleStorageInfo(const std::string& description = "Internal shared storage",
                                         const std::string& volumeLabel = "");

/// A property list with one element of every decodable data type.
std::vector<std::byte> samplePropertyList();

/// Runs body and expects it to throw PTPError of the kind; returns the error for further checks.
PTPError expectPTPError(PTPError::Kind kind, const std::function<void()>& body);

} // namespace corvane::testing
