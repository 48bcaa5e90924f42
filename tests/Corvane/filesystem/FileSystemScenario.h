#pragma once

#include "Corvane/filesystem/MTPFileSystem.h"
#include "Corvane/wire/PTPConstants.h"
#include "PTPErrorCapture.h"
#include "PhoneScenario.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::testing {

using testsupport::bytesOf;
using testsupport::catchPTPError;
using testsupport::textOf;

/// The display name of the scenario's main storage, and its path.
inline constexpr std::string_view mainStorageName = "Internal shared storage";
inline const std::string mainStorage = "/" + std::string(mainStorageName);

inline std::vector<std::string> namesOf(const DirectoryListing& listing) {
    std::vector<std::string> names;
    for (const MTPObject& object : listing) {
        names.push_back(object.name());
    }
    return names;
}

/// A simulated phone with a file system over it.
class FileSystemScenario : public ::testing::Test {
protected:
    explicit FileSystemScenario(testsupport::PhoneScenario::Options options = {})
        : scenario(std::move(options)) {}

    /// Makes the file system over the scenario's device and opens it; the phone's log then starts empty.
    MTPFileSystem& open() {
        fs = std::make_unique<MTPFileSystem>(scenario.sharedDevice(), scenario.clock());
        fs->open();
        scenario.clearLog();
        return *fs;
    }

    /// The library path of a path below the main storage.
    static std::string path(std::string_view below) { return mainStorage + "/" + std::string(below); }

    MTPObject objectAt(std::string_view below) { return fs->lookup(path(below)).object(); }

    /// The listings the phone has run since its log was cleared: each one asks first for the children's
    /// handles or for their file names.
    std::size_t listings() const {
        std::size_t count = 0;
        for (const auto& transaction : scenario.phone().transactions()) {
            const bool byHandles = transaction.operation == rawValue(PTPOperation::getObjectHandles);
            const bool byNames = transaction.operation == rawValue(PTPOperation::getObjectPropList) &&
                                 transaction.params.size() > 2 &&
                                 transaction.params[2] == MTPObjectProperty::objectFileName;
            count += byHandles || byNames ? 1 : 0;
        }
        return count;
    }

    /// The names the phone holds in a folder (SimulatedPhone::root for the top), sorted.
    std::vector<std::string> phoneNames(std::uint32_t parent) {
        std::vector<std::string> names;
        for (const auto& child : scenario.phone().children(scenario.storage(), parent)) {
            names.push_back(child.name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    static std::vector<std::string> sorted(std::vector<std::string> names) {
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::PhoneScenario scenario;
    std::unique_ptr<MTPFileSystem> fs;
};

} // namespace corvane::testing
