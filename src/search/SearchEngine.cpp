#include "SearchEngine.h"

namespace search
{

SearchRemaining::SearchRemaining(const SearchSource &source)
    : source_(source), removed_((source.Count() + 63) / 64, 0)
{
}

std::vector<std::string> SearchRemaining::Items() const
{
    std::vector<std::string> items;
    items.reserve(Count());
    for (std::size_t k = 1; k <= source_.Count(); ++k)
        if (Contains(k))
            items.push_back(source_.Item(k));
    return items;
}

void SearchRemaining::match(platform::Conversion conversion)
{
    matches_.clear();
    cursor_ = 0;
    std::u16string scratch;
    const std::size_t n = source_.Count();
    for (std::size_t k = 1; k <= n; ++k) {
        if (!Contains(k))
            continue;
        const std::u16string_view text =
            platform::ConvertUtf8(source_.Text(k), conversion, scratch);
        if (text.find(needle_) != std::u16string_view::npos)
            matches_.push_back(platform::NodeId(k));
    }
}

std::size_t SearchRemaining::FirstMatch(std::u16string_view text, platform::Conversion conversion)
{
    std::u16string needle = platform::Convert(text, conversion);
    if (!matched_ || conversion != conversion_ || needle != needle_) {
        needle_ = std::move(needle);
        conversion_ = conversion;
        match(conversion);
        matched_ = true;
    }
    while (cursor_ < matches_.size() && !Contains(matches_[cursor_]))
        ++cursor_;
    return cursor_ < matches_.size() ? matches_[cursor_] : 0;
}

void SearchRemaining::Remove(std::size_t k)
{
    if (!Contains(k))
        return;
    removed_[(k - 1) / 64] |= std::uint64_t(1) << ((k - 1) % 64);
    ++removedCount_;
}

void SearchEngine::Command2_Click(platform::TreeNodes &nodes)
{
    tree_ = &nodes;
    source_.emplace(nodes);
}

void SearchEngine::TreeGone()
{
    tree_ = nullptr;
    source_.reset();
    remaining_.reset();
}

FindResult SearchEngine::FindNext(std::u16string_view text, int checkDistinction, int checkAllHalf)
{
    if (text.empty())
        return {FindOutcome::Ignored, 0};
    if (!tree_ || !source_)
        return {FindOutcome::Ended, 0};
    // The tree was cleared (a listing ran) since the items were taken: take them again.
    if (!source_->Describes(*tree_))
        source_.emplace(*tree_);
    // A list from another tree, or from before a Clear, names nodes that are gone: start over.
    if (dirty_ != kFlagFalse || !remaining_ || !remaining_->Source().SameTreeAs(*source_)) {
        remaining_.emplace(*source_);
        dirty_ = kFlagFalse;
    }

    const platform::Conversion conversion =
        SearchOptions::FromChecks(checkDistinction, checkAllHalf).Conversion();
    const std::size_t k = remaining_->FirstMatch(text, conversion);
    if (k == 0)
        return {FindOutcome::Ended, 0};
    const platform::NodeId node = platform::NodeId(k);
    tree_->Select(node);
    tree_->EnsureVisible(node);
    tree_->SetFocus();
    remaining_->Remove(k);
    return {FindOutcome::Found, node};
}

} // namespace search
