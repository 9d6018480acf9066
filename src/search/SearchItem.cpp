#include "SearchItem.h"

#include <charconv>

namespace search
{

std::string MakeSearchItem(std::size_t index, std::string_view text)
{
    std::string item = std::to_string(index);
    item.reserve(item.size() + 1 + text.size());
    item += ' ';
    item += text;
    return item;
}

SearchItemParts SplitSearchItem(std::string_view item)
{
    const std::size_t space = item.find(' ');
    if (space == std::string_view::npos)
        return {item, {}};
    return {item.substr(0, space + 1), item.substr(space + 1)};
}

std::size_t SearchItemIndex(std::string_view item)
{
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), value);
    (void)end;
    return error == std::errc() ? value : 0;
}

} // namespace search
