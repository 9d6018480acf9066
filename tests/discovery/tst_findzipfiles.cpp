#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "DirectoryReader.h"
#include "FindZipFiles.h"
#include "Module1.h"

using Paths = QList<QByteArray>;

namespace
{

// Reads the real file system, counts open folders and lets a test act or fail at an exact point.
// The scan's read-ahead threads call it too: the hooks run one at a time, under its lock.
class TestReader : public discovery::DirectoryReader
{
public:
    // Runs before each folder open; a nonzero result fails that open with it as errno.
    std::function<int(const QByteArray &name)> beforeOpen;
    // Runs before each read of a folder (call counts from 0); nonzero fails the read with it.
    std::function<int(const QByteArray &name, int call)> beforeRead;
    QByteArray rootAlias; // opened in place of "/"
    Paths opened;
    QList<std::pair<dev_t, ino_t>> walked; // each folder whose entries were read
    int openNow = 0;
    int openMost = 0;
    int readAhead = 0; // folders read on another thread than the test's
    // How long each read of a folder takes, given the reads in flight, itself included: a share.
    std::function<std::chrono::microseconds(int inFlight)> roundTrip;
    std::atomic<int> inFlight = 0;
    std::atomic<int> mostInFlight = 0;

    static bool OnTestThread() { return std::this_thread::get_id() == testThread; }

    int Open(int at, const char *name) override
    {
        std::lock_guard lock(mutex_);
        opened << name;
        if (const int error = beforeOpen ? beforeOpen(name) : 0) {
            errno = error;
            return -1;
        }
        const bool isRoot = at == AT_FDCWD && !rootAlias.isEmpty() && qstrcmp(name, "/") == 0;
        const int fd = DirectoryReader::Open(at, isRoot ? rootAlias.constData() : name);
        if (fd >= 0) {
            openMost = std::max(openMost, ++openNow);
            names_[fd] = {name, 0};
        }
        return fd;
    }
    long ReadEntries(int fd, void *buffer, std::size_t size) override
    {
        {
            std::lock_guard lock(mutex_);
            auto &[name, calls] = names_[fd];
            struct stat status;
            if (calls == 0 && ::fstat(fd, &status) == 0) {
                walked.append({status.st_dev, status.st_ino});
                readAhead += !OnTestThread();
            }
            const int call = calls++;
            if (const int error = beforeRead ? beforeRead(name, call) : 0) {
                errno = error;
                return -1;
            }
        }
        if (roundTrip) {
            const int now = ++inFlight;
            for (int most = mostInFlight;
                 most < now && !mostInFlight.compare_exchange_weak(most, now);) {
            }
            std::this_thread::sleep_for(roundTrip(now));
            --inFlight;
        }
        return DirectoryReader::ReadEntries(fd, buffer, size);
    }
    void Close(int fd) override
    {
        std::lock_guard lock(mutex_);
        --openNow;
        DirectoryReader::Close(fd);
    }

private:
    static inline const std::thread::id testThread = std::this_thread::get_id();
    std::mutex mutex_;
    std::map<int, std::pair<QByteArray, int>> names_;
};

struct Scan {
    Paths archives;
    Paths skipped;
    QList<int> errors;
    qint64 count = 0;
};

Scan RunScan(const QByteArray &folder)
{
    Module1::ArchiveList.emplace();
    Module1::ArchiveCount = 0;
    Module1::SkippedFolders.clear();
    Module1::FindZipFiles(folder.toStdString());
    Scan scan;
    for (std::size_t i = 1; i <= Module1::ArchiveList->Count(); ++i) {
        const std::string_view path = Module1::ArchiveList->Item(i);
        scan.archives << QByteArray(path.data(), qsizetype(path.size()));
    }
    for (const Module1::SkippedFolder &s : Module1::SkippedFolders) {
        scan.skipped << QByteArray::fromStdString(s.path);
        scan.errors << s.error;
    }
    scan.count = Module1::ArchiveCount;
    return scan;
}

// The scan's order in its simplest form, the oracle: a folder pass collecting subfolders, each
// subfolder's tree, then a files-only pass; a folder met before is not entered again. Fixtures
// lie on one file system; other file systems are left out.
void TwoPassScan(const std::string &folder, Paths &out, std::set<std::pair<dev_t, ino_t>> &met)
{
    const std::string work = folder.empty() || folder.back() != '/' ? folder + '/' : folder;
    struct stat self;
    if (::stat(work.c_str(), &self) != 0 || (!met.empty() && met.begin()->first != self.st_dev) ||
        !met.emplace(self.st_dev, self.st_ino).second)
        return;
    auto pass = [&](auto &&onEntry) {
        if (DIR *d = ::opendir(work.c_str())) {
            while (const dirent *e = ::readdir(d)) {
                struct stat st;
                if (e->d_name[0] != '.' && ::stat((work + e->d_name).c_str(), &st) == 0)
                    onEntry(std::string(e->d_name), st);
            }
            ::closedir(d);
        }
    };
    std::vector<std::string> subfolders;
    pass([&](const std::string &name, const struct stat &st) {
        if (S_ISDIR(st.st_mode))
            subfolders.push_back(work + name);
    });
    for (const std::string &sub : subfolders)
        TwoPassScan(sub, out, met);
    pass([&](const std::string &name, const struct stat &st) {
        const QByteArray tail = QByteArray::fromStdString(name).right(4).toLower();
        if (S_ISREG(st.st_mode) && tail == ".zip")
            out << QByteArray::fromStdString(work + name);
    });
}

Paths TwoPassScan(const QByteArray &folder)
{
    Paths out;
    std::set<std::pair<dev_t, ino_t>> met;
    TwoPassScan(folder.toStdString(), out, met);
    return out;
}

// Builds one fixture entry below root: "d:path", "f:path", "l:path>target", "p:path" (FIFO),
// "s:path" (socket), "c:path" (character device); "@mode" at the end changes its permissions.
bool Make(const QByteArray &root, QByteArray entry, QList<std::pair<QByteArray, int>> &modes)
{
    if (const qsizetype at = entry.lastIndexOf('@'); at > 0) {
        modes.append({root + '/' + entry.mid(2, at - 2), entry.mid(at + 1).toInt(nullptr, 8)});
        entry.truncate(at);
    }
    const char kind = entry[0];
    QByteArray path = root + '/' + entry.mid(2);
    if (kind == 'd')
        return ::mkdir(path, 0755) == 0;
    if (kind == 'f') {
        const int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL, 0644);
        return fd >= 0 && ::close(fd) == 0;
    }
    if (kind == 'l') {
        const qsizetype arrow = path.indexOf('>');
        return ::symlink(path.mid(arrow + 1), path.left(arrow)) == 0;
    }
    if (kind == 'p')
        return ::mkfifo(path, 0644) == 0;
    if (kind == 's') {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.size() >= qsizetype(sizeof address.sun_path))
            return false;
        qstrcpy(address.sun_path, path);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        ::close(fd);
        return bound;
    }
    // Making devices needs a capability that a container may lack; the link to /dev/null in
    // the same row covers that case.
    return kind == 'c' && (::mknod(path, S_IFCHR | 0644, makedev(1, 3)) == 0 || errno == EPERM);
}

