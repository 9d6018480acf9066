#include "Unhandled.h"

#include <cstdio>
#include <new>

namespace app
{

namespace
{
ErrorReporter &reporter()
{
    static ErrorReporter r = [](const std::string &message) {
        std::fprintf(stderr, "hakomi: %s\n", message.c_str());
    };
    return r;
}
} // namespace

void SetUnhandledErrorReporter(ErrorReporter r)
{
    reporter() = std::move(r);
}

std::string DescribeError(std::exception_ptr error)
{
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const std::bad_alloc &) {
        return "メモリが足りません";
    } catch (const std::exception &e) {
        return e.what();
    } catch (...) {
    }
    return "unknown error";
}

void ReportUnhandled(std::exception_ptr error)
{
    reporter()(DescribeError(error));
}

} // namespace app
