#include "FindZipFiles.h"

#include "Module1.h"

namespace Module1 {
void FindZipFiles(std::string) {}
} // namespace Module1