bool MakeTree(const QByteArray &root, const Paths &tree)
{
    QList<std::pair<QByteArray, int>> modes;
    for (const QByteArray &entry : tree)
        if (!Make(root, entry, modes))
            return false;
    for (const auto &[path, mode] : modes)
        if (::chmod(path, mode) != 0)
            return false;
    return true;
}

Paths Prefixed(const QByteArray &root, const Paths &relative)
{
    Paths out;
    for (const QByteArray &r : relative)
        out << root + '/' + r;
    return out;
}

Paths Sorted(Paths paths)
{
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Where the directory's order decides which of several paths is taken, an expected path is
// written "one|other": the one that was found stands for it.
Paths Resolved(const QByteArray &root, const Paths &expected, const Paths &found)
{
    Paths out;
    for (const QByteArray &path : expected) {
        out << root + '/' + path;
        for (const QByteArray &choice : path.split('|'))
            if (found.contains(root + '/' + choice))
                out.last() = root + '/' + choice;
    }
    return out;
}

struct HelperRun {
    bool unprivileged = false;
    Paths archives;
    Paths skipped;
    QList<int> errors;
    qulonglong limit = 0;
};

// Runs the scan helper; prefix names a program and its arguments to run it under.
HelperRun RunHelper(const QString &helper, const QByteArray &folder, QStringList prefix,
                    const QStringList &limits = {})
{
    QProcess process;
    prefix << helper << QFile::decodeName(folder) << limits;
    process.start(prefix.takeFirst(), prefix);
    HelperRun run;
    if (!process.waitForFinished() || process.exitCode() != 0) {
        qWarning() << "scan helper failed:" << process.exitCode() << process.readAllStandardError();
        return run;
    }
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        if (line.startsWith("U "))
            run.unprivileged = line.mid(2).toInt() != 0;
        else if (line.startsWith("A "))
            run.archives << line.mid(2);
        else if (line.startsWith("L "))
            run.limit = line.mid(2).toULongLong();
        else if (line.startsWith("S ")) {
            run.errors << line.split(' ')[1].toInt();
            run.skipped << line.mid(line.indexOf(' ', 2) + 1);
        }
    }
    return run;
}

