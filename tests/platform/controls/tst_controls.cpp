#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include "PlainDialog.h"
#include "ProgressBar.h"
#include "Twips.h"

using platform::ProgressBar;

class TestControls : public QObject
{
    Q_OBJECT
private slots:
    void twipsBecomePixelsAtTheScreensDpi_data()
    {
        QTest::addColumn<double>("twips");
        QTest::addColumn<double>("dpi");
        QTest::addColumn<int>("pixels");
        QTest::newRow("15 twips a pixel at 96") << 8940.0 << 96.0 << 596;
        QTest::newRow("one inch at 96") << 1440.0 << 96.0 << 96;
        QTest::newRow("12 twips a pixel at 120") << 4845.0 << 120.0 << 404;  // 403.75
        QTest::newRow("half rounds away from zero") << 150.0 << 120.0 << 13; // 12.5
        QTest::newRow("10 twips a pixel at 144") << 255.0 << 144.0 << 26;    // 25.5
        QTest::newRow("negative") << -30.0 << 96.0 << -2;
        QTest::newRow("negative half") << -7.5 << 96.0 << -1; // -0.5
        QTest::newRow("zero") << 0.0 << 96.0 << 0;
    }
    void twipsBecomePixelsAtTheScreensDpi()
    {
        QFETCH(double, twips);
        QFETCH(double, dpi);
        QFETCH(int, pixels);
        QCOMPARE(platform::TwipsToPixels(twips, dpi), pixels);
    }

    void layoutNamesAndPlacesControlsAndSetsTheTabOrder()
    {
        QWidget window;
        auto *a = new QPushButton(&window);
        auto *b = new QLineEdit(&window);
        auto *label = new QLabel(&window);
        auto *c = new QPushButton(&window);
        // Listed out of tab order on purpose.
        platform::ApplyLayout(&window, 3000, 1500,
                              {{c, "c", 1500, 900, 750, 300, 3},
                               {b, "b", 150, 600, 1200, 300, 0},
                               {label, "label", 150, 150, 600, 195, 2},
                               {a, "a", 150, 150, 750, 375, 1}});
        const double dpi = platform::LogicalDpiX(&window);
        const auto px = [dpi](double t) { return platform::TwipsToPixels(t, dpi); };
        QCOMPARE(window.minimumSize(), QSize(px(3000), px(1500)));
        QCOMPARE(window.maximumSize(), QSize(px(3000), px(1500)));
        QCOMPARE(c->geometry(), QRect(px(1500), px(900), px(750), px(300)));
        QCOMPARE(label->geometry(), QRect(px(150), px(150), px(600), px(195)));
        QCOMPARE(label->objectName(), QStringLiteral("label"));
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QCOMPARE(QApplication::focusWidget(), b);
        QTest::keyClick(b, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), a);
        QTest::keyClick(a, Qt::Key_Tab); // the label takes no focus
        QCOMPARE(QApplication::focusWidget(), c);
    }

    void progressBarValueAndMax_data()
    {
        QTest::addColumn<float>("oldMax");
        QTest::addColumn<float>("oldValue");
        QTest::addColumn<float>("newMax");
        QTest::addColumn<float>("value");
        QTest::newRow("new max above the value keeps it") << 10.0f << 7.0f << 20.0f << 7.0f;
        QTest::newRow("new max equal to the value keeps it") << 10.0f << 7.0f << 7.0f << 7.0f;
        QTest::newRow("new max below the value empties the bar") << 10.0f << 10.0f << 3.0f << 0.0f;
        QTest::newRow("fractions") << 2.5f << 2.5f << 1.25f << 0.0f;
    }
    void progressBarValueAndMax()
    {
        QFETCH(float, oldMax);
        QFETCH(float, oldValue);
        QFETCH(float, newMax);
        QFETCH(float, value);
        QWidget window;
        ProgressBar &bar = *new ProgressBar(&window);
        QCOMPARE(bar.Max(), 100.0f);
        QVERIFY(bar.Visible()); // not hidden, though its window is not shown yet
        bar.SetMax(oldMax);
        bar.SetValue(oldValue);
        bar.SetMax(newMax);
        QCOMPARE(bar.Max(), newMax);
        QCOMPARE(bar.Value(), value);
        // Busy for a while: the toolkit's busy bar, and the values come back after.
        bar.SetBusy(true);
        QCOMPARE(bar.maximum(), 0);
        QCOMPARE(bar.minimum(), 0);
        QCOMPARE(bar.Value(), value);
        bar.SetBusy(false);
        // The drawn bar follows: its share of the range is the value's.
        const double drawn = double(bar.value() - bar.minimum()) / (bar.maximum() - bar.minimum());
        QVERIFY2(std::abs(drawn - double(value) / double(newMax)) < 1e-3,
                 qPrintable(QString::number(drawn)));
    }

    void progressBarRefusesValuesOutsideItsRange()
    {
        ProgressBar bar;
        bar.SetMax(5);
        bar.SetValue(5);
        QVERIFY_THROWS_EXCEPTION(platform::PropertyError, bar.SetValue(5.5f));
        QVERIFY_THROWS_EXCEPTION(platform::PropertyError, bar.SetValue(-1));
        QVERIFY_THROWS_EXCEPTION(platform::PropertyError, bar.SetValue(std::nanf("")));
        QVERIFY_THROWS_EXCEPTION(platform::PropertyError, bar.SetMax(0));
        QVERIFY_THROWS_EXCEPTION(platform::PropertyError,
                                 bar.SetMax(std::numeric_limits<float>::infinity()));
        QCOMPARE(bar.Max(), 5.0f);
        QCOMPARE(bar.Value(), 5.0f);
        QCOMPARE(bar.value(), bar.maximum());
    }

    void plainDialogKeys_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("pressed");
        QTest::addColumn<bool>("open");
        QTest::newRow("escape does nothing") << "first" << int(Qt::Key_Escape) << "" << true;
        QTest::newRow("enter in a text box presses nothing")
            << "text" << int(Qt::Key_Return) << "" << true;
        QTest::newRow("enter presses the focused button")
            << "second" << int(Qt::Key_Return) << "second" << false;
        QTest::newRow("keypad enter too") << "first" << int(Qt::Key_Enter) << "first" << false;
        QTest::newRow("space presses the focused button")
            << "second" << int(Qt::Key_Space) << "second" << false;
    }
    void plainDialogKeys()
    {
        QFETCH(QString, focus);
        QFETCH(int, key);
        QFETCH(QString, pressed);
        QFETCH(bool, open);
        platform::PlainDialog dialog;
        auto *first = new QPushButton("first", &dialog);
        auto *second = new QPushButton("second", &dialog);
        auto *text = new QLineEdit(&dialog);
        first->setObjectName("first");
        second->setObjectName("second");
        text->setObjectName("text");
        second->move(0, 40);
        text->move(0, 80);
        QString clicked;
        for (QPushButton *b : {first, second})
            connect(b, &QPushButton::clicked, &dialog, [&clicked, b, &dialog] {
                clicked = b->objectName();
                dialog.accept();
            });
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QVERIFY(!first->isDefault() && !second->isDefault());
        QWidget *target = dialog.findChild<QWidget *>(focus);
        target->setFocus();
        QTest::keyClick(target, Qt::Key(key),
                        key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        QCOMPARE(clicked, pressed);
        QCOMPARE(dialog.isVisible(), open);
    }
};

QTEST_MAIN(TestControls)
#include "tst_controls.moc"
