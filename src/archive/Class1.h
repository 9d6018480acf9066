// The archive entry reader: the program's only contact with the archive library.
#pragma once

#include <QByteArray>
#include <QObject>
#include <string>
#include <string_view>

namespace Module1
{
// The text before the first NUL character.
std::string_view TrimAtNul(std::string_view s);
} // namespace Module1

class Class1 : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // Appends the entry names of the archive at strFile (file-system bytes) to
    // Module1::EntryNames and returns their number; 0 when the file is no archive, cannot be
    // opened or yields no entry.
    Q_INVOKABLE qint32 GetFile(qint32 hWnd, const QByteArray &strFile);
    // Hands a command line to the library's UnZip; szOutput comes back at its full length.
    Q_INVOKABLE qint32 UnZipProc(qint32 hWnd, QByteArray &szCmdLine, QByteArray &szOutput,
                                 qint32 dwSize);
};

namespace archive
{
// Loads the library from path instead of looking for it beside the executable, in the install's
// library folder and in the system's library path. Tests point this at a fake library; it must be
// set before the first library call.
void SetLibraryPathForTesting(const std::string &path);
} // namespace archive
