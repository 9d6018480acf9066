#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <set>

#include "DirListBox.h"
#include "DriveListBox.h"

using platform::DirListBox;

namespace
{

std::string bytes(const QString &s)
{
    return QFile::encodeName(s).toStdString();
}

// A mountinfo line for a mount point (already escaped) of a file-system type.
std::string mount(int id, const std::string &point, const std::string &type,
                  const std::string &source = "none", const std::string &root = "/")
{
    return std::to_string(id) + " 1 0:" + std::to_string(id) + " " + root + " " + point +
           " rw,relatime shared:" + std::to_string(id) + " - " + type + " " + source + " rw\n";
}

} // namespace

class TestFolderLists : public QObject
{
    Q_OBJECT
private slots:
    void driveRootsFromMountinfo_data()
    {
        QTest::addColumn<QString>("mountinfo");
        QTest::addColumn<QStringList>("roots");
        const auto lines = [](std::initializer_list<std::string> l) {
            std::string s;
            for (const auto &x : l)
                s += x;
            return QString::fromStdString(s);
        };
        QTest::newRow("root only")
            << lines({mount(1, "/", "ext4", "/dev/sda1")}) << QStringList{"/"};
        QTest::newRow("nothing readable still offers the root") << QString() << QStringList{"/"};
        QTest::newRow("pseudo file systems are left out")
            << lines({mount(1, "/", "ext4"), mount(2, "/proc", "proc"), mount(3, "/sys", "sysfs"),
                      mount(4, "/sys/fs/cgroup", "cgroup2"), mount(5, "/dev/pts", "devpts"),
                      mount(6, "/run", "tmpfs"), mount(7, "/run/user/1000", "tmpfs"),
                      mount(8, "/dev/shm", "tmpfs"), mount(9, "/dev/mqueue", "mqueue"),
                      mount(10, "/proc/sys/fs/binfmt_misc", "binfmt_misc"),
                      mount(11, "/sys/kernel/debug", "debugfs"),
                      mount(12, "/snap/core/1", "squashfs"),
                      mount(13, "/home", "ext4", "/dev/sda2")})
            << QStringList{"/", "/home"};
        QTest::newRow("removable media before other mounts, each sorted")
            << lines({mount(1, "/", "ext4"), mount(2, "/srv/nfs", "nfs4", "server:/x"),
                      mount(3, "/run/media/ann/USB", "vfat", "/dev/sdb1"),
                      mount(4, "/data", "xfs", "/dev/sdc1"),
                      mount(5, "/media/cd", "iso9660", "/dev/sr0")})
            << QStringList{"/", "/media/cd", "/run/media/ann/USB", "/data", "/srv/nfs"};
        QTest::newRow("escaped spaces and backslashes")
            << lines({mount(1, "/", "ext4"), mount(2, "/media/My\\040Disk", "exfat"),
                      mount(3, "/mnt/a\\134b", "ext4", "/dev/sdd1")})
            << QStringList{"/", "/media/My Disk", "/mnt/a\\b"};
        QTest::newRow("a mounted file is no folder, a mount seen twice is listed once")
            << lines({mount(1, "/", "overlay"), mount(2, "/etc/hosts", "ext4", "/dev/vda"),
                      mount(3, "/work", "ext4", "/dev/vda"), mount(4, "/work", "ext4", "/dev/vda")})
            << QStringList{"/", "/work"};
        QTest::newRow("no drives: memory, images, bind mounts of a folder; home on its own is")
            << lines({mount(1, "/", "ext4", "/dev/sda1"), mount(2, "/scratch", "tmpfs", "tmpfs"),
                      mount(3, "/mnt/sandbox/python", "tmpfs", "tools"),
                      mount(4, "/opt/app", "squashfs", "/dev/loop3"),
                      mount(5, "/srv/www", "ext4", "/dev/sda1", "/var/www"),
                      mount(6, "/home/ann", "tmpfs", "tmpfs"),
                      mount(7, "/mnt/share", "cifs", "//nas/share")})
            << QStringList{"/", "/home/ann", "/mnt/share"};
        QTest::newRow("optional fields and garbage lines")
            << QString("1 0 8:1 / / rw master:1 propagate_from:2 - ext4 /dev/sda1 rw\nbroken line\n"
                       "2 1 8:2 / /home rw - ext4 /dev/sda2 rw\n3 1 8:3 / /nodash rw ext4\n")
            << QStringList{"/", "/home"};
    }
    void driveRootsFromMountinfo()
    {
        QFETCH(QString, mountinfo);
        QFETCH(QStringList, roots);
        const auto found = platform::DriveRoots(
            mountinfo.toStdString(), [](const std::string &p) { return p != "/etc/hosts"; },
            "/home/ann");
        QStringList got;
        for (const auto &r : found)
            got << QString::fromStdString(r);
        QCOMPARE(got, roots);
    }

