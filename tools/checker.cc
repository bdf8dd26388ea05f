#include "tools/checker.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "storage/collation.h"
#include "storage/container.h"
#include "storage/def_stream.h"
#include "storage/key_encoding.h"
#include "storage/record_kinds.h"
#include "storage/store.h"
#include "storage/table_desc.h"
#include "tools/table_file.h"

namespace kel::tool {
namespace {

constexpr uint32_t kMaxLeafRecord = 15076;
constexpr int kMaxDepth = 64;

std::string Hex(std::string_view bytes, size_t max = 24) {
  std::string out;
  char buf[4];
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", unsigned(uint8_t(bytes[i])));
    out += buf;
  }
  if (bytes.size() > max) out += "...";
  return out.empty() ? "(empty)" : out;
}

class Checker {
 public:
  Checker(RawFile& file, const CheckOptions& options, CheckResult& result)
      : f_(file), opt_(options), r_(result), h_(file.header()) {}

  void Run() {
    CheckHeader();
    if (h_.change_count == 0 && AllRegionsEmpty()) {
      r_.notes.push_back("the file has never been written: no tree, no tables");
      return;
    }
    total_slots_ = CountSlots();
    if (h_.root < 0) {
      Problem("the header names no root page (" + std::to_string(h_.root) + ") although the file was written");
    } else {
      Visit(h_.root, -1, -1, nullptr, nullptr, true, 0);
      if (!saw_sentinel_) Problem("the first record of the tree is not the empty sentinel record");
    }
    CheckOrphans();
    r_.pages = visited_.size();
    r_.records = records_.size();
    CheckRecords();
  }

 private:
  void Problem(const std::string& line) {
    ++r_.problem_count;
    if (r_.problems.size() < opt_.max_problems) r_.problems.push_back(line);
  }

  // ---- header and regions -------------------------------------------------
  bool AllRegionsEmpty() const {
    for (int i = 0; i < kRegionCount; ++i)
      if (h_.start[i] != h_.end[i]) return false;
    return true;
  }

  void CheckHeader() {
    if (f_.log_state() == RawFile::LogState::kComplete)
      r_.notes.push_back("a complete commit log of " + std::to_string(f_.log_blocks()) +
                         " blocks is pending; checked the state it commits (the next writer replays it)");
    if (f_.log_state() == RawFile::LogState::kBroken)
      r_.notes.push_back("a broken commit log is pending (" + f_.log_problem() +
                         "); checked the state before it (the next writer rolls it back)");
    if (h_.own_position != 0) Problem("header: own position is " + std::to_string(h_.own_position) + ", not 0");
    if (h_.header_length != kHeaderSize)
      Problem("header: header length is " + std::to_string(h_.header_length) + ", not 512");
    if (h_.start[0] != 0 || h_.end[0] != 0) Problem("header: region 0 is not empty");
    regions_ok_ = true;
    for (int i = 1; i <= kMaxClass; ++i) {
      const std::string name = "region " + std::to_string(i);
      if (h_.start[i] > h_.end[i]) {
        Problem("header: " + name + " ends (" + std::to_string(h_.end[i]) + ") before it starts (" +
                std::to_string(h_.start[i]) + ")");
        regions_ok_ = false;
        continue;
      }
      if ((h_.end[i] - h_.start[i]) % uint32_t(i) != 0) {
        Problem("header: " + name + " is not a whole number of its pages (" + std::to_string(h_.end[i] - h_.start[i]) +
                " units)");
        regions_ok_ = false;
      }
      if (i < kMaxClass && h_.end[i] > h_.start[i + 1]) {
        Problem("header: " + name + " overlaps region " + std::to_string(i + 1));
        regions_ok_ = false;
      }
      if (uint64_t(h_.end[i]) > kMaxUnits) {
        Problem("header: " + name + " reaches the lock area");
        regions_ok_ = false;
      }
    }
    if (!regions_ok_) return;
    // Packing as every commit leaves it.
    if (h_.start[1] != 0) Problem("header: region 1 does not begin at address 0");
    for (int i = 2; i <= kMaxClass; ++i) {
      uint32_t size = h_.end[i] - h_.start[i];
      uint32_t gap = h_.start[i] - h_.end[i - 1];
      if (size > uint32_t(i) && gap >= uint32_t(i))
        Problem("header: a gap of " + std::to_string(gap) + " units lies in front of region " + std::to_string(i) +
                ", room for one of its pages (regions not compacted)");
      if (size != 0 && size <= uint32_t(i) && gap != 0)
        Problem("header: region " + std::to_string(i) + " holds one page but does not touch region " +
                std::to_string(i - 1));
    }
    const uint64_t used = h_.UsedEnd();
    if (f_.file_size() < used)
      Problem("the file is " + std::to_string(f_.file_size()) + " bytes, shorter than its used end " +
              std::to_string(used));
  }

