#pragma once

#include "platform/usb/RegistryEntry.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace usbfs {

/// Who has a device node open, read from a /proc tree (a parameter, so tests can hand in their own).
/// Only processes whose descriptors this process may read are seen: on a desktop, the user's own.
class ProcessTable {
public:
    using NameOf = std::function<std::optional<std::string>(pid_t)>;

    /// nameOf gives a process's command name; by default the real one (platform::processName).
    explicit ProcessTable(std::filesystem::path root = "/proc", NameOf nameOf = {});

    /// The processes other than `self` that have the node open, lowest pid first, with their names
    /// ("?" when the name cannot be read any more).
    std::vector<usb::ProcessIdentity> openersOf(const std::filesystem::path& node, pid_t self) const;

private:
    std::filesystem::path m_root;
    NameOf m_nameOf;
};

} // namespace usbfs
