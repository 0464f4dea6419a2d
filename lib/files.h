#pragma once
// File helpers: listing by mask, expanding folders into their files, deleting,
// finding a program on the search path, reading a whole file, and numbers
// written with the locale's thousands separator.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nuvex {

enum class FindWhat { All, Files, Folders };

// Appends the names of the entries matching the mask's last part (a glob:
// "*", "?", "[...]"; "*.*" matches every name, with or without a dot), with the
// mask's folder in front when asked; "." and ".." never. Names are appended in
// sorted order. Returns whether the folder could be read to its end.
bool FindFiles(std::string_view mask, std::vector<std::string>& list, bool withFolder,
               FindWhat what = FindWhat::All);

// Replaces every folder in the list by the files and folders it holds (full
// paths), repeating until no folder is left: files keep their places, entries
// from folders go to the end. A folder reached twice (through a link) is
// dropped the second time.
void ExpandFolders(std::vector<std::string>& list);

// Deletes the file when tryNow is set. There is no "delete at restart" here, so
// the answer is simply whether the file is gone.
bool DeleteFileNowOrAtRestart(const std::string& path, bool tryNow = true);

// A text with "%" gets its %VAR% environment variables expanded (unknown ones
// stay as written). Otherwise a bare name is searched on $PATH and a path is
// made absolute when the file exists. Anything not found comes back unchanged.
std::string ExpandPath(std::string_view text);

// Files larger than this are not read at all.
inline constexpr std::size_t kMaxFileTextBytes = std::size_t{64} * 1024 * 1024;
// The file's whole content, or an empty string when it is missing, unreadable,
// not a regular file or larger than kMaxFileTextBytes.
std::string ReadFileText(const std::string& path);

// The number rounded to a whole (halves away from zero) and written with the
// thousands separator and grouping of the C library's current LC_NUMERIC
// locale: "1,234,568" in en_US, "1234568" in the C locale.
std::string FormatThousands(double number);

} // namespace nuvex
