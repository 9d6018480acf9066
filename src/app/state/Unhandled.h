// The one place where an error that no handler caught is reported. Handlers do not catch;
// they are wrapped where they are connected, so an error ends the handler, is reported, and
// the program goes on with what the handler had done.
#pragma once

#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace app
{

using ErrorReporter = std::function<void(const std::string &message)>;

// Replaces the reporter; the default writes the message to standard error.
void SetUnhandledErrorReporter(ErrorReporter reporter);
// Reports the exception currently being handled (or the given one).
void ReportUnhandled(std::exception_ptr error);
std::string DescribeError(std::exception_ptr error);

// Wraps a handler so that an error leaving it goes to the report instead of through Qt's frames.
template <class F> auto Handler(F f)
{
    return [f = std::move(f)](auto &&...args) {
        try {
            f(std::forward<decltype(args)>(args)...);
        } catch (...) {
            ReportUnhandled(std::current_exception());
        }
    };
}

} // namespace app
