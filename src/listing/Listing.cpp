#include "Listing.h"

#include <QMetaObject>
#include <charconv>
#include <chrono>
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
    // Whether archive i has been read ahead, so that taking it now costs no round trip. Only
    // where reads are round trips: a scan of a local disk is quick, and its archives are listed
    // after it, in one count. And never the last archive found: it is listed once the scan has
    // found the next ones and handed them on, so that their reads are under way meanwhile.
    bool Read(std::size_t i) const
    {
        return pool_ && i < handed_ && pool_->RoundTrips() && pool_->Read(i);
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

namespace
{

// Adds archive after archive to the tree, in list order.
class ArchiveFill
{
public:
    ArchiveFill(platform::TreeNodes &nodes, RunView &view, ReadAheadFeed &readAhead)
        : nodes_(nodes), view_(view), readAhead_(readAhead), hWnd_(view.WindowHandle())
    {
    }

    std::size_t Filled() const { return filled_; }
    bool Started() const { return started_; }

    // Archives up to n, as far as the view lets the run go on. wait: for archives still being
    // read ahead too; otherwise only as far as the reads ahead have come, and for a short
    // while, so that a scan still running gets back to its folders.
    bool Fill(std::size_t n, bool wait)
    {
        const auto until = std::chrono::steady_clock::now() + kFillSlice;
        while (filled_ < n) {
            const std::size_t i = filled_ + 1;
            if (!wait && (!readAhead_.Read(i) || std::chrono::steady_clock::now() >= until))
                return true;
            if (!readAhead_.Reached(i, keepWaiting_))
                return false;
            Start();
            Add(i);
            filled_ = i;
            if (counted_)
                view_.SetProgressValue(float(i));
            if (!view_.KeepGoing())
                return false;
        }
        return true;
    }

    // Tells the view, once, before the first archive.
    void Start()
    {
        if (!started_)
            view_.FillStarted();
        started_ = true;
    }
    // From now on each archive moves the progress bar.
    void Counted() { counted_ = true; }

private:
    // While the scan runs, fills take turns with it in slices this long.
    static constexpr auto kFillSlice = std::chrono::milliseconds(5);

    void Add(std::size_t i)
    {
        using namespace Module1;
        reused_.Clear();
        EntryNames.emplace(std::move(reused_));
        const std::string_view path = ArchiveList->Item(i);
        qint32 r = 0;
        const QByteArray strFile(path.data(), qsizetype(path.size()));
        // The reader is reached by name, on an object whose class this code does not fix.
        QObject *archiveReader = &reader_;
        const bool called = QMetaObject::invokeMethod(
            archiveReader, "GetFile", Qt::DirectConnection, Q_RETURN_ARG(qint32, r),
            Q_ARG(qint32, hWnd_), Q_ARG(QByteArray, strFile));
        if (!called)
            throw std::runtime_error("GetFile cannot be called on the archive reader");
        // "R" stays and the digits follow: GCC 12 warns falsely of overlapping copies when
        // the key is assigned anew.
        char digits[24];
        key_.resize(1);
        key_.append(digits, std::to_chars(digits, std::end(digits), i).ptr);
        const std::string text = view_.ArchiveText(path);
        if (r < 1) {
            if (const std::optional<int> why = readAhead_.Reason(std::string(path)))
                RejectedArchives.push_back({std::string(path), *why});
            nodes_.Add({}, 0, key_, text);
            nodes_.EnsureVisible(
                nodes_.Add(key_, platform::TreeNodes::tvwChild, {}, kRejectionText));
        } else {
            platform::NodeId last = nodes_.Add({}, 0, key_, text);
            const std::size_t m = EntryNames->Count();
            for (std::size_t j = 1; j <= m; ++j)
                last = nodes_.Add(key_, platform::TreeNodes::tvwChild, {}, EntryNames->Item(j));
            nodes_.EnsureVisible(last);
        }
        // The next archive's list is made from this one's buffers, so that the names of a big
        // archive are not paid for again in fresh memory at every archive after it.
        reused_ = std::move(*EntryNames);
        EntryNames.reset();
    }

    platform::TreeNodes &nodes_;
    RunView &view_;
    ReadAheadFeed &readAhead_;
    const std::function<bool()> keepWaiting_ = [this] { return view_.KeepWaiting(); };
    Class1 reader_;
    const std::int32_t hWnd_;
    std::string key_ = "R";
    Module1::StringList reused_;
    std::size_t filled_ = 0;
    bool started_ = false;
    bool counted_ = false;
};

} // namespace

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
    std::optional<ArchiveFill> fill;
    // An error ends the run, but what it added stays and the view is told the fill ended.
    // Not from a destructor: ending a fill lays out the view, which can run out of memory.
    try {
        fill.emplace(nodes, view, readAhead);
        view.ScanStarted();
        {
            // A scan of a big or slow folder tree takes a while: the view keeps painting
            // meanwhile, and on a share the archives read ahead so far are listed as it goes.
            discovery::ScopedFolderHook hook([&] {
                readAhead.Update();
                stopped = !fill->Fill(ArchiveList->Count(), false) || !view.KeepGoing();
                return !stopped;
            });
            // While the scan waits for a folder, the archives found so far go on being read
            // and listed.
            discovery::ScopedWaitHook wait([&] {
                readAhead.Update();
                stopped = !fill->Fill(ArchiveList->Count(), false) || !view.KeepWaiting();
                return !stopped;
            });
            FindZipFiles(folder);
        }
        view.ScanEnded();
        if (!stopped && ArchiveCount > 0) {
            view.SetProgressMax(float(ArchiveCount));
            view.SetProgressVisible(true);
            if (fill->Filled() > 0)
                view.SetProgressValue(float(fill->Filled()));
            fill->Counted();
            fill->Start();
            readAhead.Update();
            fill->Fill(ArchiveList->Count(), true);
        }
    } catch (...) {
        if (fill && fill->Started())
            view.FillEnded();
        throw;
    }
    if (!fill->Started())
        return false;
    view.FillEnded();
    view.SetTreeStyle(6, 1);
    view.SetProgressVisible(false);
    ArchiveList.reset();
    return true;
}

} // namespace listing
