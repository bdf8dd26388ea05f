#include "platform/profile.h"

#include "platform/ascii.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

namespace kel::platform {
namespace {

constexpr auto EqualsNoCase = EqualsNoCaseAscii;

std::string_view Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

bool HasControl(std::string_view s) {
  for (unsigned char c : s)
    if ((c < 0x20 && c != '\t') || c == 0x7f) return true;
  return false;
}

// One line of a profile file, classified.
struct Line {
  enum Kind { kSection, kEntry, kOther } kind = kOther;
  std::string text;     // the line as it stands in the file
  std::string name;     // section name or key
  std::string value;    // entry value
  bool garbage = false; // holds control characters: dropped on rewrite
};

Line Classify(std::string text) {
  Line line;
  line.garbage = HasControl(text);
  std::string_view t = Trim(text);
  if (!line.garbage && !t.empty() && t[0] != ';') {
    if (t[0] == '[') {
      size_t close = t.find(']');
      if (close != std::string_view::npos) {
        line.kind = Line::kSection;
        line.name = std::string(Trim(t.substr(1, close - 1)));
      }
    } else {
      size_t eq = t.find('=');
      if (eq != std::string_view::npos && eq > 0) {
        std::string_view key = Trim(t.substr(0, eq));
        if (!key.empty()) {
          line.kind = Line::kEntry;
          line.name = std::string(key);
          line.value = std::string(Trim(t.substr(eq + 1)));
        }
      }
    }
  }
  line.text = std::move(text);
  return line;
}

std::vector<Line> ReadLines(const std::string& path) {
  std::vector<Line> lines;
  std::ifstream in(path, std::ios::binary);
  if (!in) return lines;
  std::stringstream buffer;
  buffer << in.rdbuf();
  std::string data = buffer.str();
  size_t pos = 0;
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    size_t end = nl == std::string::npos ? data.size() : nl;
    std::string text = data.substr(pos, end - pos);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    lines.push_back(Classify(std::move(text)));
    pos = end + 1;
  }
  return lines;
}

// Index range [begin, end) of the lines of the first section named `section`
// (begin is its header line), or nullopt.
std::optional<std::pair<size_t, size_t>> FindSection(const std::vector<Line>& lines,
                                                     std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].kind != Line::kSection || !EqualsNoCase(lines[i].name, section)) continue;
    size_t end = i + 1;
    while (end < lines.size() && lines[end].kind != Line::kSection) ++end;
    return std::make_pair(i, end);
  }
  return std::nullopt;
}

// Index of the first entry `key` within the section range, or nullopt.
std::optional<size_t> FindKey(const std::vector<Line>& lines, std::pair<size_t, size_t> range,
                              std::string_view key) {
  for (size_t i = range.first + 1; i < range.second; ++i)
    if (lines[i].kind == Line::kEntry && EqualsNoCase(lines[i].name, key)) return i;
  return std::nullopt;
}

int MakeDirectories(const std::string& dir) {
  if (dir.empty()) return 0;
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
  size_t slash = dir.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    int rc = MakeDirectories(dir.substr(0, slash));
    if (rc != 0) return rc;
  }
  if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  return 0;
}

int WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += size_t(n);
  }
  return 0;
}

int WriteLines(const std::string& path, const std::vector<Line>& lines) {
  size_t slash = path.find_last_of('/');
  if (slash != std::string::npos) {
    int rc = MakeDirectories(path.substr(0, slash));
    if (rc != 0) return rc;
  }
  std::string data;
  for (const Line& line : lines) {
    if (line.garbage) continue;
    data += line.text;
    data += '\n';
  }
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int rc = WriteAll(fd, data);
  if (rc == 0 && fsync(fd) != 0) rc = errno;
  if (close(fd) != 0 && rc == 0) rc = errno;
  if (rc == 0 && rename(tmp.c_str(), path.c_str()) != 0) rc = errno;
  if (rc != 0) unlink(tmp.c_str());
  return rc;
}

bool StorableName(std::string_view name) {
  name = Trim(name);
  return !name.empty() && !HasControl(name) && name.find('=') == std::string_view::npos &&
         name.find(']') == std::string_view::npos && name[0] != '[' && name[0] != ';';
}

}  // namespace

std::string ProfileDirectory() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  std::string base;
  if (xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && home[0] ? home : ".") + "/.config";
  }
  return base + "/kelvaro";
}