// Removes everything below root however deep, holding two descriptors at a time: each folder
// is moved up to root before it is emptied.
void RemoveBelow(const QByteArray &root)
{
    const int top = ::open(root, O_RDONLY | O_DIRECTORY);
    std::vector<std::string> pending{"."};
    for (int serial = 0; !pending.empty();) {
        const std::string name = pending.back();
        pending.pop_back();
        const int fd = ::openat(top, name.c_str(), O_RDONLY | O_DIRECTORY);
        for (bool any = true; fd >= 0 && any;) {
            any = false;
            DIR *d = ::fdopendir(::dup(fd));
            while (const dirent *e = ::readdir(d)) {
                if (!qstrcmp(e->d_name, ".") || !qstrcmp(e->d_name, ".."))
                    continue;
                any = true;
                if (::unlinkat(fd, e->d_name, 0) != 0) {
                    const std::string moved = "removing-" + std::to_string(serial++);
                    ::renameat(fd, e->d_name, top, moved.c_str());
                    pending.push_back(moved);
                }
            }
            ::closedir(d);
        }
        ::close(fd);
        if (name != ".")
            ::unlinkat(top, name.c_str(), AT_REMOVEDIR);
    }
    ::close(top);
}

// A temporary folder that is removed however deep or oddly named its content is.
struct Fixture {
    QTemporaryDir dir;
    const QByteArray root = QFile::encodeName(dir.path());
    ~Fixture() { RemoveBelow(root); }
};

} // namespace

class TestFindZipFiles : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        FreshReader();
        oneAtATime_ = false;
    }
    void cleanup()
    {
        discovery::SetDirectoryReaderForTesting(nullptr);
        discovery::SetReadAheadThreadsForTesting(-1);
        QCOMPARE(reader_->openNow, 0);
        if (oneAtATime_)
            QCOMPARE(reader_->readAhead, 0);
        QVERIFY(reader_->openMost <=
                discovery::kMaxOpenFolders + (oneAtATime_ ? 0 : discovery::kReadAheadDescriptors));
    }

    void tree_data();
    void tree();
    void chosenFolder_data();
    void chosenFolder();
    void midWalk_data();
    void midWalk();
    void reopenAfterDeepBranch_data();
    void reopenAfterDeepBranch();
    void deep_data();
    void deep();
    void linkGraph_data();
    void linkGraph();
    void pseudoFileSystem_data();
    void pseudoFileSystem();
    void lowDescriptorLimit_data();
    void lowDescriptorLimit();
    void manyArchives();
    void unprivileged_data();
    void unprivileged();
    void noArchiveList();
    void folderHook();
    void growsWhileReadsKeepTheirPace_data();
    void growsWhileReadsKeepTheirPace();

private:
    void FreshReader()
    {
        reader_ = std::make_unique<TestReader>();
        discovery::SetDirectoryReaderForTesting(reader_.get());
    }
    // Makes the scans of this test read one folder at a time.
    void OneAtATime()
    {
        discovery::SetReadAheadThreadsForTesting(0);
        oneAtATime_ = true;
    }

    std::unique_ptr<TestReader> reader_;
    bool oneAtATime_ = false;
};

