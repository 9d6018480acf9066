#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <memory>

#include "Command2.h"
#include "Dialog1.h"
#include "Form1.h"
#include "TreeView.h"
#include "Twips.h"

using platform::TreeNodes;

namespace
{

struct Box {
    QString text, title;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
};

// Answers every message box as soon as it is the active modal window, noting what it showed.
class BoxAnswerer : public QObject
{
public:
    std::vector<Box> seen;
    BoxAnswerer()
    {
        auto *poll = new QTimer(this);
        connect(poll, &QTimer::timeout, this, [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || !box->isVisible())
                return;
            seen.push_back({box->text(), box->windowTitle(), box->icon(), box->standardButtons()});
            box->done(0);
        });
        poll->start(5);
    }
};

QRect pixels(const QWidget *w, int left, int top, int width, int height)
{
    const auto x = [w](int t) { return platform::TwipsToPixels(t, platform::LogicalDpiX(w)); };
    const auto y = [w](int t) { return platform::TwipsToPixels(t, platform::LogicalDpiY(w)); };
    return {x(left), y(top), x(width), y(height)};
}

// Nodes 1 to 3 are the a.zip/ab/b example; 4 to 6 tell the options apart for "x".
void fill(TreeNodes &tree)
{
    tree.Add({}, 0, "R1", "a.zip");
    tree.Add("R1", TreeNodes::tvwChild, {}, "ab");
    tree.Add("R1", TreeNodes::tvwChild, {}, "b");
    tree.Add({}, 0, "R2", "Ｘ.zip");
    tree.Add("R2", TreeNodes::tvwChild, {}, "Xy");
    tree.Add("R2", TreeNodes::tvwChild, {}, "ｘy");
}

} // namespace

class TestDialog1 : public QObject
{
    Q_OBJECT

    std::unique_ptr<Form1> form_;
    std::unique_ptr<BoxAnswerer> boxes_;

