#include "platform/fuse/InodeTable.h"

#include <gtest/gtest.h>

#include <memory>

namespace fusehost {
namespace {

class TestItem final : public fskit::FSItem {};

TEST(InodeTableTests, RootIsNodeOneAndNeverCountedOrReclaimed) {
    auto root = std::make_shared<TestItem>();
    InodeTable table(root);
    EXPECT_EQ(table.item(InodeTable::rootNodeID), root);
    EXPECT_EQ(table.remember(root), InodeTable::rootNodeID);
    EXPECT_EQ(table.forget(InodeTable::rootNodeID, 5), nullptr);
    EXPECT_EQ(table.item(InodeTable::rootNodeID), root);
    EXPECT_EQ(table.size(), 0U);
    EXPECT_TRUE(table.forgetAll().empty());
}

TEST(InodeTableTests, ItemKeepsItsNodeWhileReferencedAndIsHandedBackAtZero) {
    InodeTable table(std::make_shared<TestItem>());
    auto item = std::make_shared<TestItem>();
    const NodeID node = table.remember(item);
    EXPECT_NE(node, InodeTable::rootNodeID);
    EXPECT_FALSE(table.holds(42));
    EXPECT_EQ(table.remember(item, 42), node);
    EXPECT_EQ(table.remember(item), node);
    EXPECT_EQ(table.lookupCount(node), 3U);
    EXPECT_EQ(table.nodeOf(item.get()), node);
    EXPECT_TRUE(table.holds(42));

    EXPECT_EQ(table.forget(node, 2), nullptr);
    EXPECT_EQ(table.lookupCount(node), 1U);
    EXPECT_TRUE(table.holds(42));
    EXPECT_EQ(table.forget(node, 1), item);
    EXPECT_EQ(table.item(node), nullptr);
    EXPECT_EQ(table.nodeOf(item.get()), 0U);
    EXPECT_FALSE(table.holds(42));
}

TEST(InodeTableTests, NodesAreNotReusedAfterAForget) {
    InodeTable table(std::make_shared<TestItem>());
    auto item = std::make_shared<TestItem>();
    const NodeID first = table.remember(item);
    ASSERT_EQ(table.forget(first, 1), item);
    const NodeID second = table.remember(item);
    EXPECT_NE(second, first);
    EXPECT_EQ(table.lookupCount(second), 1U);
}

TEST(InodeTableTests, ForgetBeyondTheCountEndsTheEntryAndUnknownNodesAreIgnored) {
    InodeTable table(std::make_shared<TestItem>());
    auto item = std::make_shared<TestItem>();
    const NodeID node = table.remember(item);
    EXPECT_EQ(table.forget(node + 100, 1), nullptr);
    EXPECT_EQ(table.forget(node, 10), item);
    EXPECT_EQ(table.forget(node, 1), nullptr);
    EXPECT_EQ(table.lookupCount(node), 0U);
}

TEST(InodeTableTests, ForgetAllHandsBackEveryItemButTheRoot) {
    auto root = std::make_shared<TestItem>();
    InodeTable table(root);
    auto first = std::make_shared<TestItem>();
    auto second = std::make_shared<TestItem>();
    table.remember(first);
    table.remember(second);
    table.remember(second);
    const auto forgotten = table.forgetAll();
    EXPECT_EQ(forgotten.size(), 2U);
    EXPECT_EQ(table.size(), 0U);
    EXPECT_EQ(table.item(InodeTable::rootNodeID), root);
}

} // namespace
} // namespace fusehost