void TestFindZipFiles::tree_data()
{
    QTest::addColumn<Paths>("tree");
    QTest::addColumn<Paths>("expected");
    QTest::addColumn<bool>("exactOrder");
    QTest::addColumn<Paths>("skipped");

    QTest::newRow("subfolder trees before own archives")
        << Paths{"f:x.zip", "d:b", "f:b/y.zip", "d:b/c", "f:b/c/z.zip"}
        << Paths{"b/c/z.zip", "b/y.zip", "x.zip"} << true << Paths{};
    QTest::newRow("letter case") << Paths{"f:ARCHIVE.ZIP", "f:b.Zip", "f:c.zIP"}
                                 << Paths{"ARCHIVE.ZIP", "b.Zip", "c.zIP"} << false << Paths{};
    QTest::newRow("near misses") << Paths{"f:zip",  "f:a.zip.bak", "f:a.zipx", "f:a.gz",
                                          "f:azip", "f:a.zi",      "f:ok.zip"}
                                 << Paths{"ok.zip"} << false << Paths{};
    QTest::newRow("folder named like an archive")
        << Paths{"d:old.zip", "f:old.zip/in.zip"} << Paths{"old.zip/in.zip"} << true << Paths{};
    QTest::newRow("hidden") << Paths{"f:.zip", "f:.h.zip", "d:.hid", "f:.hid/in.zip", "f:v.zip"}
                            << Paths{"v.zip"} << true << Paths{};
    QTest::newRow("empty folder") << Paths{} << Paths{} << true << Paths{};
    QTest::newRow("no archive below")
        << Paths{"d:a", "f:a/readme.txt", "d:a/b"} << Paths{} << true << Paths{};
    QTest::newRow("special files")
        << Paths{"p:pipe.zip", "s:sock.zip", "c:null.zip", "l:devnull.zip>/dev/null", "f:real.zip"}
        << Paths{"real.zip"} << true << Paths{};
    QTest::newRow("links to files") << Paths{"f:real.zip", "l:ln.zip>real.zip",
                                             "l:dangling.zip>gone.zip", "l:self.zip>self.zip"}
                                    << Paths{"ln.zip", "real.zip"} << false << Paths{};
    QTest::newRow("link to a folder")
        << Paths{"d:t", "f:t/t.zip", "l:via>t"} << Paths{"t/t.zip|via/t.zip"} << false << Paths{};
    QTest::newRow("same folder through two links")
        << Paths{"d:x", "f:x/t.zip", "d:a", "l:a/l1>../x", "l:a/l2>../x"}
        << Paths{"a/l1/t.zip|a/l2/t.zip|x/t.zip"} << false << Paths{};
    // Nothing below them is entered where they are mounted; dangling links where they are not.
    QTest::newRow("links to pseudo file systems")
        << Paths{"l:proc>/proc", "l:sys>/sys", "l:cgroup>/sys/fs/cgroup", "f:x.zip"}
        << Paths{"x.zip"} << true << Paths{};
    QTest::newRow("link to itself")
        << Paths{"d:a", "l:a/self>.", "f:a/t.zip"} << Paths{"a/t.zip"} << true << Paths{"a/self"};
    QTest::newRow("link to an ancestor")
        << Paths{"d:a", "d:a/b", "l:a/b/up>../..", "f:a/b/t.zip", "f:u.zip"}
        << Paths{"a/b/t.zip", "u.zip"} << true << Paths{"a/b/up"};
    QTest::newRow("names that are not UTF-8")
        << Paths{"d:\xff\xfe", "f:\xff\xfe/\xe9t\xe9.zip", "f:\x80.zip"}
        << Paths{"\xff\xfe/\xe9t\xe9.zip", "\x80.zip"} << true << Paths{};
}

void TestFindZipFiles::tree()
{
    QFETCH(Paths, tree);
    QFETCH(Paths, expected);
    QFETCH(bool, exactOrder);
    QFETCH(Paths, skipped);
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    QVERIFY(MakeTree(root, tree));

    discovery::SetReadAheadThreadsForTesting(4);
    const Scan scan = RunScan(root);
    if (exactOrder)
        QCOMPARE(scan.archives, Prefixed(root, expected));
    else
        QCOMPARE(Sorted(scan.archives), Sorted(Resolved(root, expected, scan.archives)));
    QCOMPARE(scan.archives, TwoPassScan(root));
    QCOMPARE(scan.count, scan.archives.size());
    QCOMPARE(scan.skipped, Prefixed(root, skipped));
    QCOMPARE(scan.errors, QList<int>(skipped.size(), ELOOP));
    // Only folders are ever opened.
    for (const QByteArray &name : reader_->opened)
        QVERIFY2(!name.endsWith(".zip") || name == "old.zip", name);

    // One folder at a time, the scan yields the very same.
    OneAtATime();
    reader_->readAhead = 0;
    const Scan alone = RunScan(root);
    QCOMPARE(alone.archives, scan.archives);
    QCOMPARE(alone.skipped, scan.skipped);
    QCOMPARE(alone.errors, scan.errors);
}

void TestFindZipFiles::chosenFolder_data()
{
    QTest::addColumn<QByteArray>("folder"); // "$" stands for the temporary folder
    QTest::addColumn<bool>("rootIsTemporary");
    QTest::addColumn<Paths>("expected");
    QTest::addColumn<int>("error");

    const Paths below{"$/sub/y.zip", "$/x.zip"};
    QTest::newRow("no trailing slash") << QByteArray("$") << false << below << 0;
    QTest::newRow("trailing slash") << QByteArray("$/") << false << below << 0;
    QTest::newRow("doubled slash kept")
        << QByteArray("$//") << false << Paths{"$//sub/y.zip", "$//x.zip"} << 0;
    QTest::newRow("root") << QByteArray("/") << true << Paths{"/sub/y.zip", "/x.zip"} << 0;
    QTest::newRow("empty is root") << QByteArray("") << true << Paths{"/sub/y.zip", "/x.zip"} << 0;
    QTest::newRow("missing") << QByteArray("$/none") << false << Paths{} << ENOENT;
    QTest::newRow("a file") << QByteArray("$/x.zip") << false << Paths{} << ENOTDIR;
    QTest::newRow("a FIFO") << QByteArray("$/fifo") << false << Paths{} << ENOTDIR;
    QTest::newRow("NUL inside") << QByteArray("$\0/sub", 6) << false << Paths{} << EINVAL;
}

