#pragma once

#include "platform/foundation/Guarded.h"
#include "platform/fskit/FSItem.h"
#include "platform/fskit/FSKitTypes.h"

#include <cstdint>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

namespace fusehost {

/// The kernel's name for an item: a FUSE node ID.
using NodeID = std::uint64_t;

/// The map between the kernel's node IDs and the volume's items, with the kernel's look-up count of each.
/// Every entry reply the kernel accepts adds one reference; its forgets take them away, and the item whose
/// count reaches zero is handed back so that the volume can reclaim it. The root is node 1, always
/// present, never counted and never reclaimed. Items are told apart by object identity, as the platform
/// holds them. Node IDs are never reused within one mount. Owns a strong reference to every item in it.
/// All members may be called from any thread; none blocks beyond the table's lock.
class InodeTable {
public:
    static constexpr NodeID rootNodeID = 1;

    explicit InodeTable(std::shared_ptr<fskit::FSItem> root);

    /// Adds one kernel reference to the item and returns its node ID (the same one while it is referenced).
    /// id, when valid, is the item's identifier as its attributes give it, for holds().
    NodeID remember(const std::shared_ptr<fskit::FSItem>& item, fskit::FSItemID id = fskit::FSItemIDInvalid);
    /// The item of a node, or null when the kernel names a node it does not hold.
    std::shared_ptr<fskit::FSItem> item(NodeID node) const;
    /// Takes count references away. Returns the item when this dropped its last reference: the caller
    /// reclaims it. Unknown nodes and the root are ignored, and a count beyond what is held ends the entry.
    std::shared_ptr<fskit::FSItem> forget(NodeID node, std::uint64_t count);
    /// The kernel forgets every node when the mount ends: returns every item but the root and empties
    /// the table.
    std::vector<std::shared_ptr<fskit::FSItem>> forgetAll();
    /// The kernel's references to the node; 0 when unknown. The root reads as 1.
    std::uint64_t lookupCount(NodeID node) const;
    /// The node of an item that the kernel holds, or 0.
    NodeID nodeOf(const fskit::FSItem* item) const;
    /// Whether the kernel holds an item that was remembered with this identifier.
    bool holds(fskit::FSItemID id) const;
    /// How many items besides the root the kernel holds.
    std::size_t size() const;

private:
    struct Entry {
        std::shared_ptr<fskit::FSItem> item;
        std::uint64_t lookups = 0;
        fskit::FSItemID id = fskit::FSItemIDInvalid;
    };
    struct Tables {
        std::map<NodeID, Entry> byNode;
        std::map<const fskit::FSItem*, NodeID> byItem;
        std::unordered_map<fskit::FSItemID, NodeID> byID;
        NodeID nextNode = rootNodeID + 1;
    };

    const std::shared_ptr<fskit::FSItem> m_root;
    platform::Guarded<Tables> m_tables; // innermost lock of the host; never held across a call out
};

} // namespace fusehost