    Dialog1 &open()
    {
        Command2_Click(*form_);
        return *Dialog1::Loaded();
    }
    // One find-next: the text of the node it selected, or the text of the message box it
    // showed instead.
    QString press(Dialog1 &d, bool byEnter = false)
    {
        if (form_)
            form_->TreeView1->selectionModel()->clear();
        const std::size_t before = boxes_->seen.size();
        if (byEnter) {
            d.Text1->setFocus(); // where the key goes
            QTest::keyClick(d.Text1, Qt::Key_Return);
        } else {
            QTest::mouseClick(d.OKButton, Qt::LeftButton);
        }
        if (boxes_->seen.size() > before)
            return boxes_->seen.back().text;
        const platform::NodeId n = form_ ? form_->TreeView1->SelectedNode() : 0;
        return n == 0 ? QStringLiteral("(nothing)")
                      : QString::fromStdString(std::string(form_->TreeView1->Text(n)));
    }

private slots:
    void init()
    {
        form_ = std::make_unique<Form1>();
        fill(*form_->TreeView1);
        form_->show();
        boxes_ = std::make_unique<BoxAnswerer>();
    }
    void cleanup()
    {
        if (Dialog1 *d = Dialog1::Loaded())
            d->close();
        form_.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (const Box &b : boxes_->seen) {
            QCOMPARE(b.text, QStringLiteral("検索終了"));
            QCOMPARE(b.title, QStringLiteral("Infomation"));
            QCOMPARE(b.icon, QMessageBox::Information);
            QCOMPARE(b.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        }
    }

    void windowAtLoad()
    {
        Dialog1 &d = open();
        QCOMPARE(search::Engine().Source()->Count(), form_->TreeView1->Count());
        QCOMPARE(search::Engine().Source()->Item(6), std::string("6 ｘy"));
        QCOMPARE(d.windowTitle(), QStringLiteral("検索"));
        QCOMPARE(d.geometry(), pixels(&d, 6300, 4095, 6030, 1230));
        QCOMPARE(d.minimumSize(), d.maximumSize());
        const struct {
            QWidget *control;
            const char *caption;
            QRect place;
        } table[] = {
            {d.Text1, "", pixels(&d, 1200, 240, 3015, 270)},
            {d.CheckDistinction, "大文字/小文字を区別する", pixels(&d, 240, 600, 2415, 255)},
            {d.CheckAllHalf, "全角/半角を区別する", pixels(&d, 240, 840, 2535, 255)},
            {d.OKButton, "次を検索", pixels(&d, 4680, 120, 1215, 375)},
            {d.CancelButton, "ｷｬﾝｾﾙ", pixels(&d, 4680, 600, 1215, 375)},
            {d.Label1, "検索文字列", pixels(&d, 240, 290, 975, 255)},
        };
        for (const auto &row : table) {
            QCOMPARE(d.findChild<QWidget *>(row.control->objectName()), row.control);
            QCOMPARE(row.control->geometry(), row.place);
            QCOMPARE(row.control->property("text").toString(), QString::fromUtf8(row.caption));
        }
        const Qt::WindowFlags f = d.windowFlags();
        QCOMPARE(f & Qt::WindowType_Mask, Qt::Dialog);
        QVERIFY(f & Qt::WindowCloseButtonHint);
        QVERIFY(!(f & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        // No owner; only stacked above the main window.
        QVERIFY(!d.parent() && !d.isModal());
        QCOMPARE(d.windowHandle()->transientParent(), form_->windowHandle());
        QCOMPARE(Dialog1::Value(d.CheckDistinction), 0);
        QCOMPARE(Dialog1::Value(d.CheckAllHalf), 0);
        QVERIFY(!d.OKButton->isDefault() && !d.CancelButton->isDefault());

        // Text1 has the focus, and Tab goes down the table (the label takes none) and round.
        QVERIFY(QTest::qWaitForWindowActive(&d));
        for (const auto &row : table) {
            if (row.control == d.Label1)
                continue;
            QCOMPARE(QApplication::focusWidget(), row.control);
            QTest::keyClick(row.control, Qt::Key_Tab);
        }
        QCOMPARE(QApplication::focusWidget(), d.Text1);
        // Escape is no way out.
        QTest::keyClick(d.Text1, Qt::Key_Escape);
        QTest::keyClick(d.OKButton, Qt::Key_Escape);
        QVERIFY(d.isVisible());
        QCOMPARE(Dialog1::Loaded(), &d);
    }

    void findSteps_data()
    {
        QTest::addColumn<bool>("byEnter");
        QTest::addColumn<QString>("text");
        QTest::addColumn<Qt::CheckState>("distinction");
        QTest::addColumn<Qt::CheckState>("allHalf");
        QTest::addColumn<QStringList>("found");
        const Qt::CheckState off = Qt::Unchecked, on = Qt::Checked, grey = Qt::PartiallyChecked;
        const QString end = QStringLiteral("検索終了");
        const QStringList xAll{"Ｘ.zip", "Xy", "ｘy", end};
        QTest::newRow("a.zip/ab/b by the button")
            << false << "a" << off << off << QStringList{"a.zip", "ab", end, end};
        QTest::newRow("a.zip/ab/b by Enter")
            << true << "a" << off << off << QStringList{"a.zip", "ab", end, end};
        QTest::newRow("case and width ignored") << false << "x" << off << off << xAll;
        QTest::newRow("case told apart") << true << "x" << on << off << QStringList{"ｘy", end};
        QTest::newRow("width told apart") << false << "x" << off << on << QStringList{"Xy", end};
        QTest::newRow("both told apart") << true << "ｘ" << on << on << QStringList{"ｘy", end};
        QTest::newRow("greyed case is off") << false << "x" << grey << off << xAll;
        QTest::newRow("greyed width is off") << true << "x" << off << grey << xAll;
    }
    void findSteps()
    {
        QFETCH(bool, byEnter);
        QFETCH(QString, text);
        QFETCH(Qt::CheckState, distinction);
        QFETCH(Qt::CheckState, allHalf);
        QFETCH(QStringList, found);
        Dialog1 &d = open();
        d.CheckDistinction->setCheckState(distinction);
        d.CheckAllHalf->setCheckState(allHalf);
        d.Text1->setText(text);
        QStringList steps{press(d, byEnter)};
        // The main window comes forward with the node selected and the tree focused.
        QTRY_COMPARE(QApplication::activeWindow(), form_.get());
        QCOMPARE(QApplication::focusWidget(), form_->TreeView1);
        while (steps.size() < found.size())
            steps << press(d, byEnter);
        QCOMPARE(steps, found);
        QVERIFY(d.isVisible());
    }

    void betweenTwoFinds_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("next");
        QTest::newRow("nothing: goes on") << "none"
                                          << "ab";
        QTest::newRow("a character typed and deleted") << "type"
                                                       << "a.zip";
        QTest::newRow("text set by code and back") << "set"
                                                   << "a.zip";
        QTest::newRow("case switched on and off") << "case"
                                                  << "a.zip";
        QTest::newRow("width switched on and off") << "width"
                                                   << "a.zip";
        QTest::newRow("width greyed") << "grey"
                                      << "a.zip";
        QTest::newRow("Command2, same tree: goes on") << "command2"
                                                      << "ab";
        QTest::newRow("listing run") << "listing"
                                     << "ba";
        QTest::newRow("listing run, then Command2") << "listing command2"
                                                    << "ba";
        QTest::newRow("main window closed") << "close"
                                            << "検索終了";
        QTest::newRow("main window destroyed") << "destroy"
                                               << "検索終了";
    }
    void betweenTwoFinds()
    {
        QFETCH(QString, event);
        QFETCH(QString, next);
        Dialog1 &d = open();
        QTest::keyClicks(d.Text1, "a");
        QCOMPARE(press(d), QStringLiteral("a.zip"));
        if (event == "type") {
            QTest::keyClick(d.Text1, Qt::Key_Z);
            QTest::keyClick(d.Text1, Qt::Key_Backspace);
        } else if (event == "set") {
            d.Text1->setText("b");
            d.Text1->setText("a");
        } else if (event == "case" || event == "width") {
            QCheckBox *box = event == "case" ? d.CheckDistinction : d.CheckAllHalf;
            box->click();
            box->click();
        } else if (event == "grey") {
            d.CheckAllHalf->setCheckState(Qt::PartiallyChecked);
        } else if (event.startsWith("listing")) {
            TreeNodes &tree = *form_->TreeView1;
            tree.Clear();
            tree.Add({}, 0, "R1", "b.zip");
            tree.Add("R1", TreeNodes::tvwChild, {}, "ba");
        } else if (event == "close" || event == "destroy") {
            // The search window outlives the main window, and keeps the program running.
            QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
            form_->close();
            if (event == "destroy")
                form_.reset();
            QVERIFY(d.isVisible());
            QVERIFY(!d.windowHandle()->transientParent());
            QCOMPARE(lastClosed.count(), 0);
        }
        if (event.endsWith("command2")) {
            QCOMPARE(&open(), &d); // brought forward, not loaded again
            QTRY_COMPARE(QApplication::activeWindow(), &d);
        }
        QCOMPARE(d.Text1->text(), QStringLiteral("a"));
        QCOMPARE(press(d), next);
        QCOMPARE(Dialog1::Loaded(), &d);
    }

    void unload_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("CancelButton releases the source") << true;
        QTest::newRow("the close box keeps it") << false;
    }
    void unload()
    {
        QFETCH(bool, cancel);
        Dialog1 *d = &open();
        QTest::keyClicks(d->Text1, "a");
        d->CheckDistinction->click();
        QCOMPARE(press(*d), QStringLiteral("a.zip"));
        const QPointer<Dialog1> old(d);
        if (cancel)
            d->CancelButton->click();
        else
            d->close();
        QVERIFY(!Dialog1::Loaded());
        QCOMPARE(search::Engine().Source() != nullptr, !cancel);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!old);

        d = &open();
        QCOMPARE(search::Engine().SearchDirty(), search::kFlagTrue); // Form_Load ran
        QVERIFY(d->Text1->text().isEmpty());
        QCOMPARE(Dialog1::Value(d->CheckDistinction), 0);
        QTest::keyClicks(d->Text1, "a");
        QCOMPARE(press(*d), QStringLiteral("a.zip"));
    }