void TestFindZipFiles::chosenFolder()
{
    QFETCH(QByteArray, folder);
    QFETCH(bool, rootIsTemporary);
    QFETCH(Paths, expected);
    QFETCH(int, error);
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    QVERIFY(MakeTree(root, {"f:x.zip", "d:sub", "f:sub/y.zip", "p:fifo"}));
    if (rootIsTemporary)
        reader_->rootAlias = root;
    folder.replace('$', root);

    const Scan scan = RunScan(folder);
    for (QByteArray &path : expected)
        path.replace('$', root);
    QCOMPARE(scan.archives, expected);
    QCOMPARE(scan.skipped, error ? Paths{folder} : Paths{});
    QCOMPARE(scan.errors, error ? QList<int>{error} : QList<int>{});
}

void TestFindZipFiles::midWalk_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<Paths>("expected");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("ahead"); // the fault meets a read-ahead thread, not the walk

    const Paths others{"a/a.zip", "b/b.zip", "t.zip"};
    for (const bool ahead : {false, true}) {
        const char *const tail = ahead ? " while read ahead" : "";
        QTest::addRow("vanishes%s", tail) << QByteArray("remove") << others << ENOENT << ahead;
        QTest::addRow("replaced by a file%s", tail)
            << QByteArray("file") << others << ENOTDIR << ahead;
        QTest::addRow("replaced by a FIFO%s", tail)
            << QByteArray("fifo") << others << ENOTDIR << ahead;
        QTest::addRow("path too long%s", tail)
            << QByteArray("toolong") << others << ENAMETOOLONG << ahead;
        QTest::addRow("read error at once%s", tail) << QByteArray("eio0") << others << EIO << ahead;
        QTest::addRow("read error after the entries%s", tail)
            << QByteArray("eio1") << others + Paths{"victim/in/i.zip", "victim/v.zip"} << EIO
            << ahead;
    }
}

void TestFindZipFiles::midWalk()
{
    QFETCH(QByteArray, fault);
    QFETCH(Paths, expected);
    QFETCH(int, error);
    QFETCH(bool, ahead);
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    QVERIFY(MakeTree(root, {"d:a", "f:a/a.zip", "d:victim", "f:victim/v.zip", "d:victim/in",
                            "f:victim/in/i.zip", "d:b", "f:b/b.zip", "f:t.zip"}));
    const QByteArray victim = root + "/victim";
    std::atomic<bool> metAhead = false;
    if (ahead)
        discovery::SetReadAheadThreadsForTesting(4);
    else
        OneAtATime();
    // The walk waits at its first step until a read-ahead thread has met the fault.
    discovery::ScopedFolderHook hook([&] {
        for (int i = 0; ahead && !metAhead && i < 1000; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return true;
    });
    reader_->beforeOpen = [&](const QByteArray &name) {
        if (name != "victim")
            return 0;
        metAhead = metAhead || !TestReader::OnTestThread();
        if (fault == "toolong")
            return ENAMETOOLONG;
        if (fault == "remove" || fault == "file" || fault == "fifo") {
            std::filesystem::remove_all(victim.toStdString());
            QList<std::pair<QByteArray, int>> modes;
            if (fault != "remove")
                Make(root, (fault == "file" ? "f:" : "p:") + QByteArray("victim"), modes);
        }
        return 0;
    };
    reader_->beforeRead = [&](const QByteArray &name, int call) {
        return name == "victim" && fault == "eio" + QByteArray::number(call) ? EIO : 0;
    };

    const Scan scan = RunScan(root);
    QCOMPARE(metAhead.load(), ahead);
    QCOMPARE(Sorted(scan.archives), Prefixed(root, expected));
    QCOMPARE(scan.skipped, Paths{victim});
    QCOMPARE(scan.errors, QList<int>{error});
}

void TestFindZipFiles::reopenAfterDeepBranch_data()
{
    QTest::addColumn<bool>("replaceParent");
    QTest::newRow("parent still there") << false;
    QTest::newRow("parent replaced meanwhile") << true;
}

// Three branches deeper than the open-folder limit below one folder: coming back from the first
// branch needs that folder reopened, and a folder that was replaced meanwhile is not taken for it.
void TestFindZipFiles::reopenAfterDeepBranch()
{
    QFETCH(bool, replaceParent);
    // The walk's own reopening, which read-ahead mostly spares it.
    OneAtATime();
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    Paths tree{"d:p"};
    for (const QByteArray branch : {"p/s1", "p/s2", "p/s3"}) {
        QByteArray path = branch;
        tree << "d:" + path;
        for (int level = 0; level < discovery::kMaxOpenFolders + 8; ++level)
            tree << "d:" + (path += "/n");
        tree << "d:" + path + "/end"
             << "f:" + path + "/end/leaf.zip";
    }
    QVERIFY(MakeTree(root, tree));
    bool replaced = false;
    reader_->beforeOpen = [&](const QByteArray &name) {
        if (replaceParent && name == "end" && !replaced) {
            replaced = true;
            ::rename(root + "/p", root + "/p.old");
            ::mkdir(root + "/p", 0755);
            for (const char *s : {"/p/s1", "/p/s2", "/p/s3"})
                ::mkdir(root + s, 0755);
        }
        return 0;
    };

    const Scan scan = RunScan(root);
    QVERIFY(reader_->opened.count("p") > 1);
    if (!replaceParent) {
        QCOMPARE(scan.archives.size(), 3);
        QCOMPARE(scan.archives, TwoPassScan(root));
        QCOMPARE(scan.skipped, Paths{});
        return;
    }
    QCOMPARE(scan.archives.size(), 1);
    QCOMPARE(scan.errors, QList<int>(2, ESTALE));
    Paths branches = scan.skipped;
    branches << scan.archives[0].left(root.size() + 5);
    QCOMPARE(Sorted(branches), Prefixed(root, {"p/s1", "p/s2", "p/s3"}));
}

void TestFindZipFiles::deep_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<int>("levels");
    QTest::newRow("1000 folders deep") << QByteArray("d") << 1000;
    QTest::newRow("path longer than PATH_MAX") << QByteArray(250, 'L') << PATH_MAX / 250 + 4;
}

