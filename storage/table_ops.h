// Whole-file steps of REMOVE, COPY and RENAME: copying, moving and deleting
// a table file as the operating system does, without ever replacing an
// existing target and without moving or deleting a file that anybody else
// has open.
//
// "Anybody else" is checked with the share announcements of OpenTableFile:
// a probe open that denies everything fails while another descriptor (of
// this or another process) has the file open, and while the probe lives no
// one else can open the file. The file objects of this process are checked
// in the open-file registry first.
#pragma once

#include <string>

namespace kel {

// Copies the committed state of the table file `from` to the new file `to`.
// 0; 17 (the target exists); 5; or an I/O error code. Nothing is left at
// `to` on failure.
int CopyWholeFile(const std::string& from, const std::string& to);

// Moves the table file `from` to `to`. 0; 17 (the target exists); 5 (the
// file is open elsewhere); 18 (another file system); or an error code.
int MoveWholeFile(const std::string& from, const std::string& to);

// Deletes the table file at `path` unless it is open elsewhere: 0, 5 or an
// error code.
int DeleteWholeFile(const std::string& path);

// True when `a` and `b` name the same physical file (device and inode).
bool SameFile(const std::string& a, const std::string& b);

}  // namespace kel
