// The listing run of the main window: the chooser, then the listing, during which the
// windows keep painting but take no input.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <cerrno>

#include "Dialog.h"
#include "DirListBox.h"
#include "Form1.h"
#include "Module1.h"
#include "ProgressBar.h"
#include "TreeView.h"

namespace main_window
{

QString ErrorWords(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return QStringLiteral("アクセスが拒否されました");
    case ENOENT:
        return QStringLiteral("見つかりません");
    case ELOOP:
        return QStringLiteral("リンクが循環しています");
    case ENAMETOOLONG:
        return QStringLiteral("パスが長すぎます");
    case EIO:
        return QStringLiteral("読み取りエラー");
    default:
        return QStringLiteral("エラー番号 %1").arg(error);
    }
}

QString SkippedFoldersMessage(const std::vector<Module1::SkippedFolder> &folders,
                              const std::vector<Module1::RejectedArchive> &archives)
{
    QString text;
    const auto listFirst = [&text](const auto &items, auto reason) {
        constexpr std::size_t kShown = 5;
        for (std::size_t i = 0; i < items.size() && i < kShown; ++i)
            text += QStringLiteral("\n%1（%2）")
                        .arg(platform::VisiblePath(items[i].path), reason(items[i].error));
        if (items.size() > kShown)
            text += QStringLiteral("\nほか %1 個").arg(qulonglong(items.size() - kShown));
    };
    if (!folders.empty()) {
        text = QStringLiteral("読み込めなかったフォルダーが %1 "
                              "個あります。これらのフォルダーの中は一覧にありません。\n")
                   .arg(qulonglong(folders.size()));
        listFirst(folders, ErrorWords);
    }
    if (!archives.empty()) {
        if (!text.isEmpty())
            text += QStringLiteral("\n\n");
        text += QStringLiteral("読み込めなかった書庫と空の書庫が %1 個あります。これらの書庫には"
                               "「%2」と表示しています。\n")
                    .arg(qulonglong(archives.size()))
                    .arg(QString::fromUtf8(listing::kRejectionText));
        listFirst(archives, [](int error) {
            return error == 0 ? QStringLiteral("空の書庫です") : ErrorWords(error);
        });
    }
    return text;
}

} // namespace main_window

namespace
{

// Input the windows must not take while a run works.
bool isInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::NonClientAreaMouseButtonPress:
    case QEvent::NonClientAreaMouseButtonRelease:
    case QEvent::NonClientAreaMouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::InputMethod:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TouchCancel:
    case QEvent::TabletPress:
    case QEvent::TabletMove:
    case QEvent::TabletRelease:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::NativeGesture:
        return true;
    default:
        return false;
    }
}

// The window side of one run, from the chooser's close to the run's end. Every handler of
// the program answers user input, so an application-wide filter that drops all input keeps
// every handler out while events are processed for painting; input is dropped, not put off,
// so that clicks made on a busy window do not start anything afterwards. A close request
// for the main window stops the run at the next archive and closes it after.
class RunWindow : public QObject, public listing::RunView
{
public:
    explicit RunWindow(Form1 &form) : form_(form)
    {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        qApp->installEventFilter(this);
        sincePaint_.start();
        sinceShown_.start();
    }

    // Gives the windows back, after an error too; a close requested meanwhile comes after.
    void End(bool failed)
    {
        qApp->removeEventFilter(this);
        QApplication::restoreOverrideCursor();
        if (form_.ProgressBar->Busy()) {
            form_.ProgressBar->SetBusy(false);
            form_.ProgressBar->SetVisible(false);
        }
        if (failed && closeRequested_)
            QMetaObject::invokeMethod(&form_, &QWidget::close, Qt::QueuedConnection);
    }

    bool CloseRequested() const { return closeRequested_; }

    // Takes what arrived since the last archive, so that none of it is left for later.
    void Finish() { QCoreApplication::processEvents(QEventLoop::AllEvents); }

