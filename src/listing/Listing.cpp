#include "Listing.h"

#include <QMetaObject>
#include <charconv>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <optional>

#include "Class1.h"
#include "FindZipFiles.h"
#include "Module1.h"
#include "ReadAhead.h"
#include "Rejection.h"
#include "UnZip32Binding.h"

namespace listing
{

namespace
{

const ReadAheadCalls *g_testCalls = nullptr;
ReadAheadLimits g_limits;

// The archive library's read-ahead; no calls when it has none. Shares reasons with workers
// that may outlive the run.
ReadAheadCalls LibraryCalls(const std::shared_ptr<RejectionReasons> &reasons)
{
    ReadAheadCalls calls;
    if (g_testCalls) {
        calls = *g_testCalls;
    } else {
        const archive::ReadAheadFunctions f = archive::OptionalReadAhead();
        if (!f.readAhead)
            return {};
        calls = {f.readAhead, f.drop};
    }
    if (calls.fetch)
        calls.fetch = [fetch = std::move(calls.fetch), reasons](const char *path) {
            const std::int64_t held = fetch(path);
            // 0: read, and no archive; the check will say so without reading.
            if (held == 0) {
                try {
                    reasons->Ask(path);
                } catch (const std::bad_alloc &) {
                    // The listing asks itself.
                }
            }
            return held;
        };
    return calls;
}

// Hands the archives the scan has appended since the last call to the read-ahead, started at
// the first one, so that a share's round trips overlap from the start. The pool gets copies:
// the list itself is only touched on this thread.
class ReadAheadFeed
{
public:
    void Update()
    {
        const Module1::StringList &list = *Module1::ArchiveList;
        const std::size_t count = list.Count();
        if (count == handed_)
            return;
        if (!pool_ && !off_) {
            ReadAheadCalls calls = LibraryCalls(reasons_);
            off_ = !calls.fetch;
            if (!off_)
                pool_.emplace(std::move(calls), g_limits);
        }
        if (pool_)
            for (std::size_t i = handed_ + 1; i <= count; ++i)
                pool_->Add(list.Item(i));
        handed_ = count;
    }
    bool Reached(std::size_t i, const std::function<bool()> &keepWaiting)
    {
        return !pool_ || pool_->Reached(i, keepWaiting);
    }
    // Why the reader rejected the archive at path.
    std::optional<int> Reason(const std::string &path) { return reasons_->Take(path); }

private:
    std::shared_ptr<RejectionReasons> reasons_ = std::make_shared<RejectionReasons>();
    std::optional<ReadAheadPool> pool_;
    bool off_ = false;
    std::size_t handed_ = 0;
};

} // namespace

void SetReadAheadForTesting(const ReadAheadCalls *calls, ReadAheadLimits limits)
{
    g_testCalls = calls;
    g_limits = limits;
}

std::string DisplayPath(std::string_view path)
{
    return QString::fromUtf8(path.data(), qsizetype(path.size())).toStdString();
}

bool ListFolder(const std::string &folder, platform::TreeNodes &nodes, RunView &view)
{
    using namespace Module1;
    ArchiveList.emplace();
    ArchiveCount = 0;
    SkippedFolders.clear();
    RejectedArchives.clear();
    bool stopped = false;
    // For the whole run, the scan included; it stops when the run ends, however it ends.
    ReadAheadFeed readAhead;
    view.ScanStarted();
    {
        // A scan of a big or slow folder tree takes a while: the view keeps painting meanwhile.
        discovery::ScopedFolderHook hook([&] {
            readAhead.Update();
            return !(stopped = !view.KeepGoing());
        });
        discovery::ScopedWaitHook wait([&] { return !(stopped = !view.KeepWaiting()); });
        FindZipFiles(folder);
    }
    view.ScanEnded();
    if (stopped || ArchiveCount <= 0)
        return false;

    view.SetProgressMax(float(ArchiveCount));
    view.SetProgressVisible(true);
    view.FillStarted();
    // An error ends the run, but what it added stays and the view is told the fill ended.
    // Not from a destructor: ending a fill lays out the view, which can run out of memory.
    try {
        // The reader is reached by name, on an object whose class this code does not fix.
        Class1 reader;
        QObject *archiveReader = &reader;
        const std::int32_t hWnd = view.WindowHandle();
        const std::size_t n = ArchiveList->Count();
        std::string key = "R";
        // Each archive gets a fresh list made from the last one's buffers, so that the names of
        // a big archive are not paid for again in fresh memory at every archive after it.
        StringList reused;
        readAhead.Update();
        const std::function<bool()> keepWaiting = [&view] { return view.KeepWaiting(); };
        for (std::size_t i = 1; i <= n; ++i) {
            if (!readAhead.Reached(i, keepWaiting))
                break;
            reused.Clear();
            EntryNames.emplace(std::move(reused));
            const std::string_view path = ArchiveList->Item(i);
            qint32 r = 0;
            const QByteArray strFile(path.data(), qsizetype(path.size()));
            const bool called = QMetaObject::invokeMethod(
                archiveReader, "GetFile", Qt::DirectConnection, Q_RETURN_ARG(qint32, r),
                Q_ARG(qint32, hWnd), Q_ARG(QByteArray, strFile));
            if (!called)
                throw std::runtime_error("GetFile cannot be called on the archive reader");
            // "R" stays and the digits follow: GCC 12 warns falsely of overlapping copies when
            // the key is assigned anew.
            char digits[24];
            key.resize(1);
            key.append(digits, std::to_chars(digits, std::end(digits), i).ptr);
            const std::string text = view.ArchiveText(path);
            if (r < 1) {
                if (const std::optional<int> why = readAhead.Reason(std::string(path)))
                    RejectedArchives.push_back({std::string(path), *why});
                nodes.Add({}, 0, key, text);
                nodes.EnsureVisible(
                    nodes.Add(key, platform::TreeNodes::tvwChild, {}, kRejectionText));
            } else {
                platform::NodeId last = nodes.Add({}, 0, key, text);
                const std::size_t m = EntryNames->Count();
                for (std::size_t j = 1; j <= m; ++j)
                    last = nodes.Add(key, platform::TreeNodes::tvwChild, {}, EntryNames->Item(j));
                nodes.EnsureVisible(last);
            }
            reused = std::move(*EntryNames);
            EntryNames.reset();
            view.SetProgressValue(float(i));
            if (!view.KeepGoing())
                break;
        }
    } catch (...) {
        view.FillEnded();
        throw;
    }
    view.FillEnded();
    view.SetTreeStyle(6, 1);
    view.SetProgressVisible(false);
    ArchiveList.reset();
    return true;
}

} // namespace listing
