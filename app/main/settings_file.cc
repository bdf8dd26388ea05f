#include "app/main/settings_file.h"

#include <cctype>
#include <map>

#include "platform/profile.h"

namespace kel {
namespace {

// The entry number of a key "Sectors_<n>" (any letter case), or 0.
int64_t EntryNumber(const std::string& key) {
  const std::string prefix = std::string(SettingsFile::kCountKey) + "_";
  if (key.size() <= prefix.size() || key.size() > prefix.size() + 9) return 0;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower((unsigned char)key[i]) != std::tolower((unsigned char)prefix[i])) return 0;
  int64_t n = 0;
  for (size_t i = prefix.size(); i < key.size(); ++i) {
    if (!std::isdigit((unsigned char)key[i])) return 0;
    n = n * 10 + (key[i] - '0');
  }
  return n;
}

}  // namespace

SectorEntry SettingsFile::Split(std::string raw) {
  SectorEntry e;
  size_t pos = 0;
  while (e.values.size() < kMaxValues) {
    size_t comma = raw.find(',', pos);
    std::string value = raw.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
    if (value.size() > kMaxValueLength) value.resize(kMaxValueLength);
    e.values.push_back(std::move(value));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  e.raw = std::move(raw);
  return e;
}

void SettingsFile::Read() {
  sectors_.clear();
  int64_t count = platform::GetPrivateProfileInt(kSection, kCountKey, 0, file_);
  if (count <= 0) return;
  std::map<int64_t, std::string> present;
  for (auto& [key, value] : platform::GetPrivateProfileSection(kSection, file_)) {
    int64_t n = EntryNumber(key);
    if (n >= 1 && n <= count) present.emplace(n, value);
  }
  if (present.empty()) return;
  int64_t last = present.rbegin()->first;
  for (int64_t i = 1; i <= last; ++i) {
    auto it = present.find(i);
    sectors_.push_back(Split(it == present.end() ? std::string() : it->second));
  }
}

int SettingsFile::Write() const {
  std::vector<std::pair<std::string, std::string>> entries;
  entries.emplace_back(kCountKey, std::to_string(sectors_.size()));
  for (size_t i = 0; i < sectors_.size(); ++i)
    entries.emplace_back(std::string(kCountKey) + "_" + std::to_string(i + 1), sectors_[i].raw);
  return platform::WritePrivateProfileStrings(kSection, entries, file_);
}

}  // namespace kel
