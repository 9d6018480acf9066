// Compact node store behind the tree control: nodes in add order (that order is the node
// numbering, from 1), texts in chunked arenas, keys in a hash beside them. A node costs 16
// bytes plus its text.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform
{

using NodeId = std::uint32_t; // 1-based add-order index; 0 = no node (the invisible root)

// Errors of the node collection, as the tree control raises them.
class TreeError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The keys of a node collection, and the rules every TreeNodes follows when it adds a node:
// Relative names the parent by its key, only as tvwChild, and a key names one node at most.
class NodeKeys
{
public:
    void Clear();
    // The node that relative names (0 when it is empty, for a top-level node). Raises
    // TreeError when no node has that key, or when the relationship is not tvwChild.
    NodeId Parent(std::string_view relative, int relationship) const;
    // Raises TreeError when key is taken. An empty key is no key.
    void CheckFree(std::string_view key) const;
    // Gives id the key, which CheckFree has let pass, in two steps: Prepare allocates all
    // that the key needs, and may raise; the Insert that takes what it made cannot fail.
    using Entry = std::map<std::string, NodeId, std::less<>>::node_type;
    Entry Prepare(std::string_view key, NodeId id);
    void Insert(Entry &&entry) noexcept;
    // The node with this key, or 0.
    NodeId Find(std::string_view key) const;
    std::size_t Count() const { return keys_.size(); }

private:
    // Ordered, so that an entry made ahead goes in without allocating, and a key is looked
    // up without a copy.
    std::map<std::string, NodeId, std::less<>> keys_;
    // A listing adds all children of one archive in a row: the last parent found is kept.
    mutable std::string lastKey_;
    mutable NodeId lastNode_ = 0;
};

class TreeStore
{
public:
    static constexpr NodeId kRoot = 0;

    class PreparedAdd;

    TreeStore();

    void Clear();
    // Adds a node as the last child of parent (kRoot for a top-level node). An empty key
    // means no key; a key already in use raises TreeError. All or nothing: an error, running
    // out of memory included, leaves the store as it was.
    NodeId Add(NodeId parent, std::string_view key, std::string_view text);
    // The same in two steps, for a caller that announces the change in between: Prepare
    // checks the add and allocates all it needs, and may raise; Commit cannot fail. Nothing
    // else may change the store between the two, and text must stay alive until Commit.
    PreparedAdd Prepare(NodeId parent, std::string_view key, std::string_view text);
    NodeId Commit(PreparedAdd &&add) noexcept;
    const NodeKeys &Keys() const { return keys_; }
    NodeId FindKey(std::string_view key) const { return keys_.Find(key); }

    std::size_t Count() const { return count_; }
    std::string_view Text(NodeId id) const
    {
        const std::uint64_t t = node(id).text;
        const std::size_t length = t & LengthMask;
        if (length == 0)
            return {};
        return std::string_view(chunks_[t >> 48].get() + ((t >> 24) & PositionMask), length);
    }
    NodeId Parent(NodeId id) const { return node(id).parent; }
    // Position of the node among its parent's children, from 0.
    std::uint32_t Row(NodeId id) const { return node(id).row; }
    std::size_t ChildCount(NodeId parent) const;
    NodeId Child(NodeId parent, std::size_t row) const;

    // Changes at every Clear, so that holders of node numbers can tell a new tree.
    std::uint64_t Generation() const { return generation_; }
    std::size_t MemoryBytes() const;

private:
    // 16 bytes a node: a listing's nodes are mostly entry names, which have no children, and
    // the children of one node are mostly added in a row, so children are kept as runs of
    // consecutive node numbers beside the few nodes that have any.
    struct Node {
        NodeId parent;
        std::uint32_t row;
        std::uint64_t text; // chunk (16 bits) | position in chunk (24) | length (24)
    };
    struct Run {
        NodeId first;
        std::uint32_t rowStart;
        std::uint32_t count;
    };
    struct Children {
        std::vector<Run> runs;
        std::uint32_t total = 0;
    };
    static constexpr unsigned kBlockBits = 16; // nodes live in fixed blocks: growing never copies
    static constexpr std::uint64_t PositionMask = (std::uint64_t(1) << 24) - 1;
    static constexpr std::uint64_t LengthMask = (std::uint64_t(1) << 24) - 1;

    const Node &node(NodeId id) const
    {
        return blocks_[(id - 1) >> kBlockBits][(id - 1) & ((1u << kBlockBits) - 1)];
    }
    const Children *childrenOf(NodeId parent) const;

    std::vector<std::unique_ptr<Node[]>> blocks_;
    std::size_t count_ = 0;
    Children top_;
    std::unordered_map<NodeId, Children> children_;
    std::vector<bool> hasChildren_; // one bit a node
    mutable NodeId lastParent_ = 0; // the parent looked up last, and its children
    mutable Children *lastChildren_ = nullptr;
    std::vector<std::unique_ptr<char[]>> chunks_;
    std::size_t chunkUsed_ = 0;
    std::size_t chunkReady_ = 0; // bytes of the last chunk asked for ahead
    std::size_t chunkSize_ = 0;
    NodeKeys keys_;
    std::uint64_t generation_ = 0;
    std::size_t textBytes_ = 0;

public:
    // Everything one add allocates, held until it is committed or dropped.
    class PreparedAdd
    {
    private:
        friend class TreeStore;
        PreparedAdd() = default;
        NodeId parent_ = kRoot;
        std::string_view text_;
        Children *siblings_ = nullptr;
        NodeKeys::Entry key_;
        std::unique_ptr<Node[]> block_;
        std::unique_ptr<char[]> chunk_;
        std::size_t chunkSize_ = 0;
    };
};

// The node collection of the tree control, as the listing and the search use it. The
// program's tree control and the lister's plain store both offer it, so that they share
// every line of the code that fills and searches the tree.
class TreeNodes
{
public:
    enum Relationship { tvwFirst = 0, tvwLast = 1, tvwNext = 2, tvwPrevious = 3, tvwChild = 4 };

    virtual ~TreeNodes() = default;
    virtual void Clear() = 0;
    // Relative empty: a top-level node. Otherwise the node with key Relative, and only
    // tvwChild is supported. Raises TreeError when Relative names no node or Key is taken.
    virtual NodeId Add(std::string_view relative, int relationship, std::string_view key,
                       std::string_view text) = 0;
    virtual std::size_t Count() const = 0;
    virtual std::string_view Text(NodeId node) const = 0;
    virtual void Select(NodeId node) = 0;
    virtual void EnsureVisible(NodeId node) = 0;
    virtual void SetFocus() = 0;
    virtual std::uint64_t Generation() const = 0;
};

// A TreeNodes without a window: the lister's tree. The selection is recorded.
class PlainTreeNodes : public TreeNodes
{
public:
    void Clear() override;
    NodeId Add(std::string_view relative, int relationship, std::string_view key,
               std::string_view text) override;
    std::size_t Count() const override { return store_.Count(); }
    std::string_view Text(NodeId node) const override { return store_.Text(node); }
    void Select(NodeId node) override { selected_ = node; }
    void EnsureVisible(NodeId) override {}
    void SetFocus() override {}
    std::uint64_t Generation() const override { return store_.Generation(); }

    const TreeStore &Store() const { return store_; }
    NodeId Selected() const { return selected_; }

private:
    TreeStore store_;
    NodeId selected_ = 0;
};

} // namespace platform