  uint64_t CountSlots() const {
    if (!regions_ok_) return 0;
    uint64_t n = 0;
    for (int i = 1; i <= kMaxClass; ++i) n += (h_.end[i] - h_.start[i]) / uint32_t(i);
    return n;
  }

  // Class of a page address, 0 when it is in no region; *aligned tells
  // whether it is at a page boundary of its region.
  int ClassOf(int32_t a, bool* aligned) const {
    *aligned = false;
    if (a < 0) return 0;
    for (int i = 1; i <= kMaxClass; ++i) {
      if (uint32_t(a) >= h_.start[i] && uint32_t(a) < h_.end[i]) {
        *aligned = (uint32_t(a) - h_.start[i]) % uint32_t(i) == 0;
        return i;
      }
    }
    return 0;
  }

  // ---- tree -------------------------------------------------------------------
  // Visits the page at `a`, which its parent expects at `level` (-1: the
  // root) and whose records must lie in [lo, hi).
  void Visit(int32_t a, int level, int32_t parent, const std::string* lo, const std::string* hi, bool leftmost,
             int depth) {
    const std::string where = "page " + std::to_string(a);
    const std::string from = parent < 0 ? " (the root)" : " (child of page " + std::to_string(parent) + ")";
    if (depth > kMaxDepth) {
      Problem(where + from + ": the tree is deeper than " + std::to_string(kMaxDepth) + " levels (a cycle?)");
      return;
    }
    bool aligned = false;
    int cls = ClassOf(a, &aligned);
    if (cls == 0) {
      Problem(where + from + ": lies in no region");
      return;
    }
    if (!aligned) {
      Problem(where + from + ": is not at a page boundary of region " + std::to_string(cls));
      return;
    }
    auto [it, fresh] = visited_.emplace(a, parent);
    if (!fresh) {
      Problem(where + " is reached twice: from page " + std::to_string(it->second) + " and from page " +
              std::to_string(parent));
      return;
    }
    if (opt_.progress && (visited_.size() % 64 == 0)) opt_.progress(visited_.size(), total_slots_);

    std::vector<uint8_t> image;
    std::string err = f_.ReadPage(a, cls, &image);
    if (!err.empty()) {
      Problem(where + from + ": " + err);
      return;
    }
    uint32_t own = uint32_t(image[0]) | uint32_t(image[1]) << 8 | uint32_t(image[2]) << 16 | uint32_t(image[3]) << 24;
    if (own != PageOffset(a))
      Problem(where + ": its image says it belongs at offset " + std::to_string(own) + ", not " +
              std::to_string(PageOffset(a)));
    ParsedPage page;
    int rc = Guarded([&] { page = ParsePageImage(image.data(), image.size()); });
    if (rc != 0) {
      Problem(where + from + ": the page image does not parse (" + InternalErrorText(rc) + ")");
      return;
    }
    const uint16_t unpacked = uint16_t(image[6] | image[7] << 8);
    if (level >= 0 && page.level != level)
      Problem(where + ": level " + std::to_string(page.level) + ", its parent expects level " + std::to_string(level));
    std::vector<const Record*> ptrs;
    for (const Record& rec : page.records) ptrs.push_back(&rec);
    uint32_t estimate = SizeEstimate(ptrs, page.level);
    if (estimate != page.estimate)
      Problem(where + ": size estimate " + std::to_string(page.estimate) + ", its records account for " +
              std::to_string(estimate));
    if (unpacked > page.estimate)
      Problem(where + ": unpacked length " + std::to_string(unpacked) + " exceeds its size estimate " +
              std::to_string(page.estimate));
    if (page.records.empty()) {
      if (parent >= 0) Problem(where + from + ": is empty (only the root may be)");
      return;
    }

    // Order inside the page and the range the parent gives.
    for (size_t i = 0; i < page.records.size(); ++i) {
      std::string_view key = page.records[i].key();
      if (i > 0 && CompareKeys(page.records[i - 1].key(), key) >= 0) {
        Problem(where + ": records " + std::to_string(i) + " and " + std::to_string(i + 1) + " are out of order");
      }
      if ((lo && CompareKeys(key, *lo) < 0) || (hi && CompareKeys(key, *hi) >= 0)) {
        Problem(where + ": record " + std::to_string(i + 1) + " (key " + Hex(key) +
                ") lies outside the range its parent's separators give");
      }
    }

    if (page.level == 0) {
      for (size_t i = 0; i < page.records.size(); ++i) {
        Record& rec = page.records[i];
        if (rec.key_len == 0) {
          if (!leftmost || i != 0 || saw_sentinel_) {
            Problem(where + ": an empty key in record " + std::to_string(i + 1) + " besides the sentinel");
          } else if (!rec.bytes.empty()) {
            Problem(where + ": the sentinel record carries data");
          }
          saw_sentinel_ = true;
          continue;
        }
        if (rec.bytes.size() > kMaxLeafRecord)
          Problem(where + ": record " + std::to_string(i + 1) + " is " + std::to_string(rec.bytes.size()) +
                  " bytes, above the limit of a leaf record");
        if (have_last_ && CompareKeys(last_key_, rec.key()) >= 0) order_broken_ = true;
        last_key_.assign(rec.key());
        have_last_ = true;
        records_.push_back(std::move(rec));
      }
      return;
    }

    for (size_t i = 0; i < page.records.size(); ++i) {
      const Record& sep = page.records[i];
      if (sep.bytes.size() != sep.key_len)
        Problem(where + ": separator " + std::to_string(i + 1) + " carries data bytes");
      if (leftmost && i == 0 && sep.key_len != 0)
        Problem(where + ": the first separator of the leftmost page of level " + std::to_string(page.level) +
                " is not the empty key");
    }
    for (size_t i = 0; i < page.records.size(); ++i) {
      std::string sep_lo(page.records[i].key());
      std::optional<std::string> sep_hi;
      if (i + 1 < page.records.size()) sep_hi.emplace(page.records[i + 1].key());
      const std::string* child_lo = &sep_lo;
      const std::string* child_hi = sep_hi ? &*sep_hi : hi;
      Visit(page.records[i].child, page.level - 1, a, child_lo, child_hi, leftmost && i == 0, depth + 1);
    }
  }

