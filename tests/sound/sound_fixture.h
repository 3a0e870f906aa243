// A temporary catalogue folder for sound tests.
#pragma once

#include <string>

// Writes every catalogue file (0.1 s of a full-scale-ish square wave at
// 8000 Hz, amplitude 20000) into a new temporary folder and returns its path.
std::string makeCatalogueFolder();
// Removes the folder and the files in it.
void removeFolder(const std::string& folder);
