#include "TreeStore.h"

#include <algorithm>
#include <cstring>

#include "Prefault.h"

namespace platform
{

namespace
{
constexpr std::size_t kChunkSize = std::size_t(1) << 24;
constexpr std::size_t kMaxTextLength = (std::size_t(1) << 24) - 1;
constexpr std::size_t kMaxChunks = std::size_t(1) << 16;
// Text pages are asked for this far ahead of the writes: a chunk's pages are fresh, and a
// window at a time costs less than a fault on each.
constexpr std::size_t kTextAhead = std::size_t(1) << 20;

// Capacity for one more element, grown geometrically, so that a later push_back cannot fail.
template <class Vector> void roomForOne(Vector &v)
{
    if (v.size() == v.capacity())
        v.reserve(std::max<std::size_t>(8, v.capacity() * 2));
}
} // namespace

TreeStore::TreeStore()
{
    Clear();
}

void TreeStore::Clear()
{
    // Swap with empties so that the memory of a big tree goes back at once.
    std::vector<std::unique_ptr<Node[]>>().swap(blocks_);
    count_ = 0;
    top_ = Children();
    std::unordered_map<NodeId, Children>().swap(children_);
    std::vector<bool>().swap(hasChildren_);
    lastParent_ = 0;
    lastChildren_ = nullptr;
    std::vector<std::unique_ptr<char[]>>().swap(chunks_);
    chunkUsed_ = chunkSize_ = chunkReady_ = 0;
    keys_.Clear();
    textBytes_ = 0;
    ++generation_;
}

const TreeStore::Children *TreeStore::childrenOf(NodeId parent) const
{
    if (parent == kRoot)
        return &top_;
    // Most nodes are leaves, and a view asks each of them for its children.
    if (!hasChildren_[parent - 1])
        return nullptr;
    // A view asks about the rows of one parent after another: the last one is kept at hand.
    if (parent == lastParent_ && lastChildren_)
        return lastChildren_;
    auto it = children_.find(parent);
    if (it == children_.end())
        return nullptr;
    lastParent_ = parent;
    // The store itself is not const; only this lookup is.
    lastChildren_ = const_cast<Children *>(&it->second);
    return lastChildren_;
}

TreeStore::PreparedAdd TreeStore::Prepare(NodeId parent, std::string_view key,
                                          std::string_view text)
{
    if (parent > count_)
        throw TreeError("Element not found");
    if (count_ >= UINT32_MAX - 1)
        throw TreeError("Out of memory");
    if (text.size() > kMaxTextLength)
        throw TreeError("Text too long");
    if (chunks_.size() == kMaxChunks && chunkUsed_ + text.size() > chunkSize_)
        throw TreeError("Out of memory");
    keys_.CheckFree(key);
    // Only capacity and memory not in use change from here on, which no reader sees.
    PreparedAdd add;
    add.parent_ = parent;
    add.text_ = text;
    const NodeId id = NodeId(count_ + 1);
    add.key_ = keys_.Prepare(key, id);
    // An entry for a parent whose bit is not set yet is never read.
    add.siblings_ = parent == kRoot ? &top_ : &children_[parent];
    const std::vector<Run> &runs = add.siblings_->runs;
    if (runs.empty() || runs.back().first + runs.back().count != id)
        roomForOne(add.siblings_->runs);
    roomForOne(hasChildren_);
    if ((count_ >> kBlockBits) == blocks_.size()) {
        roomForOne(blocks_);
        add.block_ = std::make_unique_for_overwrite<Node[]>(std::size_t(1) << kBlockBits);
        // A block is filled node after node: its pages are asked for at once.
        PrefaultWritable(add.block_.get(), sizeof(Node) << kBlockBits);
    }
    if (!text.empty() && (chunks_.empty() || chunkUsed_ + text.size() > chunkSize_)) {
        // A text longer than a chunk gets a chunk of its own size. Pages of a chunk that are
        // never written are never touched, so a fresh chunk costs nothing until it is used.
        roomForOne(chunks_);
        add.chunkSize_ = std::max(kChunkSize, text.size());
        add.chunk_ = std::make_unique_for_overwrite<char[]>(add.chunkSize_);
    }
    return add;
}

NodeId TreeStore::Add(NodeId parent, std::string_view key, std::string_view text)
{
    return Commit(Prepare(parent, key, text));
}

NodeId TreeStore::Commit(PreparedAdd &&add) noexcept
{
    const NodeId id = NodeId(count_ + 1);
    keys_.Insert(std::move(add.key_));
    if (add.block_)
        blocks_.push_back(std::move(add.block_));
    if (add.chunk_) {
        chunks_.push_back(std::move(add.chunk_));
        chunkSize_ = add.chunkSize_;
        chunkUsed_ = 0;
        chunkReady_ = 0;
    }
    Children &siblings = *add.siblings_;
    if (!siblings.runs.empty() && siblings.runs.back().first + siblings.runs.back().count == id)
        ++siblings.runs.back().count;
    else
        siblings.runs.push_back({id, siblings.total, 1});
    if (add.parent_ != kRoot) {
        hasChildren_[add.parent_ - 1] = true;
        lastParent_ = add.parent_;
        lastChildren_ = &siblings;
    }
    hasChildren_.push_back(false);

    Node &n = blocks_[count_ >> kBlockBits][count_ & ((1u << kBlockBits) - 1)];
    n.parent = add.parent_;
    n.row = siblings.total++;
    n.text = 0;
    if (!add.text_.empty()) {
        n.text = (std::uint64_t(chunks_.size() - 1) << 48) | (std::uint64_t(chunkUsed_) << 24) |
                 add.text_.size();
        const std::size_t end = chunkUsed_ + add.text_.size();
        if (end > chunkReady_) {
            const std::size_t ready = std::min(chunkSize_, std::max(end, chunkReady_ + kTextAhead));
            PrefaultWritable(chunks_.back().get() + chunkReady_, ready - chunkReady_);
            chunkReady_ = ready;
        }
        std::memcpy(chunks_.back().get() + chunkUsed_, add.text_.data(), add.text_.size());
        chunkUsed_ += add.text_.size();
        textBytes_ += add.text_.size();
    }
    ++count_;
    return id;
}

std::size_t TreeStore::ChildCount(NodeId parent) const
{
    const Children *c = childrenOf(parent);
    return c ? c->total : 0;
}

NodeId TreeStore::Child(NodeId parent, std::size_t row) const
{
    const std::vector<Run> &runs = childrenOf(parent)->runs;
    const Run &last = runs.back();
    if (row >= last.rowStart)
        return NodeId(last.first + (row - last.rowStart));
    auto it = std::upper_bound(runs.begin(), runs.end(), row,
                               [](std::size_t r, const Run &run) { return r < run.rowStart; });
    const Run &run = *(it - 1);
    return NodeId(run.first + (row - run.rowStart));
}

std::size_t TreeStore::MemoryBytes() const
{
    std::size_t bytes = blocks_.size() * (sizeof(Node) << kBlockBits);
    bytes += top_.runs.capacity() * sizeof(Run);
    for (const auto &[id, c] : children_)
        bytes += c.runs.capacity() * sizeof(Run) + sizeof(c) + 32;
    bytes += chunks_.empty() ? 0 : (chunks_.size() - 1) * kChunkSize + chunkUsed_;
    bytes += keys_.Count() * 64;
    return bytes;
}

void NodeKeys::Clear()
{
    keys_.clear();
    lastKey_.clear();
    lastNode_ = 0;
}

NodeId NodeKeys::Parent(std::string_view relative, int relationship) const
{
    if (relative.empty())
        return TreeStore::kRoot;
    if (relationship != TreeNodes::tvwChild)
        throw TreeError("Invalid relationship: only child nodes are supported");
    if (lastNode_ == 0 || relative != lastKey_) {
        const NodeId found = Find(relative);
        if (found == 0)
            throw TreeError("Element not found");
        lastKey_.assign(relative);
        lastNode_ = found;
    }
    return lastNode_;
}

void NodeKeys::CheckFree(std::string_view key) const
{
    if (Find(key) != 0)
        throw TreeError("Key is not unique in collection");
}

NodeKeys::Entry NodeKeys::Prepare(std::string_view key, NodeId id)
{
    if (key.empty())
        return {};
    std::map<std::string, NodeId, std::less<>> one;
    one.emplace(std::string(key), id);
    return one.extract(one.begin());
}

void NodeKeys::Insert(Entry &&entry) noexcept
{
    if (!entry.empty())
        keys_.insert(std::move(entry));
}

NodeId NodeKeys::Find(std::string_view key) const
{
    if (key.empty())
        return 0;
    auto it = keys_.find(key);
    return it == keys_.end() ? 0 : it->second;
}

void PlainTreeNodes::Clear()
{
    store_.Clear();
    selected_ = 0;
}

NodeId PlainTreeNodes::Add(std::string_view relative, int relationship, std::string_view key,
                           std::string_view text)
{
    return store_.Add(store_.Keys().Parent(relative, relationship), key, text);
}

} // namespace platform
