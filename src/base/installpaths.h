// Where a program finds the files it ships with: beside itself in the build
// tree, or under the install prefix it was installed to.
#pragma once

#include <string>
#include <vector>

namespace seafold {

// The folder of the running program ("." when it cannot be told).
std::string executableDirectory();

// The data folder of an installed program: share/seafold under the prefix
// the program sits in (found from its own location, so a staged or moved
// install works too).
std::string installedDataDirectory();

// The user's cache folder for this program, $XDG_CACHE_HOME/seafold (else
// ~/.cache/seafold), made when missing; "." when it cannot be made.
std::string userCacheDirectory();

bool isDirectory(const std::string& path);
bool fileExists(const std::string& path);

// The first of `candidates` that holds `marker` (a file or folder name);
// empty when none does. The candidates are the folders searched, in order.
std::string firstFolderHolding(const std::vector<std::string>& candidates, const std::string& marker);

// "A, B and C": the folders searched, for a message that none would do.
std::string listFolders(const std::vector<std::string>& folders);

} // namespace seafold