void TestFindZipFiles::deep()
{
    QFETCH(QByteArray, name);
    QFETCH(int, levels);
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    QVERIFY(MakeTree(root, {"f:top.zip"}));
    QByteArray bottom = root;
    int fd = ::open(root, O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < levels && fd >= 0; ++level) {
        ::mkdirat(fd, name, 0755);
        const int below = ::openat(fd, name, O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = below;
        bottom += '/' + name;
    }
    QVERIFY(fd >= 0);
    const int file = ::openat(fd, "leaf.zip", O_WRONLY | O_CREAT, 0644);
    ::close(file);
    ::close(fd);
    QVERIFY(file >= 0);

    const Scan scan = RunScan(root);
    QCOMPARE(scan.archives, (Paths{bottom + "/leaf.zip", root + "/top.zip"}));
    QCOMPARE(scan.skipped, Paths{});
}

void TestFindZipFiles::linkGraph_data()
{
    QTest::addColumn<int>("levels");
    QTest::newRow("16 levels") << 16;
    QTest::newRow("20 levels") << 20;
}

// Folders f0 .. fK, each fI holding two links to fI+1: 2^K paths lead to fK, each folder is
// walked once.
void TestFindZipFiles::linkGraph()
{
    QFETCH(int, levels);
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    Paths tree;
    for (int i = 0; i <= levels; ++i) {
        const QByteArray folder = 'f' + QByteArray::number(i);
        const QByteArray next = "../f" + QByteArray::number(i + 1);
        tree << "d:" + folder;
        if (i < levels)
            tree << "l:" + folder + "/a>" + next << "l:" + folder + "/b>" + next;
    }
    tree << "f:f" + QByteArray::number(levels) + "/t.zip";
    QVERIFY(MakeTree(root, tree));

    const Scan ahead = RunScan(root);
    QCOMPARE(ahead.count, 1);
    QCOMPARE(ahead.archives, TwoPassScan(root));
    QCOMPARE(ahead.skipped, Paths{});

    OneAtATime();
    FreshReader();
    const Scan alone = RunScan(root);
    QCOMPARE(alone.archives, ahead.archives);
    QCOMPARE(alone.skipped, Paths{});
    QCOMPARE(reader_->walked.size(), levels + 2);
    // A link to a folder met before is known by its status, and not opened.
    QVERIFY(reader_->opened.size() < 2 * (levels + 2));
}

void TestFindZipFiles::pseudoFileSystem_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<long>("type");
    QTest::newRow("/proc") << QByteArray("/proc") << long(0x9fa0);
    QTest::newRow("/sys") << QByteArray("/sys") << long(0x62656572);
}

