// The search's shared state and find-next, without windows: the search window and the lister
// share it. The window forwards its events here and shows the message box when a find ends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "SearchItem.h"
#include "TextConv.h"
#include "TreeStore.h"

namespace search
{

inline constexpr const char *kSearchEndedText = "検索終了";
inline constexpr const char *kSearchEndedTitle = "Infomation";

inline constexpr std::int16_t kFlagTrue = -1;
inline constexpr std::int16_t kFlagFalse = 0;

// One search item per tree node, item k describing node k. Nodes are only ever added to a
// tree until its next Clear, which changes its generation, so a reference to the tree with its
// generation and node count stands for a copy of the items for as long as that generation
// lasts. Texts can be read only while Describes() holds for the tree.
class SearchSource
{
public:
    explicit SearchSource(const platform::TreeNodes &nodes)
        : nodes_(&nodes), generation_(nodes.Generation()), count_(nodes.Count())
    {
    }

    std::size_t Count() const { return count_; }
    std::string_view Text(std::size_t k) const { return nodes_->Text(platform::NodeId(k)); }
    std::string Item(std::size_t k) const { return MakeSearchItem(k, Text(k)); }

    // True while the tree still holds every node this source was taken from.
    bool Describes(const platform::TreeNodes &nodes) const
    {
        return &nodes == nodes_ && nodes.Generation() == generation_ && nodes.Count() >= count_;
    }
    // Taken from the same tree before its next Clear, though maybe with fewer nodes.
    bool SameTreeAs(const SearchSource &other) const
    {
        return nodes_ == other.nodes_ && generation_ == other.generation_;
    }

private:
    const platform::TreeNodes *nodes_;
    std::uint64_t generation_;
    std::size_t count_;
};

// The items of a source not found yet, in source order. Each find removes the first remaining
// item that matches; the rest stay. Matching is done once per search text and conversion for
// all items, so that stepping through the matches costs one pass, not one pass per find: the
// remaining items before the first remaining match are exactly the ones that do not match.
class SearchRemaining
{
public:
    explicit SearchRemaining(const SearchSource &source);

    std::size_t Count() const { return source_.Count() - removedCount_; }
    bool Contains(std::size_t k) const
    {
        return k >= 1 && k <= source_.Count() && !(removed_[(k - 1) / 64] >> ((k - 1) % 64) & 1);
    }
    // The items themselves, as the list holds them; only while the source's tree lasts.
    std::vector<std::string> Items() const;
    const SearchSource &Source() const { return source_; }

    // The source index of the first remaining item whose converted text contains the
    // converted search text, or 0. The search text must not be empty.
    std::size_t FirstMatch(std::u16string_view text, platform::Conversion conversion);
    void Remove(std::size_t k);

private:
    void match(platform::Conversion conversion);

    SearchSource source_;
    std::vector<std::uint64_t> removed_; // bit k-1 set: item k was found
    std::size_t removedCount_ = 0;

    // The matches of the remaining items for one converted search text, in order; those
    // before cursor_ have been removed.
    bool matched_ = false;
    platform::Conversion conversion_ = platform::Conversion::None;
    std::u16string needle_;
    std::vector<platform::NodeId> matches_;
    std::size_t cursor_ = 0;
};

enum class FindOutcome {
    Ignored, // empty search text: nothing happened
    Found,   // node selected, shown and focused, its item removed
    Ended,   // nothing (more) matches: the window shows kSearchEndedText
};

struct FindResult {
    FindOutcome outcome = FindOutcome::Ignored;
    platform::NodeId node = 0;
};

// The search's state across windows and its handlers. A find always works on the tree that
// Command2_Click last named: when that tree was cleared since the items were taken, the find
// takes them again and starts from the first node, so that no node number of an old tree is
// ever used on a new one.
class SearchEngine
{
public:
    // The main window's search button: takes the items of the tree. The caller then shows
    // the search window, which calls FormLoaded when it is loaded anew.
    void Command2_Click(platform::TreeNodes &nodes);
    void FormLoaded() { dirty_ = kFlagTrue; }
    void TextChanged() { dirty_ = kFlagTrue; }
    void OptionChanged() { dirty_ = kFlagTrue; }
    // The search window's cancel button, before the window unloads.
    void Cancel() { source_.reset(); }
    // The main window is going away: later finds have no tree and end at once.
    void TreeGone();

    // Find next. On a match the node is selected, made visible and given the focus on the
    // tree, in that order, and then its item is removed.
    FindResult FindNext(std::u16string_view text, int checkDistinction, int checkAllHalf);

    std::int16_t SearchDirty() const { return dirty_; }
    // Null while there is none.
    const search::SearchSource *Source() const { return source_ ? &*source_ : nullptr; }
    const search::SearchRemaining *Remaining() const { return remaining_ ? &*remaining_ : nullptr; }

private:
    platform::TreeNodes *tree_ = nullptr;
    std::optional<search::SearchSource> source_;
    std::optional<search::SearchRemaining> remaining_;
    std::int16_t dirty_ = kFlagFalse;
};

} // namespace search
