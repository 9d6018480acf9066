// The lister's tree for a plain listing: each node is printed as it is added, in node order,
// and only what adding needs is kept (the keys), so that a listing of millions of entries
// never holds them all.
#pragma once

#include <stdexcept>
#include <string>
#include <unordered_map>

#include "Output.h"
#include "TreeStore.h"

namespace lister
{

class PrintingTreeNodes : public platform::TreeNodes
{
public:
    explicit PrintingTreeNodes(Output &out) : out_(out) {}

    void Clear() override
    {
        keys_.clear();
        count_ = 0;
        lastRelative_.clear();
        ++generation_;
    }

    platform::NodeId Add(std::string_view relative, int relationship, std::string_view key,
                         std::string_view text) override
    {
        if (!relative.empty() && relative != lastRelative_) {
            if (relationship != tvwChild)
                throw platform::TreeError("Invalid relationship: only child nodes are supported");
            if (keys_.find(std::string(relative)) == keys_.end())
                throw platform::TreeError("Element not found");
            lastRelative_.assign(relative);
        }
        const platform::NodeId id = platform::NodeId(count_ + 1);
        if (!key.empty() && !keys_.try_emplace(std::string(key), id).second)
            throw platform::TreeError("Key is not unique in collection");
        ++count_;
        if (!relative.empty())
            out_.Raw("\t");
        out_.Escaped(text);
        out_.Raw("\n");
        return id;
    }

    std::size_t Count() const override { return count_; }
    std::string_view Text(platform::NodeId) const override
    {
        throw std::logic_error("the printed tree keeps no texts");
    }
    void Select(platform::NodeId) override {}
    void EnsureVisible(platform::NodeId) override {}
    void SetFocus() override {}
    std::uint64_t Generation() const override { return generation_; }

private:
    Output &out_;
    std::unordered_map<std::string, platform::NodeId> keys_;
    std::size_t count_ = 0;
    std::string lastRelative_;
    std::uint64_t generation_ = 1;
};

} // namespace lister