// Chosen itself, a pseudo file system is walked, each folder once, and never left: its links
// lead to every process's root and to the whole device tree over and over.
void TestFindZipFiles::pseudoFileSystem()
{
    QFETCH(QByteArray, folder);
    QFETCH(long, type);
    struct statfs fs;
    if (::statfs(folder, &fs) != 0 || long(fs.f_type) != type)
        QSKIP(folder + " is not mounted here");
    struct stat chosen;
    QVERIFY(::stat(folder, &chosen) == 0);

    for (const bool ahead : {true, false}) {
        if (!ahead) {
            OneAtATime();
            FreshReader();
        }
        const Scan scan = RunScan(folder);
        QVERIFY(reader_->walked.size() > 10);
        std::set<std::pair<dev_t, ino_t>> met;
        for (const auto &id : reader_->walked) {
            QCOMPARE(id.first, chosen.st_dev);
            // Read-ahead may read a folder by a later path before the walk comes by an earlier.
            QVERIFY(met.insert(id).second || ahead);
        }
        // Its links to its own ancestors are how it is built, not a fault worth a word.
        QVERIFY(!scan.errors.contains(ELOOP));
    }
}

void TestFindZipFiles::lowDescriptorLimit_data()
{
    QTest::addColumn<QStringList>("limits"); // soft, hard, descriptors left free
    QTest::addColumn<qulonglong>("limitAfter");
    QTest::newRow("low hard limit") << QStringList{"20", "20", "100"} << 20ull;
    QTest::newRow("taken by others") << QStringList{"64", "64", "3"} << 64ull;
    QTest::newRow("soft limit raised") << QStringList{"20", "256", "3"} << 256ull;
}

// Forty folders deep, an archive in each: none is lost for want of descriptors.
void TestFindZipFiles::lowDescriptorLimit()
{
    QFETCH(QStringList, limits);
    QFETCH(qulonglong, limitAfter);
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    Paths tree, expected;
    QByteArray path;
    for (int level = 0; level < 40; ++level) {
        tree << "d:" + (path += (level ? "/d" : "d"));
        tree << "f:" + path + "/a.zip";
        expected << path + "/a.zip";
    }
    std::reverse(expected.begin(), expected.end());
    QVERIFY(MakeTree(root, tree));
    const QString helper = fixture.dir.filePath("scan_helper");
    QVERIFY(QFile::copy(SCAN_HELPER, helper));

    const HelperRun run = RunHelper(helper, root, {}, limits);
    QCOMPARE(run.archives, Prefixed(root, expected));
    QCOMPARE(run.skipped, Paths{});
    QCOMPARE(run.limit, limitAfter);
}

void TestFindZipFiles::manyArchives()
{
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    Paths names, tree;
    for (int i = 0; i < 40000; ++i) {
        names << QByteArray::number(i) + ".zip";
        tree << "f:" + names.last();
    }
    QVERIFY(MakeTree(root, tree));

    const Scan scan = RunScan(root);
    QCOMPARE(scan.count, 40000);
    QCOMPARE(Sorted(scan.archives), Sorted(Prefixed(root, names)));
    QCOMPARE(scan.archives, TwoPassScan(root));
}

void TestFindZipFiles::unprivileged_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<Paths>("expected");
    QTest::addColumn<Paths>("skipped");
    QTest::newRow("folder and file without permission")
        << QByteArray("top") << Paths{"top/ok/o.zip", "top/secret.zip"} << Paths{"top/locked"};
    QTest::newRow("chosen folder without permission")
        << QByteArray("top/locked") << Paths{} << Paths{"top/locked"};
}

void TestFindZipFiles::unprivileged()
{
    QFETCH(QByteArray, folder);
    QFETCH(Paths, expected);
    QFETCH(Paths, skipped);
    const bool root = ::geteuid() == 0;
    const QString setpriv = QStandardPaths::findExecutable("setpriv");
    if (root && setpriv.isEmpty())
        QFAIL("setpriv is needed to drop root's disregard of permissions (scripts/deps.sh test)");
    const Fixture fixture;
    const QByteArray &base = fixture.root;
    QVERIFY(::chmod(base, 0755) == 0);
    QVERIFY(MakeTree(base, {"d:top", "d:top/locked@0", "f:top/locked/in.zip", "f:top/secret.zip@0",
                            "d:top/ok", "f:top/ok/o.zip"}));
    const QString helper = fixture.dir.filePath("scan_helper");
    QVERIFY(QFile::copy(SCAN_HELPER, helper));
    QVERIFY(::chmod(QFile::encodeName(helper), 0755) == 0);

    const QStringList prefix =
        root ? QStringList{setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"}
             : QStringList{};
    const HelperRun run = RunHelper(helper, base + '/' + folder, prefix);
    ::chmod(base + "/top/locked", 0755);
    QVERIFY(run.unprivileged);
    QCOMPARE(Sorted(run.archives), Prefixed(base, expected));
    QCOMPARE(run.skipped, Prefixed(base, skipped));
    QCOMPARE(run.errors, QList<int>(skipped.size(), EACCES));
}

void TestFindZipFiles::noArchiveList()
{
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    QVERIFY(MakeTree(root, {"d:a", "f:a/x.zip"}));
    Module1::ArchiveList.reset();
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, Module1::FindZipFiles(root.toStdString()));
}

