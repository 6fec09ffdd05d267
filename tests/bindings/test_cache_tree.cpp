// The copy-on-write cache tree behind the log bridge's cache of enabled levels.

#include <gtest/gtest.h>

#include <string>

#include "cache_tree.hpp"

namespace {

using Tree = quorlin::py::CacheTree<int>;
using Node = Tree::Node;

const Node* find(const Tree::NodePtr& root, std::string_view target) { return Tree::find(*root, target); }

// Stores over the current tree, as a writer that read it just now.
bool store(Tree& tree, std::string_view target, int entry) { return tree.store_from(tree.current(), target, entry); }

TEST(CacheTree, LooksUpTargetsBySegment) {
    Tree tree;
    const Node* empty_root = find(tree.current(), "");
    ASSERT_NE(empty_root, nullptr);
    EXPECT_FALSE(empty_root->entry.has_value());
    EXPECT_TRUE(empty_root->children.empty());
    EXPECT_EQ(find(tree.current(), "a"), nullptr);

    ASSERT_TRUE(store(tree, "a::b", 7));
    ASSERT_TRUE(store(tree, "", 1));
    const auto root = tree.current();
    EXPECT_EQ(find(root, "")->entry, 1);
    EXPECT_EQ(find(root, "a::b")->entry, 7);
    ASSERT_NE(find(root, "a"), nullptr);  // created on the way, without entry
    EXPECT_FALSE(find(root, "a")->entry.has_value());
    EXPECT_EQ(find(root, "a::c"), nullptr);
    EXPECT_EQ(find(root, "a::b::c"), nullptr);
    EXPECT_EQ(find(root, "b"), nullptr);
    EXPECT_EQ(find(root, "a:b"), nullptr);

    // Replacing an entry keeps the node's children.
    ASSERT_TRUE(store(tree, "a::b::c", 1));
    ASSERT_TRUE(store(tree, "a::b", 3));
    EXPECT_EQ(find(tree.current(), "a::b")->entry, 3);
    EXPECT_EQ(find(tree.current(), "a::b::c")->entry, 1);
}

TEST(CacheTree, StoreCopiesOnlyThePath) {
    Tree tree;
    ASSERT_TRUE(store(tree, "a::b", 1));
    ASSERT_TRUE(store(tree, "c", 2));
    const auto before = tree.current();
    ASSERT_TRUE(store(tree, "a::d", 3));
    const auto after = tree.current();

    EXPECT_NE(before.get(), after.get());
    EXPECT_NE(before->children.at("a").get(), after->children.at("a").get());
    EXPECT_EQ(before->children.at("c").get(), after->children.at("c").get());
    EXPECT_EQ(before->children.at("a")->children.at("b").get(), after->children.at("a")->children.at("b").get());
    EXPECT_EQ(find(after, "a::d")->entry, 3);
    // The published tree is never changed.
    EXPECT_EQ(find(before, "a::d"), nullptr);
    EXPECT_EQ(before->children.at("a")->children.size(), 1U);
}

TEST(CacheTree, StaleStoreIsDroppedNotRetried) {
    Tree tree;
    const auto read = tree.current();
    ASSERT_TRUE(store(tree, "x", 1));
    const auto current = tree.current();
    EXPECT_FALSE(tree.store_from(read, "y", 2));
    EXPECT_EQ(tree.current(), current);
    EXPECT_EQ(find(tree.current(), "y"), nullptr);
    EXPECT_TRUE(tree.store_from(current, "y", 2));
    EXPECT_EQ(find(tree.current(), "x")->entry, 1);
}

TEST(CacheTree, ResetEmptiesWhileOldReadersKeepTheirTree) {
    Tree tree;
    ASSERT_TRUE(store(tree, "quorlinpy::mervane", 4));
    const auto reader = tree.current();
    tree.reset();
    EXPECT_TRUE(tree.current()->children.empty());
    EXPECT_EQ(find(tree.current(), "quorlinpy::mervane"), nullptr);
    EXPECT_EQ(find(reader, "quorlinpy::mervane")->entry, 4);
    // A store prepared from the tree before the reset does not undo it.
    EXPECT_FALSE(tree.store_from(reader, "quorlinpy", 5));
    EXPECT_TRUE(tree.current()->children.empty());
}

}  // namespace