  void CheckOrphans() {
    if (!regions_ok_) return;
    uint64_t orphans = 0;
    for (int i = 1; i <= kMaxClass; ++i) {
      for (uint32_t a = h_.start[i]; a < h_.end[i]; a += uint32_t(i)) {
        if (visited_.count(int32_t(a))) continue;
        ++orphans;
        Problem("page " + std::to_string(a) + " (region " + std::to_string(i) + ") is not reachable from the root");
      }
    }
    (void)orphans;
  }

  // ---- records ---------------------------------------------------------------
  const Record* Find(std::string_view key) const {
    auto it = std::lower_bound(records_.begin(), records_.end(), key,
                               [](const Record& r, std::string_view k) { return CompareKeys(r.key(), k) < 0; });
    if (it != records_.end() && CompareKeys(it->key(), key) == 0) return &*it;
    return nullptr;
  }
  // [first, last) of the records whose key begins with `prefix`.
  std::pair<size_t, size_t> Range(const std::string& prefix) const {
    auto lo = std::lower_bound(records_.begin(), records_.end(), prefix,
                               [](const Record& r, const std::string& k) { return CompareKeys(r.key(), k) < 0; });
    auto hi = lo;
    while (hi != records_.end() && hi->key().substr(0, prefix.size()) == prefix) ++hi;
    return {size_t(lo - records_.begin()), size_t(hi - records_.begin())};
  }

