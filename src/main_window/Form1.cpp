#include "Form1.h"

#include <QAction>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <cmath>
#include <optional>

#include "DirListBox.h"
#include "ProgressBar.h"
#include "TreeView.h"
#include "Twips.h"
#include "Unhandled.h"
#include "WindowFrame.h"

namespace main_window
{

long CentredPosition(double screenSize, double windowSize)
{
    // nearbyint rounds halves to even in the default rounding mode; integer division
    // truncates toward zero, as the halving must.
    return long(std::nearbyint(screenSize - windowSize)) / 2;
}

} // namespace main_window

Form1::Form1(QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      list_(listing::ListFolder)
{
    setWindowTitle(QStringLiteral("箱のポムリは何だろな？"));
    setWindowIcon(QIcon(QStringLiteral(":/hakomi.png")));

    // Created in this order so that the progress bar lies above a long folder path.
    TreeView1 = new platform::TreeView(this);
    Command1 = new QPushButton(QStringLiteral("参照先："), this);
    Label1 = new QLabel(this);
    ProgressBar = new platform::ProgressBar(this);
    Command2 = new QPushButton(QStringLiteral("検索"), this);
    // A folder name is shown as it is, never read as markup or mnemonics.
    Label1->setTextFormat(Qt::PlainText);

    platform::ApplyLayout(this, 8940, 4845,
                          {
                              {TreeView1, "TreeView1", 240, 480, 8415, 4095, 0},
                              {Command1, "Command1", 240, 120, 855, 255, 1},
                              {Label1, "Label1", 1200, 150, 60, 180, 2},
                              {ProgressBar, "ProgressBar", 2760, 120, 3375, 255, 3},
                              {Command2, "Command2", 7800, 120, 855, 255, 4},
                          });

    connect(Command1, &QPushButton::clicked, this,
            app::Handler([this](bool) { Command1_Click(); }));

    // The habits of other desktop programs, beside the buttons.
    CopyAction = new QAction(QStringLiteral("コピー"), TreeView1);
    CopyAction->setShortcut(QKeySequence::Copy);
    CopyAction->setShortcutContext(Qt::WindowShortcut);
    TreeView1->addAction(CopyAction);
    TreeView1->setContextMenuPolicy(Qt::ActionsContextMenu);
    connect(CopyAction, &QAction::triggered, this,
            app::Handler([this](bool) { CopySelectedText(); }));
    const auto key = [this](QKeySequence sequence, auto handler) {
        connect(new QShortcut(sequence, this), &QShortcut::activated, this,
                app::Handler(std::move(handler)));
    };
    key(QKeySequence::Find, [this] { Command2->click(); });
    key(QKeySequence(Qt::Key_F3), [this] { emit FindNextRequested(); });
    // Ctrl+Q whatever the platform's keyboard scheme says.
    key(QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });
    setAcceptDrops(true);
}

void Form1::SetListFunction(ListFunction list)
{
    list_ = std::move(list);
}

void Form1::Form_Load()
{
    ProgressBar->SetVisible(false);
    // The frame is asked for before the window shows, so that it opens where it belongs.
    const std::optional<QMargins> frame = platform::FrameExtents(this);
    frameKnown_ = frame.has_value();
    Centre(frame.value_or(QMargins()));
}

void Form1::Centre(const QMargins &frame)
{
    const QRect whole = screen()->geometry();
    const double dpiX = platform::LogicalDpiX(this);
    const double dpiY = platform::LogicalDpiY(this);
    const QSize outer = size().grownBy(frame);
    const long left = main_window::CentredPosition(platform::PixelsToTwips(whole.width(), dpiX),
                                                   platform::PixelsToTwips(outer.width(), dpiX));
    const long top = main_window::CentredPosition(platform::PixelsToTwips(whole.height(), dpiY),
                                                  platform::PixelsToTwips(outer.height(), dpiY));
    // The client area goes inside the frame's place.
    setGeometry(whole.left() + platform::TwipsToPixels(double(left), dpiX) + frame.left(),
                whole.top() + platform::TwipsToPixels(double(top), dpiY) + frame.top(), width(),
                height());
}

bool Form1::event(QEvent *event)
{
    // A window manager that did not tell the frame beforehand: centred again, once, when the
    // frame shows.
    if (!frameKnown_ && event->type() == QEvent::Move && isVisible()) {
        const QRect outer = frameGeometry();
        if (outer.size() != size()) {
            frameKnown_ = true;
            const QRect inner = geometry();
            Centre(QMargins(inner.left() - outer.left(), inner.top() - outer.top(),
                            outer.right() - inner.right(), outer.bottom() - inner.bottom()));
        }
    }
    platform::ShowFocus(this, event);
    return QWidget::event(event);
}

void Form1::Command1_Click()
{
    ListingRun();
}

void Form1::OpenFolder(const std::string &folder)
{
    if (listing_)
        return;
    Module1::SelectedFolder = platform::OpenableFolder(folder);
    TreeView1->Clear();
    listSelectedFolder();
}

void Form1::CopySelectedText()
{
    const platform::NodeId node = TreeView1->SelectedNode();
    if (node == 0)
        return;
    const std::string_view text = TreeView1->Text(node);
    QGuiApplication::clipboard()->setText(QString::fromUtf8(text.data(), qsizetype(text.size())));
}

namespace
{
// The one local folder a drag carries, or an empty string.
std::string droppedFolder(const QMimeData *data)
{
    if (!data || !data->hasUrls() || data->urls().size() != 1 ||
        !data->urls().front().isLocalFile())
        return {};
    const QString path = data->urls().front().toLocalFile();
    return QFileInfo(path).isDir() ? QFile::encodeName(path).toStdString() : std::string();
}
} // namespace

void Form1::dragEnterEvent(QDragEnterEvent *event)
{
    dragMoveEvent(event);
}

void Form1::dragMoveEvent(QDragMoveEvent *event)
{
    if (!listing_ && !droppedFolder(event->mimeData()).empty())
        event->acceptProposedAction();
}

void Form1::dropEvent(QDropEvent *event)
{
    const std::string folder = droppedFolder(event->mimeData());
    if (listing_ || folder.empty())
        return;
    event->acceptProposedAction();
    // The run starts once the drop is over, so that the program it came from is not kept
    // waiting for the drop's end.
    QMetaObject::invokeMethod(this, app::Handler([this, folder] { OpenFolder(folder); }),
                              Qt::QueuedConnection);
}

void Form1::keyPressEvent(QKeyEvent *event)
{
    if (!platform::PressFocusedButton(this, event))
        QWidget::keyPressEvent(event);
}
