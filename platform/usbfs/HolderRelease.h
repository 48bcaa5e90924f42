#pragma once

#include "platform/usb/RegistryEntry.h"

#include <memory>

namespace usbfs {

/// A polite way to ask the program that holds a USB interface to let it go, tried before the interface
/// is taken by force. On a Linux desktop the usual holders are the desktop's own MTP and camera services,
/// which give a device back when their mount of it is unmounted.
class HolderRelease {
public:
    virtual ~HolderRelease() = default;
    /// Asks the holder to let go. True when it agreed (it is then expected to give the interface back
    /// shortly); false when it is no program this way knows how to ask, or it refused. Blocks for at most
    /// a few seconds; may be called from any thread.
    virtual bool requestRelease(const usb::ProcessIdentity& holder) = 0;
};

/// Asks GVfs, the desktop's virtual file system: the mount that the holder serves (its gvfsd-mtp or
/// gvfsd-gphoto2 back end) is unmounted through the session bus, as the file manager's eject does.
/// Holders that serve no GVfs mount, or a session without GVfs, give false.
std::shared_ptr<HolderRelease> gvfsHolderRelease();

} // namespace usbfs