  void CheckRecords() {
    if (order_broken_) {
      Problem("the records are not in ascending key order across the tree's leaves");
      std::stable_sort(records_.begin(), records_.end(),
                       [](const Record& a, const Record& b) { return CompareKeys(a.key(), b.key()) < 0; });
    }
    for (size_t i = 1; i < records_.size(); ++i)
      if (CompareKeys(records_[i - 1].key(), records_[i].key()) == 0)
        Problem("two records share the key " + Hex(records_[i].key()));

    // Names, and which table numbers the records use.
    std::map<uint32_t, std::string> names;
    std::map<uint32_t, uint64_t> per_table;
    uint32_t highest = 0;
    for (const Record& rec : records_) {
      std::string_view key = rec.key();
      uint8_t lead = uint8_t(key[0]);
      if (lead == kNameType) {
        if (rec.data().size() != 4) {
          Problem("the name record of '" + std::string(key.substr(1)) + "' does not hold a table number");
          continue;
        }
        uint32_t t = GetBE32(rec.data(), 0);
        if (names.count(t)) Problem("table number " + std::to_string(t) + " has two names");
        names[t] = std::string(key.substr(1));
        highest = std::max(highest, t);
        continue;
      }
      if (lead == kMarkerType) {
        r_.notes.push_back("the file holds a multi-file transaction marker");
        continue;
      }
      if (key.size() < 5) {
        Problem("a record with the key " + Hex(key) + " is too short to belong to a table");
        continue;
      }
      uint32_t t = GetBE32(key, 0);
      per_table[t]++;
      highest = std::max(highest, t);
      uint8_t type = uint8_t(key[4]);
      if ((type == kDataType && key.size() == 9) || (type == kMemoType && key.size() == 12))
        highest = std::max(highest, GetBE32(key, 5));
    }
    if (highest > h_.last_number)
      Problem("number " + std::to_string(highest) + " is in use, above the last issued number " +
              std::to_string(h_.last_number) + " (new records would collide)");
    for (const auto& [t, n] : per_table)
      if (!names.count(t))
        Problem(std::to_string(n) + " records belong to table number " + std::to_string(t) + ", which has no name");
    r_.tables = names.size();
    for (const auto& [t, name] : names) CheckTable(t, name);
  }

  struct DataImage {
    uint32_t recno;
    std::string image;
  };

