#include "TreeStore.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {
constexpr std::size_t ChunkSize = std::size_t(1) << 24;
}

TreeStore::TreeStore() { Clear(); }

void TreeStore::Clear()
{
    // Swap with empties so that the memory of a big tree goes back at once.
    std::vector<Node>().swap(nodes_);
    std::vector<std::vector<NodeId>>(1).swap(children_);
    chunks_.clear();
    chunkSizes_.clear();
    chunkUsed_ = 0;
    std::unordered_map<std::string, NodeId>().swap(keys_);
    textBytes_ = 0;
    ++generation_;
}

std::uint64_t TreeStore::storeText(std::string_view text)
{
    if (text.empty())
        return 0;
    if (chunks_.empty() || chunkUsed_ + text.size() > chunkSizes_.back()) {
        // A text longer than a chunk gets a chunk of its own size.
        const std::size_t size = std::max(ChunkSize, text.size());
        chunks_.push_back(std::make_unique_for_overwrite<char[]>(size));
        chunkSizes_.push_back(size);
        chunkUsed_ = 0;
    }
    const std::uint64_t at = (std::uint64_t(chunks_.size() - 1) << 32) | chunkUsed_;
    std::memcpy(chunks_.back().get() + chunkUsed_, text.data(), text.size());
    chunkUsed_ += text.size();
    textBytes_ += text.size();
    return at;
}

NodeId TreeStore::Add(NodeId parent, std::string_view key, std::string_view text)
{
    if (parent > nodes_.size())
        throw TreeError("Element not found");
    if (nodes_.size() >= UINT32_MAX - 1)
        throw TreeError("Out of memory");
    if (text.size() > UINT32_MAX)
        throw TreeError("Text too long");
    const NodeId id = NodeId(nodes_.size() + 1);
    if (!key.empty()) {
        auto [it, inserted] = keys_.try_emplace(std::string(key), id);
        if (!inserted)
            throw TreeError("Key is not unique in collection");
    }
    std::vector<NodeId> *siblings;
    if (parent == Root) {
        siblings = &children_[0];
    } else {
        Node &p = nodes_[parent - 1];
        if (p.children == NoChildren) {
            p.children = std::uint32_t(children_.size());
            children_.emplace_back();
        }
        siblings = &children_[p.children];
    }
    Node n;
    n.parent = parent;
    n.row = std::uint32_t(siblings->size());
    n.children = NoChildren;
    n.length = std::uint32_t(text.size());
    n.offset = storeText(text);
    siblings->push_back(id);
    nodes_.push_back(n);
    return id;
}

NodeId TreeStore::FindKey(std::string_view key) const
{
    if (key.empty())
        return 0;
    auto it = keys_.find(std::string(key));
    return it == keys_.end() ? 0 : it->second;
}

std::string_view TreeStore::Text(NodeId id) const
{
    const Node &n = nodes_[id - 1];
    if (n.length == 0)
        return {};
    return std::string_view(chunks_[n.offset >> 32].get() + (n.offset & 0xffffffffu), n.length);
}

std::size_t TreeStore::ChildCount(NodeId parent) const
{
    if (parent == Root)
        return children_[0].size();
    const Node &p = nodes_[parent - 1];
    return p.children == NoChildren ? 0 : children_[p.children].size();
}

NodeId TreeStore::Child(NodeId parent, std::size_t row) const
{
    if (parent == Root)
        return children_[0][row];
    return children_[nodes_[parent - 1].children][row];
}

std::size_t TreeStore::MemoryBytes() const
{
    std::size_t bytes = nodes_.capacity() * sizeof(Node);
    for (const auto &c : children_)
        bytes += c.capacity() * sizeof(NodeId) + sizeof(c);
    for (std::size_t s : chunkSizes_)
        bytes += s;
    bytes += keys_.size() * 64;
    return bytes;
}

NodeId ResolveParent(const TreeStore &store, std::string_view relative, int relationship,
                     std::string &cachedKey, NodeId &cachedNode)
{
    if (relative.empty())
        return TreeStore::Root;
    if (relationship != TreeNodes::tvwChild)
        throw TreeError("Invalid relationship: only child nodes are supported");
    if (cachedNode == 0 || relative != cachedKey) {
        cachedNode = store.FindKey(relative);
        if (cachedNode == 0)
            throw TreeError("Element not found");
        cachedKey.assign(relative);
    }
    return cachedNode;
}

void PlainTreeNodes::Clear()
{
    store_.Clear();
    selected_ = visible_ = lastRelative_ = 0;
    lastRelativeKey_.clear();
}

NodeId PlainTreeNodes::Add(std::string_view relative, int relationship, std::string_view key,
                           std::string_view text)
{
    const NodeId parent = ResolveParent(store_, relative, relationship, lastRelativeKey_, lastRelative_);
    return store_.Add(parent, key, text);
}

} // namespace platform
