#include "Dialog1.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

#include "Twips.h"
#include "Unhandled.h"
#include "WindowFrame.h"

search::SearchEngine &search::Engine()
{
    static SearchEngine engine;
    return engine;
}

namespace
{

QPointer<Dialog1> loadedWindow;

std::u16string_view utf16(const QString &s)
{
    return {reinterpret_cast<const char16_t *>(s.utf16()), std::size_t(s.size())};
}

} // namespace

Dialog1::Dialog1(QWidget *parent)
    : platform::PlainDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("検索"));

    Text1 = new QLineEdit(this);
    CheckDistinction = new QCheckBox(QStringLiteral("大文字/小文字を区別する"), this);
    CheckAllHalf = new QCheckBox(QStringLiteral("全角/半角を区別する"), this);
    OKButton = new QPushButton(QStringLiteral("次を検索"), this);
    CancelButton = new QPushButton(QStringLiteral("ｷｬﾝｾﾙ"), this);
    Label1 = new QLabel(QStringLiteral("検索文字列"), this);

    platform::ApplyLayout(this, 6030, 1230,
                          {
                              {Text1, "Text1", 1200, 240, 3015, 270, 0},
                              {CheckDistinction, "CheckDistinction", 240, 600, 2415, 255, 1},
                              {CheckAllHalf, "CheckAllHalf", 240, 840, 2535, 255, 2},
                              {OKButton, "OKButton", 4680, 120, 1215, 375, 3},
                              {CancelButton, "CancelButton", 4680, 600, 1215, 375, 4},
                              {Label1, "Label1", 240, 290, 975, 255, 5},
                          });
    // Its client area opens at a fixed place on the screen.
    const QRect whole = screen()->geometry();
    setGeometry(whole.left() + platform::TwipsToPixels(6300, platform::LogicalDpiX(this)),
                whole.top() + platform::TwipsToPixels(4095, platform::LogicalDpiY(this)), width(),
                height());
    platform::KeepOffTaskbar(this);

    Text1->installEventFilter(this);
    connect(Text1, &QLineEdit::textChanged, this,
            app::Handler([this](const QString &) { Text1_Change(); }));
    connect(CheckDistinction, &QCheckBox::stateChanged, this,
            app::Handler([this](int) { CheckDistinction_Click(); }));
    connect(CheckAllHalf, &QCheckBox::stateChanged, this,
            app::Handler([this](int) { CheckAllHalf_Click(); }));
    connect(OKButton, &QPushButton::clicked, this,
            app::Handler([this](bool) { OKButton_Click(); }));
    connect(CancelButton, &QPushButton::clicked, this,
            app::Handler([this](bool) { CancelButton_Click(); }));
    // F3 finds the next one here as in the main window.
    connect(new QShortcut(QKeySequence(Qt::Key_F3), this), &QShortcut::activated, OKButton,
            &QPushButton::click);

    loadedWindow = this;
}

Dialog1 *Dialog1::Loaded()
{
    return loadedWindow.data();
}

int Dialog1::Value(const QCheckBox *box)
{
    const Qt::CheckState state = box->checkState();
    return state == Qt::Checked ? 1 : state == Qt::PartiallyChecked ? 2 : 0;
}

void Dialog1::Form_Load()
{
    search::Engine().FormLoaded();
}

void Dialog1::Text1_Change()
{
    search::Engine().TextChanged();
}

void Dialog1::CheckDistinction_Click()
{
    search::Engine().OptionChanged();
}

void Dialog1::CheckAllHalf_Click()
{
    search::Engine().OptionChanged();
}

void Dialog1::Text1_KeyPress(std::int16_t &KeyAscii)
{
    if (KeyAscii == 13)
        OKButton_Click();
}

void Dialog1::OKButton_Click()
{
    const search::FindResult found = search::Engine().FindNext(
        utf16(Text1->text()), Value(CheckDistinction), Value(CheckAllHalf));
    if (found.outcome != search::FindOutcome::Ended)
        return;
    // Owned by this window, which may be gone by the time the box returns.
    QPointer<QMessageBox> box =
        new QMessageBox(QMessageBox::Information, QString::fromUtf8(search::kSearchEndedTitle),
                        QString::fromUtf8(search::kSearchEndedText), QMessageBox::Ok, this);
    // The box sizes itself to its text alone; wide enough for its short title beside the
    // frame's buttons as well, so that the title shows whole.
    if (auto *grid = qobject_cast<QGridLayout *>(box->layout())) {
        const int width = box->fontMetrics().horizontalAdvance(box->windowTitle()) +
                          platform::TwipsToPixels(1800, platform::LogicalDpiX(box));
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    box->exec();
    delete box.data();
}

void Dialog1::CancelButton_Click()
{
    search::Engine().Cancel();
    close();
}

bool Dialog1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != Text1 || event->type() != QEvent::KeyPress)
        return PlainDialog::eventFilter(watched, event);
    const auto *key = static_cast<const QKeyEvent *>(event);
    std::int16_t code = 0;
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
        code = 13;
    else if (!key->text().isEmpty())
        code = std::int16_t(key->text().at(0).unicode());
    else
        return false; // not a character key
    const QPointer<Dialog1> alive(this);
    app::Handler([this, &code] { Text1_KeyPress(code); })();
    // The line edit goes on with the key (Enter then reaches the window, which takes it
    // without pressing a button), unless the handler swallowed it or the window is gone.
    return !alive || code == 0;
}

void Dialog1::closeEvent(QCloseEvent *event)
{
    PlainDialog::closeEvent(event);
    // Unloaded: the window deletes itself, and the next search button press loads a new one.
    if (event->isAccepted() && loadedWindow == this)
        loadedWindow = nullptr;
}
