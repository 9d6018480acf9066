// Running out of memory during a listing run, at each allocation of the run in turn: the run
// ends with the tree as it stood and 「メモリが足りません」, and the program goes on.
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <link.h>
#include <new>
#include <unwind.h>

#include "Form1.h"
#include "Listing.h"
#include "Module1.h"
#include "TreeView.h"
#include "Unhandled.h"
#include "ZipWriter.h"

namespace
{

// The allocation-failure injector: while armed on a thread, the nth allocation by operator new
// on that thread fails. Other threads (a read-ahead helper) allocate as usual, and so does Qt
// itself: it is not written to survive an exception from inside it, so only the allocations
// of the program's own code, and of the C++ and ICU libraries it calls, are made to fail.
thread_local bool t_armed = false;
long g_allocations = 0;
long g_failAt = 0;

struct CodeRange {
    std::uintptr_t from, to;
};
std::vector<CodeRange> g_qt, g_library;

int noteCode(dl_phdr_info *info, std::size_t, void *)
{
    std::vector<CodeRange> *ranges = nullptr;
    if (std::strstr(info->dlpi_name, "libQt6") || std::strstr(info->dlpi_name, "/plugins/"))
        ranges = &g_qt;
    else if (std::strstr(info->dlpi_name, "libUnZip32"))
        ranges = &g_library;
    else
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            const std::uintptr_t from = info->dlpi_addr + segment.p_vaddr;
            ranges->push_back({from, from + segment.p_memsz});
        }
    }
    return 0;
}

bool within(const std::vector<CodeRange> &ranges, std::uintptr_t at)
{
    return std::any_of(ranges.begin(), ranges.end(),
                       [at](const CodeRange &r) { return at >= r.from && at < r.to; });
}

bool fromQt(const void *caller)
{
    return within(g_qt, reinterpret_cast<std::uintptr_t>(caller));
}

// The archive library answers with a result code at its C boundary, whatever went wrong inside
// it, so its allocations are left alone too: all made while it is on the stack, as the code
// that asks may lie elsewhere (the C++ library's, or a template's copy bound in another object).
bool inLibrary()
{
    bool found = false;
    _Unwind_Backtrace(
        [](_Unwind_Context *context, void *result) {
            if (!within(g_library, _Unwind_GetIP(context)))
                return _URC_NO_REASON;
            *static_cast<bool *>(result) = true;
            return _URC_END_OF_STACK;
        },
        &found);
    return found;
}

// Inlined into each operator new, so that the caller is the code that asked for memory.
#define FAIL_HERE()                                                                                \
    (t_armed && !fromQt(__builtin_return_address(0)) && !inLibrary() && ++g_allocations == g_failAt)

void *allocate(std::size_t size, std::size_t alignment = alignof(std::max_align_t))
{
    void *p = nullptr;
    if (posix_memalign(&p, std::max(alignment, sizeof(void *)), size ? size : 1) != 0)
        return nullptr;
    return p;
}

class Injection
{
public:
    explicit Injection(long failAt)
    {
        g_allocations = 0;
        g_failAt = failAt;
        t_armed = true;
    }
    ~Injection() { t_armed = false; }
    Injection(const Injection &) = delete;
    Injection &operator=(const Injection &) = delete;
};

// Qt's own event handling (painting, above all) is not written to survive an exception, so
// no allocation fails while it delivers an event; what the program's code calls in Qt
// directly (the model's signals, expanding, scrolling, laying out) still can.
class Application : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        const bool armed = t_armed;
        t_armed = false;
        const bool done = QApplication::notify(receiver, event);
        t_armed = armed;
        return done;
    }
};

} // namespace

