// Whole files and folder listings for test checks, without the code under
// test.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// The whole file (empty when missing).
std::string ReadFileBytes(const std::filesystem::path& path);
// Writes the bytes, replacing the file; false when that failed.
bool WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);
// A named pipe, and a character device node (the null device's numbers;
// making one needs the right to, as root has); false when that failed.
bool MakeFifo(const std::filesystem::path& path);
bool MakeNullDevice(const std::filesystem::path& path);
// Names of the regular files in a folder, sorted (empty when missing).
std::vector<std::string> FilesIn(const std::filesystem::path& folder);
// Files, and folders, below `root` as "/"-separated relative paths.
std::set<std::string> FilesBelow(const std::filesystem::path& root);
std::set<std::string> FoldersBelow(const std::filesystem::path& root);
