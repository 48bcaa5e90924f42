#include "platform/fuse/InodeTable.h"

#include <utility>

namespace fusehost {

InodeTable::InodeTable(std::shared_ptr<fskit::FSItem> root) : m_root(std::move(root)) {}

NodeID InodeTable::remember(const std::shared_ptr<fskit::FSItem>& item, fskit::FSItemID id) {
    if (item == m_root) {
        return rootNodeID;
    }
    return m_tables.withLock([&](Tables& tables) {
        NodeID node = 0;
        if (const auto found = tables.byItem.find(item.get()); found != tables.byItem.end()) {
            node = found->second;
            ++tables.byNode.at(node).lookups;
        } else {
            node = tables.nextNode++;
            tables.byNode.emplace(node, Entry{item, 1, fskit::FSItemIDInvalid});
            tables.byItem.emplace(item.get(), node);
        }
        if (id != fskit::FSItemIDInvalid) {
            tables.byNode.at(node).id = id;
            tables.byID[id] = node;
        }
        return node;
    });
}

std::shared_ptr<fskit::FSItem> InodeTable::item(NodeID node) const {
    if (node == rootNodeID) {
        return m_root;
    }
    return m_tables.withLock([&](const Tables& tables) -> std::shared_ptr<fskit::FSItem> {
        const auto found = tables.byNode.find(node);
        return found == tables.byNode.end() ? nullptr : found->second.item;
    });
}

std::shared_ptr<fskit::FSItem> InodeTable::forget(NodeID node, std::uint64_t count) {
    if (node == rootNodeID) {
        return nullptr;
    }
    return m_tables.withLock([&](Tables& tables) -> std::shared_ptr<fskit::FSItem> {
        const auto found = tables.byNode.find(node);
        if (found == tables.byNode.end()) {
            return nullptr;
        }
        if (found->second.lookups > count) {
            found->second.lookups -= count;
            return nullptr;
        }
        auto item = std::move(found->second.item);
        if (const auto named = tables.byID.find(found->second.id);
            named != tables.byID.end() && named->second == node) {
            tables.byID.erase(named);
        }
        tables.byItem.erase(item.get());
        tables.byNode.erase(found);
        return item;
    });
}

std::vector<std::shared_ptr<fskit::FSItem>> InodeTable::forgetAll() {
    return m_tables.withLock([](Tables& tables) {
        std::vector<std::shared_ptr<fskit::FSItem>> items;
        items.reserve(tables.byNode.size());
        for (auto& [node, entry] : tables.byNode) {
            items.push_back(std::move(entry.item));
        }
        tables.byNode.clear();
        tables.byItem.clear();
        tables.byID.clear();
        return items;
    });
}

std::uint64_t InodeTable::lookupCount(NodeID node) const {
    if (node == rootNodeID) {
        return 1;
    }
    return m_tables.withLock([&](const Tables& tables) -> std::uint64_t {
        const auto found = tables.byNode.find(node);
        return found == tables.byNode.end() ? 0 : found->second.lookups;
    });
}

NodeID InodeTable::nodeOf(const fskit::FSItem* item) const {
    if (item == m_root.get()) {
        return rootNodeID;
    }
    return m_tables.withLock([&](const Tables& tables) -> NodeID {
        const auto found = tables.byItem.find(item);
        return found == tables.byItem.end() ? 0 : found->second;
    });
}

bool InodeTable::holds(fskit::FSItemID id) const {
    return m_tables.withLock([&](const Tables& tables) { return tables.byID.contains(id); });
}

std::size_t InodeTable::size() const {
    return m_tables.withLock([](const Tables& tables) { return tables.byNode.size(); });
}

} // namespace fusehost