void *operator new(std::size_t size)
{
    void *p = FAIL_HERE() ? nullptr : allocate(size);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new[](std::size_t size)
{
    void *p = FAIL_HERE() ? nullptr : allocate(size);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new(std::size_t size, std::align_val_t alignment)
{
    void *p = FAIL_HERE() ? nullptr : allocate(size, std::size_t(alignment));
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new[](std::size_t size, std::align_val_t alignment)
{
    void *p = FAIL_HERE() ? nullptr : allocate(size, std::size_t(alignment));
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept
{
    return FAIL_HERE() ? nullptr : allocate(size);
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept
{
    return FAIL_HERE() ? nullptr : allocate(size);
}
void operator delete(void *p) noexcept
{
    std::free(p);
}
void operator delete[](void *p) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete(void *p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept
{
    std::free(p);
}

namespace
{

// Every node as its parent's number and its text.
QStringList nodesOf(const platform::TreeStore &store)
{
    QStringList lines;
    for (platform::NodeId id = 1; id <= store.Count(); ++id)
        lines << QString::number(store.Parent(id)) + " " +
                     QString::fromUtf8(store.Text(id).data(), qsizetype(store.Text(id).size()));
    return lines;
}

// The views know every node the store holds, each under its parent.
bool viewsKnowEveryNode(const platform::TreeView &tree)
{
    const platform::TreeModel &model = tree.Model();
    const platform::TreeStore &store = model.Store();
    if (tree.Filling() || model.rowCount() != int(store.ChildCount(platform::TreeStore::kRoot)))
        return false;
    for (platform::NodeId id = 1; id <= store.Count(); ++id) {
        const QModelIndex index = model.IndexOf(id);
        if (!index.isValid() || model.rowCount(index) != int(store.ChildCount(id)) ||
            model.parent(index) != model.IndexOf(store.Parent(id)))
            return false;
    }
    return true;
}

} // namespace

class TestOutOfMemory : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp_;

private slots:
    void initTestCase()
    {
        QVERIFY(tmp_.isValid());
        QDir().mkpath(tmp_.filePath("sub"));
        using testsupport::ArchiveOf;
        QVERIFY(testsupport::WriteFile(tmp_.filePath("a.zip"),
                                       ArchiveOf({"one", "two", "dir/", "dir/three"}).Build()));
        QVERIFY(testsupport::WriteFile(tmp_.filePath("sub/b.zip"),
                                       ArchiveOf({"名前.txt"}, 0x0800).Build()));
        QVERIFY(testsupport::WriteFile(tmp_.filePath("c.zip"), "not an archive"));
    }

    void everyAllocationOfARunCanFail()
    {
        std::vector<std::string> reports;
        app::SetUnhandledErrorReporter([&reports](const std::string &m) { reports.push_back(m); });
        Form1 form;
        form.resize(500, 300);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        const std::string folder = QFile::encodeName(tmp_.path()).toStdString();
        const auto run = [&form, &folder] {
            app::Handler([&form, &folder] { form.OpenFolder(folder); })();
        };
        run();
        QCOMPARE(reports, std::vector<std::string>{});
        // Once a run has loaded all it uses.
        dl_iterate_phdr(noteCode, nullptr);
        QVERIFY(!g_qt.empty() && !g_library.empty());
        const QStringList whole = nodesOf(form.TreeView1->Model().Store());
        QCOMPARE(whole.size(), 9);

        long failAt = 0;
        form.SetListFunction(
            [&failAt](const std::string &f, platform::TreeNodes &nodes, listing::RunView &view) {
                const Injection injection(failAt);
                return listing::ListFolder(f, nodes, view);
            });
        bool failedInTheFill = false;
        for (failAt = 1;; ++failAt) {
            reports.clear();
            run();
            const platform::TreeView &tree = *form.TreeView1;
            const QStringList nodes = nodesOf(tree.Model().Store());
            if (g_allocations < failAt) {
                // The run went through: it needed fewer allocations than this.
                QCOMPARE(reports, std::vector<std::string>{});
                QCOMPARE(nodes, whole);
                break;
            }
            if (reports.empty()) {
                // Parts that can do without (reading ahead) went on without.
                QCOMPARE(nodes, whole);
                continue;
            }
            QCOMPARE(reports, std::vector<std::string>{"メモリが足りません"});
            // What was added stays, every node whole and known to the view.
            QCOMPARE(nodes, whole.first(nodes.size()));
            failedInTheFill |= !nodes.isEmpty();
            QVERIFY2(viewsKnowEveryNode(tree), qPrintable(QString::number(failAt)));
            QVERIFY(!form.Listing());
            QVERIFY(QApplication::overrideCursor() == nullptr);
            QVERIFY(form.isVisible());
        }
        QVERIFY(failedInTheFill);
        qInfo("%ld allocations in a run, each made to fail once", failAt - 1);
        // The program goes on: the tree is whole and sound after the next run.
        form.SetListFunction(listing::ListFolder);
        run();
        QAbstractItemModelTester tester(form.TreeView1->model(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(nodesOf(form.TreeView1->Model().Store()), whole);
        app::SetUnhandledErrorReporter([](const std::string &) {});
    }
};

int main(int argc, char **argv)
{
    Application application(argc, argv);
    TestOutOfMemory test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_out_of_memory.moc"
