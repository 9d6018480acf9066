// The main window's listing run over FOLDER, offscreen, with the real Form1 and tree control:
// the chooser opens at FOLDER, OK is pressed, and the clock runs from that press to the final
// tree (every archive expanded, scrolled to the last node, painted). Prints key=value lines.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "Dialog.h"
#include "Form1.h"
#include "Listing.h"
#include "TreeView.h"

namespace
{

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

double rssMiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    return 0;
}

double peakRssMiB()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_maxrss) / 1024.0;
}

// Passes everything on to the run's own view, noting the memory before and after the fill ends
// (which is where the view lays out the whole tree).
class NotingView : public listing::RunView
{
public:
    explicit NotingView(listing::RunView &inner) : inner_(inner) {}
    double rssBeforeEnd = 0, rssAfterEnd = 0;

    void SetProgressMax(float max) override { inner_.SetProgressMax(max); }
    void SetProgressValue(float value) override { inner_.SetProgressValue(value); }
    void SetProgressVisible(bool visible) override { inner_.SetProgressVisible(visible); }
    void SetTreeStyle(int style, int borderStyle) override
    {
        inner_.SetTreeStyle(style, borderStyle);
    }
    std::int32_t WindowHandle() override { return inner_.WindowHandle(); }
    void ScanStarted() override { inner_.ScanStarted(); }
    void ScanEnded() override { inner_.ScanEnded(); }
    void FillStarted() override { inner_.FillStarted(); }
    void FillEnded() override
    {
        rssBeforeEnd = rssMiB();
        inner_.FillEnded();
        rssAfterEnd = rssMiB();
    }
    bool KeepGoing() override { return inner_.KeepGoing(); }

private:
    listing::RunView &inner_;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_listing FOLDER\n");
        return 2;
    }
    char real[PATH_MAX];
    if (!::realpath(argv[1], real) || ::chdir(real) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    Form1 form;
    form.Form_Load();
    form.show();
    for (Clock::time_point until = Clock::now() + std::chrono::seconds(5);
         !(form.windowHandle() && form.windowHandle()->isExposed()) && Clock::now() < until;)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    QCoreApplication::processEvents();
    const double rssBefore = rssMiB();

    Clock::time_point confirmed{}, listStart{}, listEnd{};
    bool skippedMessage = false;
    double rssFilled = 0, rssLaidOut = 0;
    form.SetListFunction(
        [&](const std::string &folder, platform::TreeNodes &nodes, listing::RunView &view) {
            listStart = Clock::now();
            NotingView noting(view);
            const bool found = listing::ListFolder(folder, nodes, noting);
            rssFilled = noting.rssBeforeEnd;
            rssLaidOut = noting.rssAfterEnd;
            listEnd = Clock::now();
            return found;
        });

    // The chooser opens modally at the current folder: OK is pressed as soon as it is up. A
    // message about unreadable folders would wait for a click too.
    QTimer presser;
    presser.setInterval(0);
    QObject::connect(&presser, &QTimer::timeout, [&] {
        QWidget *modal = QApplication::activeModalWidget();
        if (auto *chooser = qobject_cast<Dialog *>(modal)) {
            confirmed = Clock::now();
            chooser->OKButton->click();
        } else if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            skippedMessage = true;
            box->accept();
        }
    });
    presser.start();
    form.ListingRun();
    presser.stop();
    // The run's end leaves at most a layout and a paint pending; both belong to the final tree.
    QCoreApplication::processEvents();
    form.TreeView1->viewport()->repaint();
    const Clock::time_point done = Clock::now();
    const double rssDone = rssMiB();
    // The kernel updates the peak lazily; the current figure can be the larger.
    const double peak = std::max(peakRssMiB(), rssDone);

    if (confirmed == Clock::time_point{} || listStart == Clock::time_point{}) {
        std::fprintf(stderr, "bench_listing: the listing did not run\n");
        return 1;
    }

    // Check that the tree is in its final state (untimed).
    platform::TreeView &tree = *form.TreeView1;
    const platform::TreeModel &model = tree.Model();
    const platform::TreeStore &store = model.Store();
    const std::size_t nodes = store.Count();
    const std::size_t archives = store.ChildCount(platform::TreeStore::kRoot);
    std::size_t expanded = 0;
    for (std::size_t row = 0; row < archives; ++row)
        if (tree.isExpanded(model.IndexOf(store.Child(platform::TreeStore::kRoot, row))))
            ++expanded;
    const QRect last = nodes ? tree.visualRect(model.IndexOf(platform::NodeId(nodes))) : QRect();
    // Shown from top to bottom, and from where its text starts; a text wider than the view
    // goes on past its right edge.
    const QRect view = tree.viewport()->rect();
    const bool lastShown = last.isValid() && last.top() >= view.top() &&
                           last.bottom() <= view.bottom() && view.contains(last.topLeft());

    std::printf("run_s=%.6f\n", seconds(confirmed, done));
    std::printf("chooser_close_s=%.6f\n", seconds(confirmed, listStart));
    std::printf("list_s=%.6f\n", seconds(listStart, listEnd));
    std::printf("finish_s=%.6f\n", seconds(listEnd, done));
    std::printf("nodes=%zu\n", nodes);
    std::printf("archives=%zu\n", archives);
    std::printf("expanded=%zu\n", expanded);
    std::printf("last_node_shown=%d\n", lastShown ? 1 : 0);
    std::printf("layouts=%zu\n", tree.LayoutCount());
    std::printf("rss_before_mib=%.1f\n", rssBefore);
    std::printf("rss_filled_mib=%.1f\n", rssFilled);
    std::printf("rss_laid_out_mib=%.1f\n", rssLaidOut);
    std::printf("rss_after_mib=%.1f\n", rssDone);
    std::printf("peak_rss_mib=%.1f\n", peak);
    std::printf("store_bytes=%zu\n", store.MemoryBytes());
    std::printf("texts_measured=%zu\n", tree.TextsMeasured());
    std::printf("skipped_folders_message=%d\n", skippedMessage ? 1 : 0);
    std::printf("final=%s\n", expanded == archives && lastShown ? "ok" : "NOT-final");
    return 0;
}
