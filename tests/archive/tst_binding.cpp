// The binding's errors, one process per case since a bound library stays for the process:
// built once against a path where no library is, once against a fake without two functions.
#include <QTest>

#include <dlfcn.h>

#include "Class1.h"
#include "Module1.h"
#include "UnZip32Binding.h"
#include "fake/FakeUnZip32.h"

namespace
{

QString ErrorOf(const std::function<void()> &call)
{
    try {
        call();
    } catch (const std::runtime_error &e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

} // namespace

class TestBinding : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        archive::SetLibraryPathForTesting(LIBRARY);
        Module1::EntryNames.emplace();
    }

#ifdef MISSING_LIBRARY
    // Every call fails alike, naming the library and the loader's reason.
    void missingLibrary()
    {
        Class1 reader;
        QByteArray command("-l x"), output(8, ' ');
        for (int attempt = 0; attempt < 2; ++attempt) {
            const QString error = ErrorOf([&] { reader.GetFile(0, "/a.zip"); });
            QVERIFY2(error.contains(LIBRARY) && error.contains("No such file"), qPrintable(error));
            QCOMPARE(ErrorOf([&] { reader.UnZipProc(0, command, output, 8); }), error);
            // The read-ahead is only ever off: its look-up neither fails nor changes the error.
            QVERIFY(!archive::OptionalReadAhead().readAhead && !archive::OptionalReadAhead().drop);
        }
    }
#else
    // Functions are bound one by one: what is there works, what is missing fails by name, and an
    // archive that could not be closed is not opened.
    void missingFunctions()
    {
        void *library = ::dlopen(LIBRARY, RTLD_NOW | RTLD_LOCAL);
        QVERIFY(library);
        const auto setCheck = reinterpret_cast<decltype(&FakeUnZip32_SetCheck)>(
            ::dlsym(library, "FakeUnZip32_SetCheck"));
        const auto calls =
            reinterpret_cast<decltype(&FakeUnZip32_Calls)>(::dlsym(library, "FakeUnZip32_Calls"));
        QVERIFY(setCheck && calls);
        // A library without read-ahead lists as before, with read-ahead off.
        QVERIFY(!archive::OptionalReadAhead().readAhead && !archive::OptionalReadAhead().drop);
        Class1 reader;

        setCheck(0);
        QCOMPARE(reader.GetFile(0, "/a.zip"), 0);
        setCheck(1);
        const QString closeError = ErrorOf([&] { reader.GetFile(0, "/a.zip"); });
        QVERIFY2(closeError.contains("has no function UnZipCloseArchive") &&
                     closeError.contains("undefined symbol"),
                 qPrintable(closeError));
        QCOMPARE(QByteArray(calls()), QByteArray("check /a.zip 1\ncheck /a.zip 1\n"));

        QByteArray command("-l x"), output(8, ' ');
        const QString unzipError = ErrorOf([&] { reader.UnZipProc(0, command, output, 8); });
        QVERIFY2(unzipError.contains("has no function UnZip:"), qPrintable(unzipError));
    }
#endif
};

QTEST_GUILESS_MAIN(TestBinding)
#include "tst_binding.moc"
