#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "Driver.h"
#include "Form1.h"
#include "Module1.h"
#include "ProgressBar.h"
#include "TreeView.h"
#include "Twips.h"

namespace
{

// The smallest rectangle that holds every pixel in which two pictures of one size differ.
QRect Difference(const QImage &a, const QImage &b)
{
    QRect box;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x)
            if (a.pixel(x, y) != b.pixel(x, y))
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT
private slots:
    void cleanup() { StopWaiting(); }

    void centredPosition_data()
    {
        QTest::addColumn<double>("screen");
        QTest::addColumn<double>("window");
        QTest::addColumn<long>("position");
        QTest::newRow("smaller window: 499 halved, remainder dropped") << 800.0 << 301.0 << 249L;
        QTest::newRow("larger window: -5 halved toward zero") << 800.0 << 805.0 << -2L;
        QTest::newRow("even difference") << 800.0 << 300.0 << 250L;
        QTest::newRow("same size") << 800.0 << 800.0 << 0L;
        QTest::newRow("half rounds down to even") << 10.5 << 0.0 << 5L; // 10 -> 5
        QTest::newRow("half rounds up to even") << 11.5 << 0.0 << 6L;   // 12 -> 6
        QTest::newRow("negative half to even") << 0.0 << 2.5 << -1L;    // -2 -> -1
        QTest::newRow("negative odd toward zero") << 0.0 << 3.0 << -1L; // -3 -> -1
        QTest::newRow("above half rounds up") << 12.6 << 0.0 << 6L;     // 13 -> 6
        QTest::newRow("twips of a full HD screen") << 28800.0 << 9060.0 << 9870L;
    }
    void centredPosition()
    {
        QFETCH(double, screen);
        QFETCH(double, window);
        QFETCH(long, position);
        QCOMPARE(main_window::CentredPosition(screen, window), position);
    }

    void windowCaptionBorderAndIcon()
    {
        Form1 form;
        QCOMPARE(form.windowTitle(), QStringLiteral("箱のポムリは何だろな？"));
        const Qt::WindowFlags f = form.windowFlags();
        QVERIFY(f & Qt::Window);
        QVERIFY(f & Qt::WindowCloseButtonHint);
        QVERIFY(f & Qt::WindowTitleHint);
        QVERIFY(!(f & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(f & Qt::WindowMaximizeButtonHint));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(!form.windowIcon().isNull());
        QCOMPARE(form.windowIcon().pixmap(32, 32).size(), QSize(32, 32));
    }

    void layoutFollowsTheTable_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("pixels");
        QTest::addColumn<QString>("caption");
        // The twips of the layout table over 15, the twips of a pixel at the offscreen 96 dpi.
        QTest::newRow("TreeView1") << "TreeView1" << QRect(16, 32, 561, 273) << "";
        QTest::newRow("Command1") << "Command1" << QRect(16, 8, 57, 17) << "参照先：";
        QTest::newRow("Label1") << "Label1" << QRect(80, 10, 4, 12) << "";
        QTest::newRow("ProgressBar") << "ProgressBar" << QRect(184, 8, 225, 17) << "";
        QTest::newRow("Command2") << "Command2" << QRect(520, 8, 57, 17) << "検索";
    }
    void layoutFollowsTheTable()
    {
        QFETCH(QString, name);
        QFETCH(QRect, pixels);
        QFETCH(QString, caption);
        Form1 form;
        QCOMPARE(form.size(), QSize(596, 323));
        QWidget *control = form.findChild<QWidget *>(name);
        const QList<QWidget *> members{form.TreeView1, form.Command1, form.Label1, form.ProgressBar,
                                       form.Command2};
        QVERIFY(control && members.contains(control));
        QCOMPARE(control->geometry(), pixels);
        if (auto *button = qobject_cast<QPushButton *>(control))
            QCOMPARE(button->text(), caption);
        if (auto *label = qobject_cast<QLabel *>(control))
            QCOMPARE(label->text(), caption);
    }

    void treeHasTheFocusShowsItAndTabFollowsTheTable()
    {
        Form1 form;
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(form.TreeView1));
        const auto shot = [&form] { return form.TreeView1->grab().toImage(); };
        QList<QImage> shots{shot()};
        const QList<QWidget *> order{form.Command1, form.Command2, form.TreeView1};
        for (QWidget *next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), next);
            shots.append(shot());
        }
        // The empty tree shows the focus from the start, and again when it comes back.
        const QRect cue = Difference(shots[0], shots[1]);
        QVERIFY(!cue.isEmpty());
        QCOMPARE(shots[3], shots[0]);
        // Where the first node shows it once that node is current.
        form.TreeView1->Add("", 0, "", "a.zip");
        form.TreeView1->setCurrentIndex(form.TreeView1->Model().IndexOf(1));
        const QImage current = shot();
        form.Command1->setFocus();
        QCOMPARE(Difference(current, shot()), cue);
    }

    void formLoadHidesTheProgressBarAndCentresTheWindow()
    {
        Form1 form;
        QVERIFY(form.ProgressBar->Visible());
        form.Form_Load();
        QVERIFY(!form.ProgressBar->Visible());
        // The offscreen screen: 800 x 800 pixels at 96 dpi, 15 twips a pixel, no frame. The
        // window is 8940 x 4845 twips (596 x 323 pixels) in a screen of 12000 x 12000 twips:
        // left 3060 / 2 = 1530 twips = 102 pixels; top 7155 / 2 = 3577 twips = 238.47, so 238.
        QCOMPARE(form.screen()->geometry(), QRect(0, 0, 800, 800));
        QCOMPARE(platform::LogicalDpiX(&form), 96.0);
        QCOMPARE(form.frameGeometry().size(), QSize(596, 323));
        QCOMPARE(form.pos(), QPoint(102, 238));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!form.ProgressBar->isVisible());
    }

    void enterPressesOnlyAFocusedButton()
    {
        Module1::SelectedFolder.clear();
        Form1 form;
        form.Form_Load();
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        int choosers = 0;
        WhenChooserOpens([&choosers](Dialog &d) {
            ++choosers;
            d.CancelButton->click();
        });
        // On the tree, Enter starts nothing.
        form.TreeView1->setFocus();
        QTest::keyClick(form.TreeView1, Qt::Key_Return);
        QTest::qWait(20);
        QCOMPARE(choosers, 0);
        // On the browse button, it starts a run: the chooser opens.
        form.Command1->setFocus();
        QTest::keyClick(form.Command1, Qt::Key_Return);
        QCOMPARE(choosers, 1);
    }
};

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
