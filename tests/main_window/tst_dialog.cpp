#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "Dialog.h"
#include "DirListBox.h"
#include "DriveListBox.h"
#include "Driver.h"
#include "Form1.h"
#include "Module1.h"
#include "Twips.h"
#include "Unhandled.h"

namespace
{

// Records what the run is given instead of scanning.
struct RecordingList {
    std::vector<std::string> folders;
    bool operator()(const std::string &folder, platform::TreeNodes &, listing::RunView &)
    {
        folders.push_back(folder);
        return false;
    }
};

// Collects the errors the handlers raised.
struct Reports {
    std::vector<std::string> messages;
    Reports()
    {
        app::SetUnhandledErrorReporter([this](const std::string &m) { messages.push_back(m); });
    }
    ~Reports()
    {
        app::SetUnhandledErrorReporter([](const std::string &) {});
    }
};

} // namespace

class TestDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp_;

    QString at(const char *relative) const { return tmp_.filePath(QString::fromUtf8(relative)); }

private slots:
    void initTestCase()
    {
        QVERIFY(tmp_.isValid());
        for (const char *d :
             {"top/mid/sub1", "top/mid/sub2", "top/mid/.hidden", "top/mid/日本語フォルダー"})
            QVERIFY(QDir(tmp_.path()).mkpath(QString::fromUtf8(d)));
    }

    void init() { Module1::SelectedFolder.clear(); }
    void cleanup() { StopWaiting(); }

    void layoutCaptionAndBorder()
    {
        CurrentFolder cwd(at("top/mid"));
        Dialog d;
        QCOMPARE(d.windowTitle(), QStringLiteral("参照先"));
        const auto px = [&d](int t) {
            return platform::TwipsToPixels(t, platform::LogicalDpiX(&d));
        };
        const auto py = [&d](int t) {
            return platform::TwipsToPixels(t, platform::LogicalDpiY(&d));
        };
        QCOMPARE(d.size(), QSize(px(4545), py(3195)));
        QCOMPARE(d.minimumSize(), d.maximumSize());
        QCOMPARE(d.geometry().topLeft(), QPoint(px(7140), py(6750)));
        const Qt::WindowFlags f = d.windowFlags();
        QVERIFY(f & Qt::WindowCloseButtonHint);
        QVERIFY(!(f & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                       Qt::WindowContextHelpButtonHint)));
        QCOMPARE(f & Qt::WindowType_Mask, Qt::Dialog);
        QVERIFY(d.parent() == nullptr);
        QCOMPARE(d.OKButton->text(), QStringLiteral("OK"));
        QCOMPARE(d.CancelButton->text(), QStringLiteral("ｷｬﾝｾﾙ"));
        QCOMPARE(d.OKButton->geometry(), QRect(px(3120), py(120), px(1215), py(375)));
        QCOMPARE(d.CancelButton->geometry(), QRect(px(3120), py(600), px(1215), py(375)));
        QCOMPARE(d.Drive1->geometry(), QRect(px(240), py(120), px(2535), py(300)));
        QCOMPARE(d.Dir1->geometry(), QRect(px(240), py(600), px(2535), py(2400)));
        QCOMPARE(d.findChild<QWidget *>("OKButton"), static_cast<QWidget *>(d.OKButton));
        QCOMPARE(d.findChild<QWidget *>("Dir1"), static_cast<QWidget *>(d.Dir1));
    }

    void opensAtTheCurrentFolderWithOkFocusedAndNoDefault()
    {
        CurrentFolder cwd(at("top/mid"));
        bool okFocused = false, anyDefault = true, focusShows = false;
        std::string path, drive;
        WhenChooserOpens([&](Dialog &d) {
            okFocused = QApplication::focusWidget() == d.OKButton;
            focusShows = d.testAttribute(Qt::WA_KeyboardFocusChange);
            anyDefault = d.OKButton->isDefault() || d.CancelButton->isDefault();
            path = d.Dir1->Path();
            drive = d.Drive1->Drive();
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            okFocused = okFocused && QApplication::focusWidget() == d.Drive1;
            d.CancelButton->click();
        });
        Dialog().exec();
        QVERIFY(okFocused);
        QVERIFY(focusShows); // the style draws the focus only with this
        QVERIFY(!anyDefault);
        QCOMPARE(path, Bytes(at("top/mid")));
        QVERIFY(path.compare(0, drive.size(), drive) == 0);
    }

    void okStoresTheOpenFolder_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QList<int>>("clicks");
        QTest::addColumn<QString>("stored");
        QTest::newRow("at once: the current folder") << "top/mid" << QList<int>{} << "top/mid";
        QTest::newRow("a subfolder") << "top/mid" << QList<int>{0} << "top/mid/sub1";
        QTest::newRow("a Japanese subfolder")
            << "top/mid" << QList<int>{2} << "top/mid/日本語フォルダー";
        QTest::newRow("the parent") << "top/mid" << QList<int>{-2} << "top";
        QTest::newRow("the open folder changes nothing")
            << "top/mid" << QList<int>{-1} << "top/mid";
        QTest::newRow("up and down again") << "top/mid" << QList<int>{-2, 0, 1} << "top/mid/sub2";
        QTest::newRow("the root") << "/" << QList<int>{} << "/";
    }
    void okStoresTheOpenFolder()
    {
        QFETCH(QString, start);
        QFETCH(QList<int>, clicks);
        QFETCH(QString, stored);
        const auto full = [this](const QString &p) {
            return p == "/" ? std::string("/") : Bytes(at(p.toUtf8()));
        };
        CurrentFolder cwd(start == "/" ? "/" : at(start.toUtf8()));
        WhenChooserOpens([clicks](Dialog &d) {
            for (int listIndex : clicks)
                ClickEntry(*d.Dir1, listIndex);
            d.OKButton->click();
        });
        QCOMPARE(Dialog().exec(), int(QDialog::Accepted));
        QCOMPARE(Module1::SelectedFolder, full(stored));
        QVERIFY(Module1::SelectedFolder == "/" || Module1::SelectedFolder.back() != '/');
    }

    void everyOtherWayOutLeavesSelectedFolder_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<QString>("before");
        QTest::newRow("cancel, never confirmed") << "cancel"
                                                 << "";
        QTest::newRow("cancel") << "cancel"
                                << "/somewhere/else";
        QTest::newRow("close box") << "close"
                                   << "/somewhere/else";
        QTest::newRow("escape, then the close box") << "escape"
                                                    << "/somewhere/else";
        QTest::newRow("enter on the focused cancel button") << "enter-cancel"
                                                            << "";
    }
    void everyOtherWayOutLeavesSelectedFolder()
    {
        QFETCH(QString, way);
        QFETCH(QString, before);
        Module1::SelectedFolder = before.toStdString();
        CurrentFolder cwd(at("top/mid"));
        bool openAfterEscape = false;
        WhenChooserOpens([&](Dialog &d) {
            ClickEntry(*d.Dir1, 0); // moved, but not confirmed
            if (way == "cancel") {
                d.CancelButton->click();
            } else if (way == "close") {
                d.close();
            } else if (way == "escape") {
                QTest::keyClick(d.Dir1, Qt::Key_Escape);
                QTest::keyClick(d.OKButton, Qt::Key_Escape);
                openAfterEscape = d.isVisible();
                d.close();
            } else {
                d.CancelButton->setFocus();
                QTest::keyClick(d.CancelButton, Qt::Key_Return);
            }
        });
        QCOMPARE(Dialog().exec(), int(QDialog::Rejected));
        QCOMPARE(Module1::SelectedFolder, before.toStdString());
        if (way == "escape")
            QVERIFY(openAfterEscape);
    }

    void enterConfirmsOnlyWhileOkHasTheFocus()
    {
        CurrentFolder cwd(at("top/mid"));
        bool openAfterEnterOnList = false;
        std::string pathAfterEnterOnList;
        WhenChooserOpens([&](Dialog &d) {
            d.Drive1->setFocus();
            QTest::keyClick(d.Drive1, Qt::Key_Return);
            // Enter on the folder list opens its highlighted entry, nothing more.
            d.Dir1->setFocus();
            d.Dir1->SetListIndex(1);
            QTest::keyClick(d.Dir1, Qt::Key_Return);
            openAfterEnterOnList = d.isVisible();
            pathAfterEnterOnList = d.Dir1->Path();
            d.OKButton->setFocus();
            QTest::keyClick(d.OKButton, Qt::Key_Return);
        });
        QCOMPARE(Dialog().exec(), int(QDialog::Accepted));
        QVERIFY(openAfterEnterOnList);
        QCOMPARE(pathAfterEnterOnList, Bytes(at("top/mid/sub2")));
        QCOMPARE(Module1::SelectedFolder, Bytes(at("top/mid/sub2")));
    }

    void aVanishedFolderIsReportedAndTheListStays()
    {
        Reports reports;
        QVERIFY(QDir(tmp_.path()).mkpath("top/mid/doomed"));
        CurrentFolder cwd(at("top/mid"));
        std::string pathAfter;
        int subfoldersBefore = 0, subfoldersAfter = 0;
        WhenChooserOpens([&](Dialog &d) {
            subfoldersBefore = d.Dir1->ListCount();
            QDir(at("top/mid/doomed")).removeRecursively();
            ClickEntry(*d.Dir1, 0); // "doomed" sorts first
            pathAfter = d.Dir1->Path();
            subfoldersAfter = d.Dir1->ListCount();
            d.CancelButton->click();
        });
        Dialog().exec();
        QCOMPARE(reports.messages.size(), std::size_t(1));
        const QString message = QString::fromStdString(reports.messages.front());
        QVERIFY2(message.contains("doomed") && message.contains(QStringLiteral("見つかりません")),
                 reports.messages.front().c_str());
        QCOMPARE(pathAfter, Bytes(at("top/mid")));
        QCOMPARE(subfoldersAfter, subfoldersBefore - 1);
        QVERIFY(Module1::SelectedFolder.empty());
    }

    void aDriveOpensAtItsRootAndOneThatCannotBeReadPutsTheListBack()
    {
        Reports reports;
        CurrentFolder cwd(at("top/mid"));
        const std::string drive = Bytes(at("top"));
        std::string afterGood, afterBad, driveAfterBad;
        WhenChooserOpens([&](Dialog &d) {
            d.Drive1->SetRoots({"/", drive, "/no/such/drive"});
            // Picking a drive opens its root.
            d.Drive1->setCurrentIndex(1);
            ClickEntry(*d.Dir1, 0); // into "mid"
            afterGood = d.Dir1->Path();
            d.Drive1->setCurrentIndex(2);
            afterBad = d.Dir1->Path();
            driveAfterBad = d.Drive1->Drive();
            d.OKButton->click();
        });
        Dialog().exec();
        QCOMPARE(afterGood, drive + "/mid");
        QCOMPARE(afterBad, drive + "/mid");
        QCOMPARE(driveAfterBad, drive);
        QCOMPARE(reports.messages.size(), std::size_t(1));
        QVERIFY(QString::fromStdString(reports.messages.front()).contains("/no/such/drive"));
        // OK after a drive change stores what the folder list has open.
        QCOMPARE(Module1::SelectedFolder, drive + "/mid");
    }

    void theDriveFollowsTheFolderAndADoubleClickOpensOneFolder()
    {
        QVERIFY(QDir(tmp_.path()).mkpath("top/mid/sub2/deeper"));
        CurrentFolder cwd(at("top/mid"));
        const std::string drive = Bytes(at("top"));
        std::vector<std::string> drives, paths;
        WhenChooserOpens([&](Dialog &d) {
            d.Drive1->SetRoots({"/", drive});
            const auto seen = [&] {
                drives.push_back(d.Drive1->Drive());
                paths.push_back(d.Dir1->Path());
            };
            ClickEntry(*d.Dir1, -1); // the open folder, read again
            seen();
            ClickEntry(*d.Dir1, -3); // above the drive's root
            seen();
            ClickEntry(*d.Dir1, 0); // the drive's root again
            seen();
            ClickEntry(*d.Dir1, 0);
            DoubleClickEntry(*d.Dir1, 1); // "sub2", whose "deeper" then lies under the pointer
            seen();
            d.CancelButton->click();
        });
        Dialog().exec();
        const std::string above = Bytes(tmp_.path());
        QCOMPARE(paths,
                 (std::vector<std::string>{drive + "/mid", above, drive, drive + "/mid/sub2"}));
        QCOMPARE(drives, (std::vector<std::string>{drive, "/", drive, drive}));
    }

    void cancelListsTheConfirmedFolderAgainAndEachOpeningStartsAfresh()
    {
        CurrentFolder cwd(at("top/mid"));
        RecordingList recording;
        Form1 form;
        form.SetListFunction(std::ref(recording));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        std::vector<std::string> startedAt;
        const auto record = [&startedAt](Dialog &d) { startedAt.push_back(d.Dir1->Path()); };

        // Cancel before any OK: nothing is listed.
        WhenChooserOpens([&](Dialog &d) {
            record(d);
            d.CancelButton->click();
        });
        form.ListingRun();
        QVERIFY(recording.folders.empty());
        QCOMPARE(form.Label1->text(), QString());

        WhenChooserOpens([&](Dialog &d) {
            record(d);
            ClickEntry(*d.Dir1, 1);
            d.OKButton->click();
        });
        form.ListingRun();
        WhenChooserOpens([&](Dialog &d) {
            record(d);
            ClickEntry(*d.Dir1, -2);
            d.close();
        });
        form.ListingRun();

        const std::string mid = Bytes(at("top/mid"));
        QCOMPARE(startedAt, (std::vector<std::string>{mid, mid, mid}));
        QCOMPARE(recording.folders, (std::vector<std::string>{mid + "/sub2", mid + "/sub2"}));
        QCOMPARE(form.Label1->text(), at("top/mid/sub2"));
    }
};

QTEST_MAIN(TestDialog)
#include "tst_dialog.moc"
