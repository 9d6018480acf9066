#include "Class1.h"

#include "Module1.h"

namespace Module1 {
std::string_view TrimAtNul(std::string_view s) { return s.substr(0, s.find('\0')); }
} // namespace Module1

qint32 Class1::GetFile(qint32, const QByteArray &) { return 0; }
qint32 Class1::UnZipProc(qint32, QByteArray &, QByteArray &, qint32) { return 0; }

namespace archive {
void SetLibraryPathForTesting(const std::string &) {}
} // namespace archive