void TestFindZipFiles::folderHook()
{
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    QVERIFY(MakeTree(root, {"d:a", "f:a/1.zip", "d:b", "f:b/2.zip", "f:3.zip"}));

    // Once a step: into and out of a and b, and out of the chosen folder.
    int calls = 0;
    {
        discovery::ScopedFolderHook hook([&] { return ++calls > 0; });
        QCOMPARE(RunScan(root).count, 3);
    }
    QCOMPARE(calls, 5);

    // A hook that says stop ends the scan before anything more is appended: here inside the
    // first subfolder, before its archive.
    calls = 0;
    {
        discovery::ScopedFolderHook hook([&] { return ++calls < 2; });
        const Scan scan = RunScan(root);
        QCOMPARE(scan.count, 0);
        QVERIFY(scan.archives.isEmpty());
    }
    // The hook goes with its scope.
    QCOMPARE(RunScan(root).count, 3);
    QCOMPARE(calls, 2);

    // Stopped while reading ahead, the scan leaves no thread behind.
    const auto threads = [] {
        std::error_code error;
        const std::filesystem::directory_iterator tasks("/proc/self/task", error);
        return error ? -1 : int(std::distance(tasks, std::filesystem::directory_iterator()));
    };
    const int before = threads();
    discovery::SetReadAheadThreadsForTesting(4);
    {
        discovery::ScopedFolderHook hook([] { return false; });
        QCOMPARE(RunScan(root).count, 0);
    }
    QCOMPARE(threads(), before);

    // A folder read ahead that does not come back (a slow share) does not hold the scan: its
    // wait hook is asked while the walk waits, and a stop ends the scan there.
    std::mutex mutex;
    std::condition_variable changed;
    bool reading = false, released = false;
    int waits = 0;
    reader_->beforeOpen = [&](const QByteArray &name) {
        if (name == "a" && !TestReader::OnTestThread()) {
            std::unique_lock lock(mutex);
            reading = true;
            changed.notify_all();
            changed.wait_for(lock, std::chrono::seconds(10), [&] { return released; });
        }
        return 0;
    };
    {
        // The walk reaches a only once a read-ahead thread is stuck in it.
        discovery::ScopedFolderHook hook([&] {
            std::unique_lock lock(mutex);
            return changed.wait_for(lock, std::chrono::seconds(10), [&] { return reading; });
        });
        discovery::ScopedWaitHook wait([&] {
            std::lock_guard lock(mutex);
            ++waits;
            released = true;
            changed.notify_all();
            return false;
        });
        // Stopped at a: neither its archive nor the chosen folder's, which come after it.
        const Scan scan = RunScan(root);
        QVERIFY2(scan.count < 3, qPrintable(scan.archives.join(' ')));
    }
    QCOMPARE(waits, 1);
    reader_->beforeOpen = nullptr;
    QCOMPARE(threads(), before);
}

void TestFindZipFiles::growsWhileReadsKeepTheirPace_data()
{
    QTest::addColumn<int>("microsecondsPerRead"); // each, with no other in flight
    QTest::addColumn<bool>("queued");             // times as long with each other read in flight
    QTest::addColumn<int>("leastMost");
    QTest::addColumn<int>("mostMost");
    // 16 threads start freely once reads are slow, and the walk reads too; the others started
    // at once would take reads to 64 in flight.
    QTest::newRow("a share that answers all at once") << 4000 << false << 24 << 65;
    QTest::newRow("reads waiting for each other") << 1000 << true << 2 << 32;
}

// Past the threads that start freely, the scan's read-ahead adds threads only while the reads
// keep their pace: where they queue for the processor, more threads only make each one slower.
void TestFindZipFiles::growsWhileReadsKeepTheirPace()
{
    QFETCH(int, microsecondsPerRead);
    QFETCH(bool, queued);
    QFETCH(int, leastMost);
    QFETCH(int, mostMost);
    const Fixture fixture;
    const QByteArray &root = fixture.root;
    Paths tree;
    for (int i = 0; i < 300; ++i)
        tree << "d:" + QByteArray::number(1000 + i);
    QVERIFY(MakeTree(root, tree));

    discovery::SetReadAheadThreadsForTesting(64);
    reader_->roundTrip = [&](int inFlight) {
        return std::chrono::microseconds(microsecondsPerRead * (queued ? inFlight : 1));
    };
    QCOMPARE(RunScan(root).count, 0);
    QCOMPARE(reader_->walked.size(), 301);
    QVERIFY2(reader_->mostInFlight >= leastMost && reader_->mostInFlight <= mostMost,
             qPrintable(QString::number(reader_->mostInFlight)));
}

QTEST_GUILESS_MAIN(TestFindZipFiles)
#include "tst_findzipfiles.moc"
