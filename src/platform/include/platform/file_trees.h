#pragma once
// Looking at a folder tree as a whole: its files, whether two files hold the same bytes, and
// moving a tree to another name. The same on every platform (the standard library's file
// system), so the backends need not provide it. Symbolic links are never followed.

#include <string>
#include <vector>

namespace platform {

// The regular files below folder, as paths relative to it with '/' between the parts, in no
// particular order. Links and special files are not listed. False when the tree could not be
// read whole; a folder that does not exist is an empty tree.
bool listFilesBelow(const std::string& folder, std::vector<std::string>& relativePaths);

// True when both are regular files of the same length and bytes. False when either cannot be read.
bool sameFileContents(const std::string& first, const std::string& second);

// Whether every regular file below folder is also below container, at the same relative path
// and with the same bytes (a folder that does not exist holds nothing). False when either tree
// cannot be read whole.
bool folderHoldsFilesOf(const std::string& container, const std::string& folder);

// Whether copying the files below from into to would replace something at to that differs:
// a file with other bytes, or anything that is not a regular file, at a path a file of from
// would take. True when a tree cannot be read (nothing is known to be safe then).
bool copyWouldReplace(const std::string& from, const std::string& to);

// Moves a file or folder to a name that does not exist yet, on the same file system; never
// replaces anything. False when it could not be moved (the source is then where it was).
bool movePath(const std::string& from, const std::string& to);

// Renames a file over another one in one step, so that a reader sees the old file or the new
// one, never a part of either. False when it could not be renamed.
bool replacePath(const std::string& from, const std::string& to);

} // namespace platform