    void SetProgressMax(float max) override { form_.ProgressBar->SetMax(max); }
    void SetProgressValue(float value) override { form_.ProgressBar->SetValue(value); }
    void SetProgressVisible(bool visible) override { form_.ProgressBar->SetVisible(visible); }
    void SetTreeStyle(int style, int borderStyle) override
    {
        form_.TreeView1->SetStyle(style);
        form_.TreeView1->SetBorderStyle(borderStyle);
    }
    std::int32_t WindowHandle() override { return std::int32_t(form_.winId()); }
    void ScanStarted() override
    {
        scanning_ = true;
        paint();
    }
    void ScanEnded() override
    {
        scanning_ = false;
        form_.ProgressBar->SetBusy(false);
        form_.ProgressBar->SetVisible(false);
    }
    void FillStarted() override
    {
        form_.TreeView1->BeginFill();
        paint();
    }
    void FillEnded() override { form_.TreeView1->EndFill(); }
    bool KeepGoing() override
    {
        // Busy from the scan's first archive on, while their number is not known yet; a scan that
        // finds none never shows the bar.
        if (scanning_ && Module1::ArchiveCount > 0 && !form_.ProgressBar->Busy()) {
            form_.ProgressBar->SetBusy(true);
            form_.ProgressBar->SetVisible(true);
        }
        // Often enough for a window that is seen to work, seldom enough to cost nothing.
        if (sincePaint_.elapsed() >= 50)
            paint();
        return !closeRequested_;
    }
    bool KeepWaiting() override { return KeepGoing(); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (isInput(event->type()))
            return true;
        if (event->type() == QEvent::Close && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->isWindow()) {
            // No window closes under a run; the main window closes once it has stopped.
            if (watched == &form_)
                closeRequested_ = true;
            event->ignore();
            return true;
        }
        return false;
    }

private:
    Form1 &form_;
    QElapsedTimer sincePaint_;
    QElapsedTimer sinceShown_;
    qint64 showCost_ = 0;
    bool closeRequested_ = false;
    bool scanning_ = false;

    void paint()
    {
        // The tree shows what was added at a paint, unless the last time it did cost more
        // than an eighth of the time since: a layout costs as much as the rows the tree has,
        // and this keeps the run's whole cost in proportion to its size.
        platform::TreeView &tree = *form_.TreeView1;
        const bool show = tree.Filling() && sinceShown_.elapsed() >= 8 * showCost_;
        QElapsedTimer cost;
        cost.start();
        if (show)
            tree.ShowFilled();
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (show) {
            showCost_ = cost.elapsed();
            sinceShown_.restart();
        }
        sincePaint_.restart();
    }
};

} // namespace

void Form1::ListingRun()
{
    if (listing_)
        return;
    TreeView1->Clear();
    {
        Dialog chooser;
        chooser.exec();
    }
    if (Module1::SelectedFolder.empty())
        return;
    listSelectedFolder();
}

void Form1::listSelectedFolder()
{
    Label1->setText(QString::fromStdString(listing::DisplayPath(Module1::SelectedFolder)));
    Label1->adjustSize();

    listing_ = true;
    RunWindow run(*this);
    try {
        list_(Module1::SelectedFolder, *TreeView1, run);
        run.Finish();
    } catch (...) {
        listing_ = false;
        run.End(true);
        throw;
    }
    listing_ = false;
    run.End(false);
    if (run.CloseRequested()) {
        close();
        return;
    }
    reportSkippedFolders();
}

void Form1::reportSkippedFolders()
{
    if (Module1::SkippedFolders.empty() && Module1::RejectedArchives.empty())
        return;
    QMessageBox box(
        QMessageBox::Warning, windowTitle(),
        main_window::SkippedFoldersMessage(Module1::SkippedFolders, Module1::RejectedArchives),
        QMessageBox::Ok, this);
    box.exec();
}
