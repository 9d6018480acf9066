#pragma once

#include <stdexcept>

namespace platform
{

// An invalid property value given to a control, as the control raises it.
class PropertyError : public std::invalid_argument
{
public:
    using std::invalid_argument::invalid_argument;
};

} // namespace platform
