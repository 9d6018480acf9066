// The lister's tree for a plain listing: each node is printed as it is added, in node order,
// and only what adding needs is kept (the keys), so that a listing of millions of entries
// never holds them all.
#pragma once

#include <stdexcept>

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
        keys_.Clear();
        count_ = 0;
        ++generation_;
    }

    platform::NodeId Add(std::string_view relative, int relationship, std::string_view key,
                         std::string_view text) override
    {
        keys_.Parent(relative, relationship);
        keys_.CheckFree(key);
        const platform::NodeId id = platform::NodeId(count_ + 1);
        keys_.Insert(keys_.Prepare(key, id));
        count_ = id;
        if (!relative.empty())
            out_.Raw("\t");
        out_.Text(text);
        out_.EndNode();
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
    platform::NodeKeys keys_;
    std::size_t count_ = 0;
    std::uint64_t generation_ = 1;
};

} // namespace lister
