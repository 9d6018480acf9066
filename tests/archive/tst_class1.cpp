#include <QMetaObject>
#include <QTest>

#include <dlfcn.h>

#include "Class1.h"
#include "Module1.h"
#include "UnZip32Binding.h"
#include "fake/FakeUnZip32.h"

using Names = QList<QByteArray>;

namespace
{

// The fake's script functions, from the same loaded copy that the binding uses.
struct Fake {
    decltype(&FakeUnZip32_Reset) reset;
    decltype(&FakeUnZip32_SetCheck) setCheck;
    decltype(&FakeUnZip32_SetOpen) setOpen;
    decltype(&FakeUnZip32_AddEntry) addEntry;
    decltype(&FakeUnZip32_SetUnZip) setUnZip;
    decltype(&FakeUnZip32_Calls) calls;
} g_fake;

template <class F> bool Resolve(void *library, const char *name, F &f)
{
    f = reinterpret_cast<F>(::dlsym(library, name));
    return f != nullptr;
}

QStringList Calls()
{
    return QString::fromUtf8(g_fake.calls()).split('\n', Qt::SkipEmptyParts);
}

Names EntryNames()
{
    Names names;
    for (std::size_t i = 1; i <= Module1::EntryNames->Count(); ++i) {
        const std::string_view name = Module1::EntryNames->Item(i);
        names << QByteArray(name.data(), qsizetype(name.size()));
    }
    return names;
}

} // namespace

class TestClass1 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        void *library = ::dlopen(FAKE_UNZIP32, RTLD_NOW | RTLD_LOCAL);
        QVERIFY2(library, ::dlerror());
        QVERIFY(Resolve(library, "FakeUnZip32_Reset", g_fake.reset) &&
                Resolve(library, "FakeUnZip32_SetCheck", g_fake.setCheck) &&
                Resolve(library, "FakeUnZip32_SetOpen", g_fake.setOpen) &&
                Resolve(library, "FakeUnZip32_AddEntry", g_fake.addEntry) &&
                Resolve(library, "FakeUnZip32_SetUnZip", g_fake.setUnZip) &&
                Resolve(library, "FakeUnZip32_Calls", g_fake.calls));
        archive::SetLibraryPathForTesting(FAKE_UNZIP32);
    }
    void init() { g_fake.reset(); }

    void getFile_data();
    void getFile();
    void getFileByName();
    void getFileWithoutList();
    void getFileWithNulInPath();
    void trimAtNul_data();
    void trimAtNul();
    void unZipProc_data();
    void unZipProc();
    void unZipProcByName();
    void entryCountOverflow();
    void libraryPathAfterLoad();
};

void TestClass1::getFile_data()
{
    QTest::addColumn<int>("check");
    QTest::addColumn<int>("handle");
    QTest::addColumn<Names>("fields");
    QTest::addColumn<Names>("names");
    QTest::addColumn<QStringList>("calls");

    const QString check = "check /d/a.zip 1", open = "open 42 /d/a.zip 8388608";
    QTest::newRow("refused") << 0 << 7 << Names{"x"} << Names{} << QStringList{check};
    QTest::newRow("open returns 0")
        << 1 << 0 << Names{"x"} << Names{} << QStringList{check, open, "close 0"};
    QTest::newRow("open returns -5")
        << -1 << -5 << Names{"x"} << Names{} << QStringList{check, open, "close -5"};
    QTest::newRow("no entry") << 1 << 7 << Names{} << Names{}
                              << QStringList{check, open, "first 7 *.* zero", "close 7"};
    QTest::newRow("entries in order")
        << 1 << 7 << Names{"b.txt", "a/", "a/c.txt"} << Names{"b.txt", "a/", "a/c.txt"}
        << QStringList{check,         open,          "first 7 *.* zero", "next 7 kept",
                       "next 7 kept", "next 7 kept", "close 7"};
    QTest::newRow("duplicates") << 1 << 3 << Names{"x", "x"} << Names{"x", "x"}
                                << QStringList{check,         open,          "first 3 *.* zero",
                                               "next 3 kept", "next 3 kept", "close 3"};
    QTest::newRow("field starting with NUL")
        << 1 << 7 << Names{QByteArray("\0abc", 4)} << Names{""}
        << QStringList{check, open, "first 7 *.* zero", "next 7 kept", "close 7"};
    QTest::newRow("513 bytes without NUL")
        << 1 << 7 << Names{QByteArray(513, 'n')} << Names{QByteArray(513, 'n')}
        << QStringList{check, open, "first 7 *.* zero", "next 7 kept", "close 7"};
    QTest::newRow("512 bytes") << 1 << 7 << Names{QByteArray(512, 'm')}
                               << Names{QByteArray(512, 'm')}
                               << QStringList{check, open, "first 7 *.* zero", "next 7 kept",
                                              "close 7"};
    QTest::newRow("UTF-8 passes unchanged")
        << 1 << 7 << Names{"日本語/表.txt"} << Names{"日本語/表.txt"}
        << QStringList{check, open, "first 7 *.* zero", "next 7 kept", "close 7"};
}

void TestClass1::getFile()
{
    QFETCH(int, check);
    QFETCH(int, handle);
    QFETCH(Names, fields);
    QFETCH(Names, names);
    QFETCH(QStringList, calls);
    g_fake.setCheck(check);
    g_fake.setOpen(handle);
    for (const QByteArray &field : fields)
        g_fake.addEntry(field.constData(), qint32(field.size()));
    Module1::EntryNames.emplace();
    Module1::EntryNames->Add("earlier");

    Class1 reader;
    QCOMPARE(reader.GetFile(42, "/d/a.zip"), names.size());
    QCOMPARE(EntryNames(), Names{"earlier"} + names);
    QCOMPARE(Calls(), calls);
}

