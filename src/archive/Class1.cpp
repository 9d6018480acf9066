#include "Class1.h"

#include <algorithm>

#include "Module1.h"
#include "UnZip32Binding.h"

namespace Module1
{
std::string_view TrimAtNul(std::string_view s)
{
    return s.substr(0, s.find('\0'));
}
} // namespace Module1

namespace
{

// Closes what a passed check opened, exactly once, whatever the handle and however the listing
// ends.
class ArchiveCloser
{
public:
    ArchiveCloser(archive::CloseArchive::Type close, std::int32_t handle)
        : close_(close), handle_(handle)
    {
    }
    ArchiveCloser(const ArchiveCloser &) = delete;
    ArchiveCloser &operator=(const ArchiveCloser &) = delete;
    ~ArchiveCloser() { close_(handle_); }

private:
    archive::CloseArchive::Type close_;
    std::int32_t handle_;
};

} // namespace

qint32 Class1::GetFile(qint32 hWnd, const QByteArray &strFile)
{
    using namespace archive;
    qint32 count = 0;
    EntryInfo record{};
    // A path with a NUL byte names no file; the library would see only the part before it.
    if (strFile.contains('\0'))
        return 0;
    const char *path = strFile.constData();
    if (Bound<CheckArchive>()(path, UNZIP_CHECK_FULL) == 0)
        return 0;
    // Bound before the open, so that an archive that could not be closed is never opened.
    const auto close = Bound<CloseArchive>();
    const std::int32_t handle = Bound<OpenArchive>()(hWnd, path, UNZIP_OPEN_NAMES);
    const ArchiveCloser closer(close, handle);
    if (handle > 0) {
        // One record for the whole listing: each find gets what the previous one left in it.
        for (std::int32_t found = Bound<FindFirst>()(handle, "*.*", &record); found == 0;
             found = Bound<FindNext>()(handle, &record)) {
            count = NextEntryCount(count);
            if (!Module1::EntryNames)
                throw std::runtime_error("GetFile: EntryNames holds no list");
            Module1::EntryNames->Add(
                Module1::TrimAtNul(std::string_view(record.szFileName, sizeof record.szFileName)));
        }
    }
    return count;
}

qint32 Class1::UnZipProc(qint32 hWnd, QByteArray &szCmdLine, QByteArray &szOutput, qint32 dwSize)
{
    const auto unzip = archive::Bound<archive::UnZipCommand>();
    QByteArray command = szCmdLine;
    QByteArray output = szOutput;
    output.detach();
    // The library trusts the size it is given; never let it write past the buffer.
    const qint32 size = qint32(std::min<qsizetype>(dwSize, output.size()));
    const qint32 result = unzip(hWnd, command.constData(), output.data(), size);
    szCmdLine = command;
    szOutput = output;
    return result;
}
