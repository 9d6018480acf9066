#include "UnZip32Binding.h"

#include <dlfcn.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "Class1.h"

namespace archive
{
namespace
{

constexpr const char *kModule = "libUnZip32.so";

void *g_library = nullptr;
std::string g_loadedFrom;
std::string g_testPath;

std::string ExecutableFolder()
{
    std::string path(4096, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0)
            return {};
        if (std::size_t(n) < path.size()) {
            path.resize(std::size_t(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.rfind('/') + 1);
}

std::string LastDlError()
{
    const char *error = ::dlerror();
    return error ? error : "unknown error";
}

void *Load(const std::string &path)
{
    void *library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library)
        throw std::runtime_error("cannot load the archive library " + path + ": " + LastDlError());
    g_loadedFrom = path;
    return library;
}

void *Library()
{
    if (g_library)
        return g_library;
    if (!g_testPath.empty())
        return g_library = Load(g_testPath);

    // Beside the program first (the build tree), then the install's private library folder,
    // then the program's RUNPATH and the system's path. A file that is there but does not load
    // is an error, not a reason to take another one.
    std::vector<std::string> places;
    if (const std::string folder = ExecutableFolder(); !folder.empty()) {
        places.push_back(folder + kModule);
        places.push_back(folder + HAKOMI_PRIVATE_LIBDIR "/" + kModule);
    }
    for (const std::string &place : places)
        if (::access(place.c_str(), F_OK) == 0)
            return g_library = Load(place);
    if (void *library = ::dlopen(kModule, RTLD_NOW | RTLD_LOCAL)) {
        g_loadedFrom = kModule;
        return g_library = library;
    }
    std::string tried;
    for (const std::string &place : places)
        tried += place + ", ";
    throw std::runtime_error(std::string("cannot find the archive library ") + kModule +
                             " (looked for " + tried +
                             "then in the system's library path): " + LastDlError());
}

} // namespace

void *LibraryFunction(const char *name)
{
    void *library = Library();
    ::dlerror();
    void *address = ::dlsym(library, name);
    if (!address)
        throw std::runtime_error("the archive library " + g_loadedFrom + " has no function " +
                                 name + ": " + LastDlError());
    return address;
}

void *OptionalLibraryFunction(const char *name) noexcept
{
    try {
        void *library = Library();
        ::dlerror();
        return ::dlsym(library, name);
    } catch (...) {
        return nullptr;
    }
}

ReadAheadFunctions OptionalReadAhead() noexcept
{
    // Both or neither: a read that could not be dropped would be held for the whole process.
    static const ReadAheadFunctions functions = [] {
        ReadAheadFunctions f;
        f.readAhead = reinterpret_cast<ReadAhead::Type>(OptionalLibraryFunction(ReadAhead::name));
        f.drop =
            reinterpret_cast<DropReadAhead::Type>(OptionalLibraryFunction(DropReadAhead::name));
        if (!f.readAhead || !f.drop)
            f = {};
        return f;
    }();
    return functions;
}

void SetLibraryPathForTesting(const std::string &path)
{
    if (g_library)
        throw std::logic_error("the archive library is already loaded from " + g_loadedFrom);
    g_testPath = path;
}

} // namespace archive
