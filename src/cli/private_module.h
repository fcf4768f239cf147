#pragma once
// Where burrowlens-scan's own modules live: beside the executable in a build
// tree, in lib/burrowlens once installed. Free of Qt, as the launcher is.
#include <climits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

inline std::string privateModulePath(const char *name)
{
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string bin = n > 0 ? std::string(self, size_t(n)) : std::string();
    bin = bin.substr(0, bin.find_last_of('/') + 1);
    std::string module = bin + name;
    struct stat st;
    if (stat(module.c_str(), &st) != 0)
        module = bin + "../" BL_INSTALL_LIBDIR "/burrowlens/" + name;
    return module;
}