    void driveOfAPathIsTheLongestRootHoldingIt_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("drive");
        QTest::newRow("root") << "/"
                              << "/";
        QTest::newRow("inside a mount") << "/media/usb/photos"
                                        << "/media/usb";
        QTest::newRow("the mount point itself") << "/media/usb"
                                                << "/media/usb";
        QTest::newRow("a sibling with a longer name is not inside") << "/media/usb2/x"
                                                                    << "/media";
        QTest::newRow("elsewhere") << "/home/ann"
                                   << "/";
    }
    void driveOfAPathIsTheLongestRootHoldingIt()
    {
        QFETCH(QString, path);
        QFETCH(QString, drive);
        platform::DriveListBox list;
        list.SetRoots({"/", "/media", "/media/usb"});
        QSignalSpy changed(&list, &platform::DriveListBox::Change);
        list.SetDriveOf(path.toStdString());
        QCOMPARE(QString::fromStdString(list.Drive()), drive);
        QCOMPARE(list.currentText(), drive);
        QCOMPARE(changed.count(), drive == "/" ? 0 : 1);
    }

    void normalFolderPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("normal");
        QTest::newRow("root") << "/"
                              << "/";
        QTest::newRow("doubled root") << "//"
                                      << "/";
        QTest::newRow("trailing slash") << "/a/b/"
                                        << "/a/b";
        QTest::newRow("dots") << "/a/./b/../c"
                              << "/a/c";
        QTest::newRow("above the root") << "/../.."
                                        << "/";
        QTest::newRow("doubled slashes") << "/a//b"
                                         << "/a/b";
        QTest::newRow("relative") << "x/../y"
                                  << QDir::currentPath() +
                                         (QDir::currentPath() == "/" ? "y" : "/y");
    }
    void normalFolderPaths()
    {
        QFETCH(QString, path);
        QFETCH(QString, normal);
        QCOMPARE(QString::fromStdString(platform::NormalFolderPath(path.toStdString())), normal);
    }

    void listShowsAncestorsTheOpenFolderAndItsVisibleSubfolders()
    {
        QTemporaryDir tmp;
        QDir root(tmp.path());
        for (const char *d :
             {"top/mid/b", "top/mid/a", "top/mid/.hidden", "top/mid/日本語", "other"})
            QVERIFY(root.mkpath(QString::fromUtf8(d)));
        QFile file(tmp.filePath("top/mid/file.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        QVERIFY(QFile::link(tmp.filePath("other"), tmp.filePath("top/mid/link")));
        QVERIFY(QFile::link(tmp.filePath("top/mid/file.txt"), tmp.filePath("top/mid/filelink")));

        DirListBox list;
        const std::string mid = bytes(tmp.filePath("top/mid"));
        list.SetPath(mid + "/");
        QCOMPARE(list.Path(), mid);
        QCOMPARE(list.ListIndex(), -1);
        QCOMPARE(list.List(-1), mid);
        QCOMPARE(list.List(-2), bytes(tmp.filePath("top")));
        QCOMPARE(list.ListCount(), 4);
        QCOMPARE(list.List(0), mid + "/a");
        QCOMPARE(list.List(1), mid + "/b");
        QCOMPARE(list.List(2), mid + "/link");
        QCOMPARE(list.List(3), mid + "/日本語");
        // Up to the root: the open folder's depth in ancestors.
        const int depth = int(std::count(mid.begin(), mid.end(), '/'));
        QCOMPARE(list.List(-1 - depth), std::string("/"));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.List(-2 - depth));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.List(4));
        QCOMPARE(list.count(), depth + 1 + 4);
        QCOMPARE(list.item(0)->text(), QStringLiteral("/"));
        QCOMPARE(list.item(depth)->text(), QStringLiteral("mid"));
        QCOMPARE(list.item(depth + 4)->text(), QStringLiteral("日本語"));
    }

    void listIndexFollowsTheHighlight()
    {
        QTemporaryDir tmp;
        QVERIFY(QDir(tmp.path()).mkpath("a/b"));
        DirListBox list;
        list.SetPath(bytes(tmp.filePath("a")));
        list.SetListIndex(0);
        QCOMPARE(list.List(list.ListIndex()), bytes(tmp.filePath("a/b")));
        list.SetListIndex(-2);
        QCOMPARE(list.List(list.ListIndex()), bytes(tmp.path()));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.SetListIndex(1));
        QCOMPARE(list.ListIndex(), -2);
        // The root has no ancestors.
        list.SetPath("/");
        QCOMPARE(list.List(-1), std::string("/"));
        QVERIFY_THROWS_EXCEPTION(std::out_of_range, list.List(-2));
    }

    void aClickOrEnterOnAnEntryIsAClick()
    {
        QTemporaryDir tmp;
        QVERIFY(QDir(tmp.path()).mkpath("a/b"));
        DirListBox list;
        list.resize(300, 400);
        list.SetPath(bytes(tmp.filePath("a")));
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        QSignalSpy clicks(&list, &DirListBox::Click);
        const QRect sub = list.visualItemRect(list.item(list.count() - 1));
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, sub.center());
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(list.ListIndex(), 0);
        QTest::keyClick(&list, Qt::Key_Up);
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(list.ListIndex(), -1);
        QTest::keyClick(&list, Qt::Key_Return);
        QTest::keyClick(&list, Qt::Key_Space);
        QCOMPARE(clicks.count(), 3);
    }

    void aFolderThatCannotBeOpenedKeepsTheOpenOne_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<int>("error");
        QTest::newRow("vanished") << "gone" << ENOENT;
        QTest::newRow("a file") << "file.txt" << ENOTDIR;
    }
    void aFolderThatCannotBeOpenedKeepsTheOpenOne()
    {
        QFETCH(QString, target);
        QFETCH(int, error);
        QTemporaryDir tmp;
        QVERIFY(QDir(tmp.path()).mkpath("open/gone"));
        QVERIFY(QDir(tmp.path()).mkpath("open/stays"));
        QFile file(tmp.filePath("open/file.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        DirListBox list;
        const std::string open = bytes(tmp.filePath("open"));
        list.SetPath(open);
        QCOMPARE(list.ListCount(), 2);
        QVERIFY(QDir(tmp.filePath("open/gone")).removeRecursively());
        try {
            list.SetPath(open + "/" + bytes(target));
            QFAIL("no error raised");
        } catch (const platform::FolderError &e) {
            QCOMPARE(e.Error(), error);
            QCOMPARE(e.Path(), open + "/" + bytes(target));
            const QString message = QString::fromUtf8(e.what());
            QVERIFY2(message.contains(target) && message.contains(QStringLiteral("開けません")),
                     e.what());
        }
        QCOMPARE(list.Path(), open);
        QCOMPARE(list.ListIndex(), -1);
        // Read again: the vanished folder is gone from the list.
        QCOMPARE(list.ListCount(), 1);
        QCOMPARE(list.List(0), open + "/stays");
    }
};

QTEST_MAIN(TestFolderLists)
#include "tst_folderlists.moc"
