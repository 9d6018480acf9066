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
