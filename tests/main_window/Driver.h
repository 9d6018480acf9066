// Drives the program's modal windows from a test: an action runs once the window is the
// active modal one. Actions should only observe and close; checks belong after exec returns.
// Also a view that watches a listing run.
#pragma once

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>

#include "Dialog.h"
#include "DirListBox.h"
#include "Listing.h"

template <class Window> void WhenOpen(std::function<void(Window &)> act)
{
    auto *poll = new QTimer(qApp);
    poll->setObjectName(QStringLiteral("waiting for a window"));
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, act] {
        if (auto *w = qobject_cast<Window *>(QApplication::activeModalWidget());
            w && w->isVisible() && w->isActiveWindow()) {
            poll->stop();
            poll->deleteLater();
            act(*w);
        }
    });
    poll->start();
}

// Forgets the actions whose windows never opened.
inline void StopWaiting()
{
    for (QTimer *poll : qApp->findChildren<QTimer *>(QStringLiteral("waiting for a window"),
                                                     Qt::FindDirectChildrenOnly))
        delete poll;
}

inline void WhenChooserOpens(std::function<void(Dialog &)> act)
{
    WhenOpen<Dialog>(std::move(act));
}

// Clicks the folder list's entry with this ListIndex, as a person would.
inline void ClickEntry(platform::DirListBox &dir, int listIndex)
{
    const int row = dir.count() - dir.ListCount() + listIndex;
    QListWidgetItem *item = dir.item(row);
    dir.scrollToItem(item);
    QTest::mouseClick(dir.viewport(), Qt::LeftButton, {}, dir.visualItemRect(item).center());
}

// Double-clicks it: the first click opens the folder, the second lands on whatever entry
// has moved under the pointer.
inline void DoubleClickEntry(platform::DirListBox &dir, int listIndex)
{
    const int row = dir.count() - dir.ListCount() + listIndex;
    QListWidgetItem *item = dir.item(row);
    dir.scrollToItem(item);
    const QPoint at = dir.visualItemRect(item).center();
    QWidget *viewport = dir.viewport();
    QTest::mouseClick(viewport, Qt::LeftButton, {}, at);
    // As the window system delivers it: the second press comes as a double click.
    QMouseEvent second(QEvent::MouseButtonDblClick, at, viewport->mapToGlobal(at), Qt::LeftButton,
                       Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &second);
    QMouseEvent release(QEvent::MouseButtonRelease, at, viewport->mapToGlobal(at), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &release);
}

// Sets the process's current folder for the life of the object.
class CurrentFolder
{
public:
    explicit CurrentFolder(const QString &path) : was_(QDir::currentPath())
    {
        QDir::setCurrent(path);
    }
    ~CurrentFolder() { QDir::setCurrent(was_); }

private:
    QString was_;
};

inline std::string Bytes(const QString &s)
{
    return QFile::encodeName(s).toStdString();
}

// Passes every call of a run on to the window's own view; a test overrides what it watches.
struct ForwardingView : listing::RunView {
    listing::RunView *inner = nullptr;
    void SetProgressMax(float max) override { inner->SetProgressMax(max); }
    void SetProgressValue(float value) override { inner->SetProgressValue(value); }
    void SetProgressVisible(bool visible) override { inner->SetProgressVisible(visible); }
    void SetTreeStyle(int style, int border) override { inner->SetTreeStyle(style, border); }
    std::int32_t WindowHandle() override { return inner->WindowHandle(); }
    void ScanStarted() override { inner->ScanStarted(); }
    void ScanEnded() override { inner->ScanEnded(); }
    void FillStarted() override { inner->FillStarted(); }
    void FillEnded() override { inner->FillEnded(); }
    bool KeepGoing() override { return inner->KeepGoing(); }
    std::string ArchiveText(std::string_view path) override { return inner->ArchiveText(path); }
};