std::string ProfileFilePath(std::string_view file) {
  if (file.find('/') != std::string_view::npos) return std::string(file);
  return ProfileDirectory() + "/" + std::string(file);
}

bool FindPrivateProfileString(std::string_view section, std::string_view key,
                              std::string_view file, std::string* value) {
  std::vector<Line> lines = ReadLines(ProfileFilePath(file));
  auto range = FindSection(lines, section);
  if (!range) return false;
  auto at = FindKey(lines, *range, key);
  if (!at) return false;
  *value = lines[*at].value;
  return true;
}

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view fallback, std::string_view file) {
  std::string value;
  if (FindPrivateProfileString(section, key, file, &value)) return value;
  return std::string(fallback);
}

int32_t GetPrivateProfileInt(std::string_view section, std::string_view key, int32_t fallback,
                             std::string_view file) {
  std::string text;
  if (!FindPrivateProfileString(section, key, file, &text)) return fallback;
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > int64_t(INT32_MAX) + 1) value = int64_t(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  return int32_t(value);
}

std::vector<std::pair<std::string, std::string>> GetPrivateProfileSection(
    std::string_view section, std::string_view file) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::vector<Line> lines = ReadLines(ProfileFilePath(file));
  auto range = FindSection(lines, section);
  if (!range) return entries;
  for (size_t i = range->first + 1; i < range->second; ++i) {
    if (lines[i].kind != Line::kEntry) continue;
    bool seen = false;
    for (const auto& e : entries) seen = seen || EqualsNoCase(e.first, lines[i].name);
    if (!seen) entries.emplace_back(lines[i].name, lines[i].value);
  }
  return entries;
}

namespace {

// Sets one key in the parsed lines.
void SetEntry(std::vector<Line>& lines, std::string_view section, std::string_view key,
              std::string_view value) {
  auto range = FindSection(lines, section);
  if (!range) {
    lines.push_back(Classify("[" + std::string(section) + "]"));
    lines.push_back(Classify(std::string(key) + "=" + std::string(value)));
  } else if (auto at = FindKey(lines, *range, key)) {
    lines[*at] = Classify(lines[*at].name + "=" + std::string(value));  // keeps the key's spelling
  } else {
    // After the last entry of the section, ahead of trailing blank lines.
    size_t insert = range->second;
    while (insert > range->first + 1 && Trim(lines[insert - 1].text).empty()) --insert;
    lines.insert(lines.begin() + long(insert), Classify(std::string(key) + "=" + std::string(value)));
  }
}

}  // namespace

int WritePrivateProfileString(std::string_view section, std::string_view key,
                              std::string_view value, std::string_view file) {
  return WritePrivateProfileStrings(section, {{std::string(key), std::string(value)}}, file);
}

int WritePrivateProfileStrings(std::string_view section,
                               const std::vector<std::pair<std::string, std::string>>& entries,
                               std::string_view file) {
  if (!StorableName(section)) return EINVAL;
  for (const auto& [key, value] : entries)
    if (!StorableName(key) || HasControl(value)) return EINVAL;
  section = Trim(section);
  std::string path = ProfileFilePath(file);
  std::vector<Line> lines = ReadLines(path);
  for (const auto& [key, value] : entries) SetEntry(lines, section, Trim(key), value);
  return WriteLines(path, lines);
}

int DeletePrivateProfileKey(std::string_view section, std::string_view key, std::string_view file) {
  std::string path = ProfileFilePath(file);
  std::vector<Line> lines = ReadLines(path);
  auto range = FindSection(lines, section);
  if (!range) return 0;
  auto at = FindKey(lines, *range, key);
  if (!at) return 0;
  lines.erase(lines.begin() + long(*at));
  return WriteLines(path, lines);
}

std::string GetProfileString(std::string_view section, std::string_view key,
                             std::string_view fallback) {
  return GetPrivateProfileString(section, key, fallback, kUserProfileFile);
}

int32_t GetProfileInt(std::string_view section, std::string_view key, int32_t fallback) {
  return GetPrivateProfileInt(section, key, fallback, kUserProfileFile);
}

int WriteProfileString(std::string_view section, std::string_view key, std::string_view value) {
  return WritePrivateProfileString(section, key, value, kUserProfileFile);
}

}  // namespace kel::platform
