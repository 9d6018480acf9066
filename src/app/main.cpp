// hakomi: lists the entries of every ZIP archive below a folder as a tree.
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "Command2.h"
#include "Form1.h"
#include "Unhandled.h"
#include "Version.h"

namespace
{

constexpr const char *kUsage = "usage: hakomi [FOLDER]\n"
                               "       hakomi --help | --version\n"
                               "Shows the entries of every ZIP archive below FOLDER, or below the "
                               "folder chosen in the window.\n";

int usageError(const std::string &why)
{
    std::fprintf(stderr, "hakomi: %s\n%s", why.c_str(), kUsage);
    return 2;
}

// A runtime folder as Qt accepts it: ours alone.
bool usableRuntimeFolder(const char *path)
{
    struct stat st;
    return path && *path && ::stat(path, &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_uid == ::geteuid() && (st.st_mode & 07777) == 0700;
}

// Qt looks for a file in the runtime folder while it starts, and makes $TMPDIR/runtime-USER
// when it finds none it can use. The program writes nothing: Qt is pointed at the user's
// runtime folder when there is one, and otherwise, while it starts, at a temporary folder it
// cannot make anything in. Returns the TMPDIR to put back once Qt has started.
std::optional<std::string> keepQtFromMakingARuntimeFolder()
{
    if (usableRuntimeFolder(std::getenv("XDG_RUNTIME_DIR")))
        return std::nullopt;
    const std::string own = "/run/user/" + std::to_string(::geteuid());
    if (usableRuntimeFolder(own.c_str())) {
        ::setenv("XDG_RUNTIME_DIR", own.c_str(), 1);
        return std::nullopt;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::optional<std::string> previous = tmp ? std::string(tmp) : std::string();
    ::unsetenv("XDG_RUNTIME_DIR");
    // Nothing can be made below /proc.
    ::setenv("TMPDIR", "/proc/self/hakomi-has-no-runtime-folder", 1);
    return previous;
}

QtMessageHandler g_qtMessages = nullptr;

// Qt's warnings about the runtime folder it did not get say nothing the user can act on.
void dropRuntimeFolderWarnings(QtMsgType type, const QMessageLogContext &context,
                               const QString &message)
{
    if (type == QtWarningMsg && message.startsWith(QLatin1String("QStandardPaths:")))
        return;
    g_qtMessages(type, context, message);
}

} // namespace

int main(int argc, char **argv)
{
    // Read before Qt starts: --help and --version need no display.
    enum { kOptVersion = 1000 };
    static const option kOptions[] = {{"help", no_argument, nullptr, 'h'},
                                      {"version", no_argument, nullptr, kOptVersion},
                                      {nullptr, 0, nullptr, 0}};
    opterr = 0;
    for (int c; (c = getopt_long(argc, argv, "+h", kOptions, nullptr)) != -1;) {
        switch (c) {
        case 'h':
            std::fputs(kUsage, stdout);
            return 0;
        case kOptVersion:
            std::printf("hakomi %s\n", app::kVersion);
            return 0;
        default:
            return usageError("unknown option " + std::string(argv[optind - 1]));
        }
    }
    if (argc - optind > 1)
        return usageError("one folder only");
    const std::optional<std::string> folder =
        optind < argc ? std::optional<std::string>(argv[optind]) : std::nullopt;

    const std::optional<std::string> tmpdir = keepQtFromMakingARuntimeFolder();
    if (tmpdir)
        g_qtMessages = qInstallMessageHandler(dropRuntimeFolderWarnings);
    // Qt reads only argv[0] of the command line.
    int qtArgc = 1;
    QApplication application(qtArgc, argv);
    if (tmpdir) {
        if (tmpdir->empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", tmpdir->c_str(), 1);
        qInstallMessageHandler(g_qtMessages);
    }
    QApplication::setApplicationName(QStringLiteral("hakomi"));
    QApplication::setApplicationVersion(QString::fromLatin1(app::kVersion));
    QApplication::setDesktopFileName(QStringLiteral("hakomi"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/hakomi.png")));

    // An error that ends a handler is shown, and the program goes on.
    app::SetUnhandledErrorReporter([](const std::string &message) {
        QMessageBox box(
            QMessageBox::Critical, QStringLiteral("箱のポムリは何だろな？"),
            QStringLiteral("エラーが発生しました。\n\n%1").arg(QString::fromStdString(message)),
            QMessageBox::Ok);
        box.exec();
    });

    Form1 form;
    ConnectSearch(form);
    app::Handler([&form] { form.Form_Load(); })();
    form.show();
    // A folder given is listed at once, as if it had been chosen and confirmed.
    if (folder)
        QTimer::singleShot(0, &form, app::Handler([&form, &folder] { form.OpenFolder(*folder); }));
    return application.exec();
}
