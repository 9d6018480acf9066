// Drives the program's modal windows from a test: an action runs once the window is the
// active modal one. Actions should only observe and close; checks belong after exec returns.
#pragma once

#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <functional>

#include "Dialog.h"
#include "DirListBox.h"

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
