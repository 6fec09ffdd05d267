#pragma once
// An immutable tree keyed by target segments ("quorlinpy" -> "mervane")
// behind an atomically replaceable reference. Readers load the current tree
// and keep it alive while they walk it; writers publish a new tree that
// copies only the path to the changed node (copy-on-write), by a single
// compare-and-swap that is dropped, not retried, when the tree changed
// meanwhile. Knows nothing of Python: the entry type is a parameter.
//
// The reference is a std::atomic<std::shared_ptr>, which is not lock-free in
// libstdc++: every load, store and compare-and-swap takes a spin lock kept in
// the low bit of the control-block pointer inside the atomic, held only while
// the pointer is copied and its count adjusted. No interpreter lock and no
// mutex is involved, and the walks of a tree run outside that lock.

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorlin::py {

template <class Entry>
class CacheTree {
public:
    struct Node {
        std::optional<Entry> entry;
        std::map<std::string, std::shared_ptr<const Node>, std::less<>> children;
    };
    using NodePtr = std::shared_ptr<const Node>;

    CacheTree() : root_(std::make_shared<const Node>()) {}

    NodePtr current() const noexcept { return root_.load(std::memory_order_acquire); }

    // The node of a target ("a::b" walks a, then b; the empty target is the
    // root), or null when a segment has no child.
    static const Node* find(const Node& root, std::string_view target) noexcept {
        const Node* node = &root;
        if (target.empty()) {
            return node;
        }
        std::size_t start = 0;
        while (true) {
            const std::size_t sep = target.find("::", start);
            const std::string_view segment = target.substr(start, sep - start);
            const auto it = node->children.find(segment);
            if (it == node->children.end()) {
                return nullptr;
            }
            node = it->second.get();
            if (sep == std::string_view::npos) {
                return node;
            }
            start = sep + 2;
        }
    }

    // Publishes a tree equal to `read` but with `entry` at the target's node,
    // if the current tree is still `read`. Returns whether it was published.
    bool store_from(const NodePtr& read, std::string_view target, Entry entry) {
        std::vector<std::string_view> segments;
        if (!target.empty()) {
            std::size_t start = 0;
            while (true) {
                const std::size_t sep = target.find("::", start);
                segments.push_back(target.substr(start, sep - start));
                if (sep == std::string_view::npos) {
                    break;
                }
                start = sep + 2;
            }
        }
        NodePtr replacement = with_entry(read.get(), segments, 0, std::move(entry));
        NodePtr expected = read;
        return root_.compare_exchange_strong(expected, std::move(replacement), std::memory_order_acq_rel,
                                             std::memory_order_acquire);
    }

    // Publishes an empty tree. The old one is released when its last reader
    // lets go of it.
    void reset() { root_.store(std::make_shared<const Node>(), std::memory_order_release); }

private:
    static NodePtr with_entry(const Node* node, const std::vector<std::string_view>& segments, std::size_t depth,
                              Entry&& entry) {
        auto copy = node != nullptr ? std::make_shared<Node>(*node) : std::make_shared<Node>();
        if (depth == segments.size()) {
            copy->entry = std::move(entry);
            return copy;
        }
        const Node* child = nullptr;
        if (node != nullptr) {
            const auto it = node->children.find(segments[depth]);
            if (it != node->children.end()) {
                child = it->second.get();
            }
        }
        copy->children.insert_or_assign(std::string(segments[depth]),
                                        with_entry(child, segments, depth + 1, std::move(entry)));
        return copy;
    }

    std::atomic<NodePtr> root_;
};

}  // namespace quorlin::py
