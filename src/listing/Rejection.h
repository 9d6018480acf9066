// Why the reader rejected an archive, when the file says why: asked only after a rejection, so
// that listing a good archive costs nothing more.
#pragma once

#include <optional>
#include <string>

namespace listing
{

// An errno value when the file cannot be opened or read, 0 when it is empty (no bytes, or an end
// record and no entry), nothing when it is just not an archive. Never waits on a FIFO.
std::optional<int> RejectionReason(const std::string &path);

} // namespace listing
