#include "base/installpaths.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#ifndef SEAFOLD_DATA_FROM_BIN
#error "SEAFOLD_DATA_FROM_BIN comes from the build: the data folder relative to the program folder"
#endif

namespace seafold {

std::string executableDirectory()
{
    char buffer[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return ".";
    std::string path(buffer, size_t(length));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string installedDataDirectory()
{
    return executableDirectory() + "/" + SEAFOLD_DATA_FROM_BIN;
}

std::string userCacheDirectory()
{
    const char* cache = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (cache && *cache)
        base = cache;
    else if (home && *home)
        base = std::string(home) + "/.cache";
    else
        return ".";
    std::string folder = base + "/seafold";
    // Owner-only, as the XDG base directory rules ask for a folder made here.
    mkdir(base.c_str(), 0700);
    if (mkdir(folder.c_str(), 0700) != 0 && !isDirectory(folder))
        return ".";
    return folder;
}

bool isDirectory(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool fileExists(const std::string& path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

std::string firstFolderHolding(const std::vector<std::string>& candidates, const std::string& marker)
{
    for (const std::string& folder : candidates) {
        if (!folder.empty() && fileExists(folder + "/" + marker))
            return folder;
    }
    return std::string();
}

std::string listFolders(const std::vector<std::string>& folders)
{
    std::string text;
    for (size_t k = 0; k < folders.size(); ++k) {
        if (k > 0)
            text += k + 1 == folders.size() ? " and " : ", ";
        text += folders[k];
    }
    return text;
}

} // namespace seafold
