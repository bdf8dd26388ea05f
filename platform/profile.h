// Profile strings: named values in INI files, the Linux stand-in for the
// private-profile and user-profile functions.
//
// A file named without a directory lives in the profile directory,
// $XDG_CONFIG_HOME/kelvaro/ (or ~/.config/kelvaro/ when XDG_CONFIG_HOME is
// unset or not absolute); a name with a "/" is used as given. The user
// profile (GetProfileString and friends) is the file "user.ini" there.
//
// File format: lines separated by "\n" (a "\r" before it is dropped).
//   [Section]        starts a section
//   key=value        an entry; blanks around key and value are not part of them
//   ;text            a comment
// Section and key names match without regard to ASCII letter case; the first
// of two equal keys in a section wins, as does the first of two equal
// sections. Any other line is not an entry: it is ignored on reading and kept
// on rewriting, except lines holding control characters (binary garbage),
// which are dropped when the file is rewritten. Reading never fails: a missing
// or unreadable file reads as empty.
//
// A write rewrites the whole file through a temporary file renamed over it,
// so a crash leaves either the old or the new file, never a torn one.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kel::platform {

std::string ProfileDirectory();
// Full path of a profile file: `file` itself when it holds a "/", else
// ProfileDirectory() + "/" + file.
std::string ProfileFilePath(std::string_view file);

// The value of `key` in `section`, or `fallback` when there is none.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view fallback, std::string_view file);
// True and *value when the key exists.
bool FindPrivateProfileString(std::string_view section, std::string_view key,
                              std::string_view file, std::string* value);
// The key's value read as a whole number: an optional sign and the leading
// digits (0 when there are none), clamped to the range of int32_t;
// `fallback` when the key does not exist.
int32_t GetPrivateProfileInt(std::string_view section, std::string_view key, int32_t fallback,
                             std::string_view file);
// Every entry of a section in file order (first of equal keys only).
std::vector<std::pair<std::string, std::string>> GetPrivateProfileSection(
    std::string_view section, std::string_view file);

// Sets key=value, adding the section and the key when missing (at the end of
// the section). Answers 0 or an error code (errno number); 22 when a name or
// the value cannot be stored (a line break or NUL in it, "=" or "]" in a
// name, an empty name).
int WritePrivateProfileString(std::string_view section, std::string_view key,
                              std::string_view value, std::string_view file);
// Sets several keys of one section in one rewrite of the file, in order;
// the same rules as WritePrivateProfileString (nothing is written when one
// entry cannot be stored).
int WritePrivateProfileStrings(std::string_view section,
                               const std::vector<std::pair<std::string, std::string>>& entries,
                               std::string_view file);
// Removes a key; 0 also when it did not exist.
int DeletePrivateProfileKey(std::string_view section, std::string_view key, std::string_view file);

// The same on the user profile.
std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view fallback);
int32_t GetProfileInt(std::string_view section, std::string_view key, int32_t fallback);
int WriteProfileString(std::string_view section, std::string_view key, std::string_view value);

inline constexpr const char* kUserProfileFile = "user.ini";

}  // namespace kel::platform