    // F3 presses 次を検索 from either window while the search window is open; Ctrl+F opens it
    // as 検索 does.
    void keysOfBothWindows()
    {
        ConnectSearch(*form_);
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        QTest::keyClick(form_->TreeView1, Qt::Key_F3); // no search window: nothing
        QVERIFY(!Dialog1::Loaded());
        QCOMPARE(form_->TreeView1->SelectedNode(), platform::NodeId(0));
        QTest::keyClick(form_->TreeView1, Qt::Key_F, Qt::ControlModifier);
        Dialog1 *d = Dialog1::Loaded();
        QVERIFY(d);
        QVERIFY(QTest::qWaitForWindowActive(d));
        QTest::keyClicks(d->Text1, "b");
        QTest::keyClick(d->Text1, Qt::Key_F3);
        QCOMPARE(form_->TreeView1->SelectedNode(), platform::NodeId(2)); // ab
        // The find gave the tree the focus: F3 there finds the next one.
        QVERIFY(QTest::qWaitForWindowActive(form_.get()));
        QTest::keyClick(form_->TreeView1, Qt::Key_F3);
        QCOMPARE(form_->TreeView1->SelectedNode(), platform::NodeId(3)); // b
    }
};

QTEST_MAIN(TestDialog1)
#include "tst_dialog1.moc"
