// Search items ("index, one space, text") and the two options of the search window.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "TextConv.h"

namespace search
{

// The item of node index with that text: "12 docs/read me.txt".
std::string MakeSearchItem(std::size_t index, std::string_view text);

struct SearchItemParts {
    std::string_view index; // up to and including the first space
    std::string_view text;  // everything after it: the node's whole text
};

// Splits at the first space only. An item without a space is all index and no text.
SearchItemParts SplitSearchItem(std::string_view item);

// The numeric value of the item's leading digits; 0 when there are none or too many.
std::size_t SearchItemIndex(std::string_view item);

// The check boxes: each holds 0 (off), 1 (on) or 2 (greyed), and only 1 counts as on.
struct SearchOptions {
    bool distinction = false; // CheckDistinction: tell upper from lower case
    bool allHalf = false;     // CheckAllHalf: tell full-width from half-width

    static SearchOptions FromChecks(int checkDistinction, int checkAllHalf)
    {
        return {checkDistinction == 1, checkAllHalf == 1};
    }

    // The conversion applied to both the node text and the search text.
    platform::Conversion Conversion() const
    {
        if (distinction)
            return allHalf ? platform::Conversion::None : platform::Conversion::Narrow;
        return allHalf ? platform::Conversion::LowerCase : platform::Conversion::LowerNarrow;
    }
};

} // namespace search
