#pragma once

namespace fskit {

/// One file or folder of a volume, as the volume hands it out. The platform holds items by
/// std::shared_ptr and gives each back to the volume that made it; volumes subclass it.
class FSItem {
public:
    virtual ~FSItem() = default;
    FSItem(const FSItem&) = delete;
    FSItem& operator=(const FSItem&) = delete;

protected:
    FSItem() = default;
};

} // namespace fskit
