#include "SearchItem.h"

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

} // namespace search
