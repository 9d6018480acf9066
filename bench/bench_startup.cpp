// Start-up as the program does it (application, Form1, Form_Load, show), up to the end of the
// first paint of Form1. Prints the moment (CLOCK_BOOTTIME) so that the launching process can
// take the time from before its launch, and the time since the kernel started this process.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <unistd.h>

#include "Form1.h"
#include "Unhandled.h"

namespace
{

long long bootNs()
{
    timespec t{};
    clock_gettime(CLOCK_BOOTTIME, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Field 22 of /proc/self/stat, in clock ticks since boot; -1 when unreadable.
double startedSeconds()
{
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are counted from its ')'.
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos)
        return -1;
    const char *p = text.c_str() + close + 2;
    for (int field = 3; field < 22; ++field) {
        p = std::strchr(p, ' ');
        if (!p)
            return -1;
        ++p;
    }
    return double(std::strtoull(p, nullptr, 10)) / double(sysconf(_SC_CLK_TCK));
}

// Notes the first paint that reaches the window, then ends once that paint is done.
class FirstPaint : public QObject
{
public:
    explicit FirstPaint(QWidget &window) : window_(window) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!seen_ && event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->window() == &window_) {
            seen_ = true;
            // A zero timer runs once the whole window has been painted and flushed.
            QTimer::singleShot(0, [] {
                const long long now = bootNs();
                std::printf("paint_boottime_ns=%lld\n", now);
                const double started = startedSeconds();
                if (started >= 0)
                    std::printf("since_exec_s=%.3f\n", double(now) / 1e9 - started);
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return false;
    }

private:
    QWidget &window_;
    bool seen_ = false;
};

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("hakomi"));
    QApplication::setDesktopFileName(QStringLiteral("hakomi"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/hakomi.png")));

    Form1 form;
    FirstPaint watcher(form);
    application.installEventFilter(&watcher);
    app::Handler([&form] { form.Form_Load(); })();
    form.show();
    // Never waits for ever when no paint comes.
    QTimer::singleShot(20000, [] {
        std::fprintf(stderr, "bench_startup: no paint within 20 s\n");
        QCoreApplication::exit(1);
    });
    return application.exec();
}