void TestClass1::getFileByName()
{
    g_fake.setCheck(1);
    g_fake.setOpen(9);
    g_fake.addEntry("only", 4);
    Module1::EntryNames.emplace();
    Class1 reader;
    QObject *object = &reader;
    qint32 result = -1;
    QVERIFY(QMetaObject::invokeMethod(object, "GetFile", Qt::DirectConnection,
                                      Q_RETURN_ARG(qint32, result), Q_ARG(qint32, 5),
                                      Q_ARG(QByteArray, QByteArray("/e.zip"))));
    QCOMPARE(result, 1);
    QCOMPARE(EntryNames(), Names{"only"});
    QCOMPARE(Calls().first(), "check /e.zip 1");
}

// The archive is closed also when appending fails.
void TestClass1::getFileWithoutList()
{
    g_fake.setCheck(1);
    g_fake.setOpen(4);
    g_fake.addEntry("x", 1);
    Module1::EntryNames.reset();
    Class1 reader;
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, reader.GetFile(1, "/f.zip"));
    QCOMPARE(Calls().last(), "close 4");
}

void TestClass1::getFileWithNulInPath()
{
    g_fake.setCheck(1);
    g_fake.setOpen(4);
    g_fake.addEntry("x", 1);
    Module1::EntryNames.emplace();
    Class1 reader;
    QCOMPARE(reader.GetFile(1, QByteArray("/a.zip\0/b", 9)), 0);
    QCOMPARE(Calls(), QStringList{});
    QCOMPARE(Module1::EntryNames->Count(), 0u);
}

void TestClass1::trimAtNul_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("trimmed");
    QTest::newRow("NUL after three") << QByteArray("abc\0def", 7) << QByteArray("abc");
    QTest::newRow("no NUL") << QByteArray("abcdef") << QByteArray("abcdef");
    QTest::newRow("empty") << QByteArray() << QByteArray();
    QTest::newRow("NUL first") << QByteArray("\0abc", 4) << QByteArray();
    QTest::newRow("two NULs") << QByteArray("a\0\0", 3) << QByteArray("a");
    QTest::newRow("multi-byte text") << QByteArray("表\0x", 5) << QByteArray("表");
}

void TestClass1::trimAtNul()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, trimmed);
    const std::string_view result = Module1::TrimAtNul(std::string_view(text.data(), text.size()));
    QCOMPARE(QByteArray(result.data(), qsizetype(result.size())), trimmed);
}

void TestClass1::unZipProc_data()
{
    QTest::addColumn<int>("result");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("size");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<int>("sizePassed");
    QTest::addColumn<QByteArray>("returned");

    QTest::newRow("short text, full buffer back")
        << 0 << QByteArray(12, ' ') << 12 << QByteArray("a\nb\0", 4) << 12
        << QByteArray("a\nb\0        ", 12);
    QTest::newRow("any result unchanged")
        << -123456 << QByteArray(4, '.') << 4 << QByteArray("xy") << 4 << QByteArray("xy..");
    QTest::newRow("smaller size") << 3 << QByteArray(8, '.') << 2 << QByteArray("abcdef") << 2
                                  << QByteArray("ab......");
    QTest::newRow("size past the buffer")
        << 1 << QByteArray(6, '.') << 1000 << QByteArray("0123456789") << 6 << QByteArray("012345");
    QTest::newRow("empty output") << 2 << QByteArray() << 50 << QByteArray("zz") << 0
                                  << QByteArray();
}

void TestClass1::unZipProc()
{
    QFETCH(int, result);
    QFETCH(QByteArray, output);
    QFETCH(int, size);
    QFETCH(QByteArray, written);
    QFETCH(int, sizePassed);
    QFETCH(QByteArray, returned);
    g_fake.setUnZip(result, written.constData(), qint32(written.size()));
    QByteArray command("-l \"/d/my a.zip\"");
    Class1 reader;
    QCOMPARE(reader.UnZipProc(77, command, output, size), result);
    QCOMPARE(output, returned);
    QCOMPARE(command, QByteArray("-l \"/d/my a.zip\""));
    QCOMPARE(Calls(), QStringList{"unzip 77 -l \"/d/my a.zip\" " + QString::number(sizePassed)});
}

void TestClass1::unZipProcByName()
{
    g_fake.setUnZip(5, "ok", 2);
    Class1 reader;
    QObject *object = &reader;
    QByteArray command("-l x"), output(3, '-');
    qint32 result = 0;
    QVERIFY(QMetaObject::invokeMethod(
        object, "UnZipProc", Qt::DirectConnection, Q_RETURN_ARG(qint32, result), Q_ARG(qint32, 1),
        Q_ARG(QByteArray &, command), Q_ARG(QByteArray &, output), Q_ARG(qint32, 3)));
    QCOMPARE(result, 5);
    QCOMPARE(output, QByteArray("ok-"));
}

void TestClass1::entryCountOverflow()
{
    QCOMPARE(archive::NextEntryCount(0), 1);
    QCOMPARE(archive::NextEntryCount(2147483646), 2147483647);
    QVERIFY_THROWS_EXCEPTION(std::overflow_error, archive::NextEntryCount(2147483647));
}

void TestClass1::libraryPathAfterLoad()
{
    Class1 reader;
    Module1::EntryNames.emplace();
    reader.GetFile(0, "/x.zip");
    QVERIFY_THROWS_EXCEPTION(std::logic_error, archive::SetLibraryPathForTesting("/elsewhere.so"));
}

QTEST_GUILESS_MAIN(TestClass1)
#include "tst_class1.moc"
