#pragma once

#include "platform/foundation/MountInfo.h"

#include <vector>

namespace tandalo::app {

/// The system's table of mounted file systems, read afresh at each call.
class MountTable {
public:
    virtual ~MountTable() = default;

    /// Every mount, in the table's order; empty when the table cannot be read. Never throws; blocks for
    /// the table's input.
    virtual std::vector<platform::MountInfo> mounts() const = 0;
};

/// The process's mount table on Linux (/proc/self/mountinfo).
class LinuxMountTable final : public MountTable {
public:
    std::vector<platform::MountInfo> mounts() const override { return platform::MountInfo::read(); }
};

} // namespace tandalo::app
