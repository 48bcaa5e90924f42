#include "platform/usbfs/ProcessTable.h"

#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/WholeNumber.h"

#include <algorithm>
#include <system_error>

namespace usbfs {

namespace {

namespace fs = std::filesystem;

bool hasOpen(const fs::path& descriptors, const fs::path& node) {
    std::error_code error;
    for (fs::directory_iterator each(descriptors, error), end; !error && each != end; each.increment(error)) {
        std::error_code linkError;
        if (fs::read_symlink(each->path(), linkError) == node && !linkError) {
            return true;
        }
    }
    return false;
}

} // namespace

ProcessTable::ProcessTable(std::filesystem::path root, NameOf nameOf)
    : m_root(std::move(root)), m_nameOf(nameOf ? std::move(nameOf) : NameOf(platform::processName)) {}

std::vector<usb::ProcessIdentity> ProcessTable::openersOf(const std::filesystem::path& node,
                                                          pid_t self) const {
    std::vector<pid_t> pids;
    std::error_code error;
    for (fs::directory_iterator each(m_root, error), end; !error && each != end; each.increment(error)) {
        const auto pid = platform::wholeNumber<pid_t>(each->path().filename().string());
        // Processes of other users cannot be looked into; their fd folders fail to open and are skipped.
        if (pid && *pid > 0 && *pid != self && hasOpen(each->path() / "fd", node)) {
            pids.push_back(*pid);
        }
    }
    std::sort(pids.begin(), pids.end());
    std::vector<usb::ProcessIdentity> openers;
    for (const pid_t pid : pids) {
        openers.push_back({static_cast<std::int32_t>(pid), m_nameOf(pid).value_or("?")});
    }
    return openers;
}

} // namespace usbfs