  void CheckTable(uint32_t t, const std::string& stored_name) {
    const std::string name = stored_name.empty() ? "table " + std::to_string(t) : stored_name;
    if (opt_.progress) opt_.progress(total_slots_, total_slots_);
    TableDesc desc;
    int rc = 0;
    int code = 0;
    rc = Guarded([&] {
      code = ReadDefinition(
          [&](uint16_t block, std::string* out) {
            const Record* r = Find(DefBlockKey(t, block));
            if (!r) return false;
            out->assign(r->data());
            return true;
          },
          &desc);
    });
    if (rc != 0 || code != 0) {
      Problem(name + ": its definition cannot be read (" + (rc ? InternalErrorText(rc) : "error " + std::to_string(code)) +
              ")");
      return;
    }

    // Kinds and lengths of every record of the table.
    auto [first, last] = Range(TablePrefix(t));
    std::vector<size_t> data_at;
    for (size_t i = first; i < last; ++i) {
      std::string_view key = records_[i].key();
      uint8_t type = uint8_t(key[4]);
      if (type == kDataType) {
        if (key.size() != 9) {
          Problem(name + ": a data record key of " + std::to_string(key.size()) + " bytes");
          continue;
        }
        if (records_[i].data().size() != desc.record_length) {
          Problem(name + ": record " + std::to_string(GetBE32(key, 5)) + " holds " +
                  std::to_string(records_[i].data().size()) + " bytes, the table's records have " +
                  std::to_string(desc.record_length));
          continue;
        }
        data_at.push_back(i);
      } else if (type == kCounterType) {
        if (key.size() != 6 || records_[i].data().size() != 8)
          Problem(name + ": a counter record of the wrong length");
        else if (uint8_t(key[5]) != kDataCounterIndex && uint8_t(key[5]) >= desc.keys.size())
          Problem(name + ": a counter record for key number " + std::to_string(uint8_t(key[5])) +
                  ", which the table does not have");
      } else if (type == kDefBlockType) {
        if (key.size() != 7 || records_[i].data().size() > kDefBlockSize)
          Problem(name + ": a definition block of the wrong length");
      } else if (type == kCollationType) {
        if (key.size() != 6 || uint8_t(key[5]) != 1 || records_[i].data().size() != kCollationRecordSize)
          Problem(name + ": a collation record of the wrong length");
      } else if (type == kMemoType) {
        // checked below
      } else if (type < kMaxKeys) {
        if (type >= desc.keys.size())
          Problem(name + ": entries of key number " + std::to_string(type) + ", which the table does not have");
      } else {
        Problem(name + ": a record of unknown kind 0x" + Hex(key.substr(4, 1)));
      }
    }

    // Data counter.
    const Record* dc = Find(CounterKey(t, kDataCounterIndex));
    if (!dc) {
      Problem(name + ": the data counter record is missing");
    } else if (dc->data().size() == 8) {
      uint32_t count = GetLE32(dc->data(), 0);
      if (count != data_at.size())
        Problem(name + ": the data counter says " + std::to_string(count) + " records, the table holds " +
                std::to_string(data_at.size()));
    }

    // Collation: the stored one, or (none stored) the engine's tables with
    // either OEM setting, whichever explains the keys.
    Collation collation = Collation::Default();
    std::vector<bool> oem_choices;
    if (const Record* cr = Find(CollationKey(t)); cr && cr->data().size() == kCollationRecordSize) {
      bool oem = false;
      rc = Guarded([&] { DecodeCollationData(cr->data(), &collation, &oem); });
      oem_choices.push_back(oem);
    } else {
      r_.notes.push_back(name + ": no collation record; keys checked with the engine's tables");
      oem_choices = {true, false};
    }
    std::vector<std::string> best;
    bool have_best = false;
    for (bool oem : oem_choices) {
      std::vector<std::string> found;
      CheckKeys(t, name, desc, collation, oem, data_at, &found);
      if (!have_best || found.size() < best.size()) {
        best = std::move(found);
        have_best = true;
      }
      if (best.empty()) break;
    }
    for (const std::string& p : best) Problem(p);
    for (size_t k = 0; k < desc.keys.size(); ++k) {
      const Record* cr = Find(CounterKey(t, uint8_t(k)));
      if (cr && cr->data().size() == 8 && GetLE32(cr->data(), 4) != 0)
        r_.notes.push_back(name + ", key " + desc.keys[k].label + ": incomplete from record " +
                           std::to_string(GetLE32(cr->data(), 4)) + " (kelstore build completes it)");
    }
    CheckMemos(t, name, desc, data_at);
  }

  void CheckKeys(uint32_t t, const std::string& name, const TableDesc& desc, const Collation& collation, bool oem,
                 const std::vector<size_t>& data_at, std::vector<std::string>* out) {
    const auto problem = [&](const std::string& s) {
      if (out->size() < opt_.max_problems) out->push_back(s);
    };
    std::vector<DataImage> data;
    data.reserve(data_at.size());
    for (size_t i : data_at) {
      DataImage d{GetBE32(records_[i].key(), 5), std::string(desc.record_length, '\0')};
      int rc = Guarded([&] {
        LoadImage(desc, oem, records_[i].data(), reinterpret_cast<uint8_t*>(d.image.data()));
      });
      if (rc != 0) continue;
      data.push_back(std::move(d));
    }
    const auto image_of = [&](uint32_t recno) -> const DataImage* {
      auto it = std::lower_bound(data.begin(), data.end(), recno,
                                 [](const DataImage& d, uint32_t r) { return d.recno < r; });
      return it != data.end() && it->recno == recno ? &*it : nullptr;
    };
    KeyStrings strings{&collation, oem};
    for (size_t k = 0; k < desc.keys.size(); ++k) {
      const KeyDesc& key = desc.keys[k];
      const std::string kname = name + ", key " + (key.label.empty() ? key.external_name : key.label);
      auto [first, last] = Range(KeyPrefix(t, uint8_t(k)));
      if (key.dynamic()) {
        if (first != last) problem(kname + ": a dynamic index has entries in the file");
        continue;
      }
      uint32_t mark = 0;
      const Record* cr = Find(CounterKey(t, uint8_t(k)));
      if (!cr) {
        problem(kname + ": its counter record is missing");
      } else if (cr->data().size() == 8) {
        uint32_t count = GetLE32(cr->data(), 0);
        mark = GetLE32(cr->data(), 4);
        if (count != last - first)
          problem(kname + ": the counter says " + std::to_string(count) + " entries, the key holds " +
                  std::to_string(last - first));
      }
      const uint32_t value_len = desc.ValueLength(key.components);
      const size_t want_len = 5 + value_len + (key.dup() ? 4 : 0);
      std::string value;
      for (size_t i = first; i < last; ++i) {
        const Record& e = records_[i];
        if (e.key().size() != want_len) {
          problem(kname + ": an entry of " + std::to_string(e.key().size()) + " key bytes, the key's entries have " +
                  std::to_string(want_len));
          continue;
        }
        if (key.dup() ? !e.data().empty() : e.data().size() != 4) {
          problem(kname + ": an entry whose data is not " + (key.dup() ? "empty" : "a record number"));
          continue;
        }
        uint32_t recno = key.dup() ? GetBE32(e.key(), want_len - 4) : GetBE32(e.data(), 0);
        const DataImage* d = image_of(recno);
        if (!d) {
          problem(kname + ": an entry points at record " + std::to_string(recno) + ", which does not exist");
          continue;
        }
        if (mark != 0 && recno >= mark) continue;   // may be stale until built
        const auto* img = reinterpret_cast<const uint8_t*>(d->image.data());
        bool blank = false;
        std::string want;
        int rc = Guarded([&] {
          blank = KeyIsBlank(desc, key.components, key.flags, img);
          value = EncodeKeyValue(desc, key.components, key.nocase(), strings, img);
          want = EntryKey(t, uint8_t(k), key.dup(), value, recno);
        });
        if (rc != 0) {
          problem(kname + ": the value of record " + std::to_string(recno) + " cannot be built (" +
                  InternalErrorText(rc) + ")");
          continue;
        }
        if (blank) {
          problem(kname + ": holds an entry for record " + std::to_string(recno) + ", which is blank for this key");
        } else if (want != e.key()) {
          problem(kname + ": the entry of record " + std::to_string(recno) +
                  " does not hold the value the record gives (entry " + Hex(e.key().substr(5)) + ", record gives " +
                  Hex(value) + ")");
        }
      }
      // Every record that is not blank is in a complete key.
      for (const DataImage& d : data) {
        if (mark != 0 && d.recno >= mark) continue;
        const auto* img = reinterpret_cast<const uint8_t*>(d.image.data());
        bool blank = false;
        std::string want;
        int rc = Guarded([&] {
          blank = KeyIsBlank(desc, key.components, key.flags, img);
          if (!blank) want = EntryKey(t, uint8_t(k), key.dup(), EncodeKeyValue(desc, key.components, key.nocase(),
                                                                                strings, img), d.recno);
        });
        if (rc != 0 || blank) continue;
        const Record* e = Find(want);
        if (!e) {
          problem(kname + ": record " + std::to_string(d.recno) + " has no entry");
        } else if (!key.dup() && (e->data().size() != 4 || GetBE32(e->data(), 0) != d.recno)) {
          uint32_t other = e->data().size() == 4 ? GetBE32(e->data(), 0) : 0;
          problem(kname + ": record " + std::to_string(d.recno) + " has no entry; its value is held by record " +
                  std::to_string(other) + " in this unique key");
        }
      }
    }
  }

  void CheckMemos(uint32_t t, const std::string& name, const TableDesc& desc, const std::vector<size_t>& data_at) {
    std::string prefix = TablePrefix(t);
    prefix.push_back(char(kMemoType));
    auto [first, last] = Range(prefix);
    std::set<uint32_t> recnos;
    for (size_t i : data_at) recnos.insert(GetBE32(records_[i].key(), 5));
    uint32_t cur_rec = 0;
    int cur_memo = -1;
    uint32_t next_chunk = 0;
    for (size_t i = first; i < last; ++i) {
      std::string_view key = records_[i].key();
      if (key.size() != 12) {
        Problem(name + ": a memo chunk key of " + std::to_string(key.size()) + " bytes");
        continue;
      }
      uint32_t recno = GetBE32(key, 5);
      uint8_t memo = uint8_t(key[9]);
      uint16_t chunk = uint16_t(uint8_t(key[10]) << 8 | uint8_t(key[11]));
      if (!recnos.count(recno)) {
        Problem(name + ": a memo chunk of record " + std::to_string(recno) + ", which does not exist");
        continue;
      }
      if (memo >= desc.memos.size()) {
        Problem(name + ": a chunk of memo number " + std::to_string(memo) + ", which the table does not have");
        continue;
      }
      if (recno != cur_rec || memo != cur_memo) {
        cur_rec = recno;
        cur_memo = memo;
        next_chunk = 0;
      }
      if (chunk != next_chunk)
        Problem(name + ": record " + std::to_string(recno) + ", memo " + std::to_string(memo + 1) + ": chunk " +
                std::to_string(chunk) + " follows chunk " + std::to_string(int(next_chunk) - 1));
      next_chunk = chunk + 1;
      size_t limit = kMemoChunk + (desc.memos[memo].blob() && chunk == 0 ? 4 : 0);
      if (records_[i].data().size() > limit || records_[i].data().empty())
        Problem(name + ": record " + std::to_string(recno) + ", memo " + std::to_string(memo + 1) + ": chunk " +
                std::to_string(chunk) + " of " + std::to_string(records_[i].data().size()) + " bytes");
    }
  }

  RawFile& f_;
  const CheckOptions& opt_;
  CheckResult& r_;
  const Header& h_;
  bool regions_ok_ = false;
  uint64_t total_slots_ = 0;
  std::unordered_map<int32_t, int32_t> visited_;   // page -> parent
  std::vector<Record> records_;                    // leaf records, sentinel excluded
  std::string last_key_;
  bool have_last_ = false;
  bool order_broken_ = false;
  bool saw_sentinel_ = false;
};

}  // namespace

std::string CheckTableFile(const std::string& path, const CheckOptions& options, CheckResult* result) {
  *result = CheckResult();
  std::string bad = CheckRegularFile(path);
  if (!bad.empty()) return bad;
  RawFile file;
  std::string err = file.Open(path, options.password);
  if (!err.empty()) {
    if (!file.not_table_file()) return err;
    result->problems.push_back(err);
    result->problem_count = 1;
    return "";
  }
  if (file.empty_file()) {
    result->notes.push_back("an empty file: a valid table file without tables");
    return "";
  }
  Checker(file, options, *result).Run();
  return "";
}

}  // namespace kel::tool
