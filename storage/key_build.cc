#include "storage/key_build.h"

#include <algorithm>
#include <vector>

#include "storage/bytes.h"
#include "storage/errors.h"
#include "storage/record_kinds.h"
#include "storage/table_records.h"

namespace kel {
namespace {

uint32_t LowerNonZero(uint32_t a, uint32_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return std::min(a, b);
}

// Deletes the entries of key k whose record number is >= start; answers
// how many entries stay.
uint32_t DeleteEntriesFrom(TableKeys& keys, size_t k, uint32_t start) {
  Store& s = *keys.StoreOf(k);
  uint32_t kept = 0;
  std::string at;
  for (RecordPtr r = keys.FirstEntry(k); r; r = keys.EntryAfter(k, at)) {
    at.assign(r->key());
    if (keys.RecnoOf(k, *r) >= start)
      s.Delete(r);
    else
      ++kept;
  }
  return kept;
}

bool HasEntries(Store& s, const std::string& prefix) {
  RecordPtr r = s.FindExact(prefix);
  if (!r) r = s.FindNext(prefix);
  return r && r->key().substr(0, prefix.size()) == prefix;
}

int Build(TableKeys& keys, size_t k, const BuildOptions& o);

}  // namespace

int BuildKey(TableKeys& keys, size_t k, const BuildOptions& o) {
  int rc = Build(keys, k, o);
  // A dynamic index that could not be built completely is no index at all.
  if (rc != 0 && rc != kDuplicateKey && keys.key(k).dynamic()) keys.DropDynamicIndex(k);
  return rc;
}

namespace {

int Build(TableKeys& keys, size_t k, const BuildOptions& o) {
  const KeyDesc& kd = keys.key(k);
  const TableDesc& desc = keys.desc();
  Store& table_store = keys.store();
  if (table_store.io().has_file() && !table_store.io().file()->writable()) return kAccessDenied;
  if (table_store.read_state()) {
    int rc = table_store.EnterWriteState();
    if (rc != 0) return rc;
  }
  const bool dynamic = kd.dynamic();
  uint32_t start = 1, kept = 0;
  if (dynamic) {
    if (keys.components(k).empty()) return kInvalidIndexString;
    keys.ResetDynamicStore(k);
  } else {
    Counter c = keys.GetCounter(k);
    start = o.full_build ? 1 : c.mark;
    if (start == 0) return 0;
    kept = (kd.index() || o.full_build) ? DeleteEntriesFrom(keys, k, start) : c.count;
    keys.SetCounter(k, {kept, start});
  }
  Store& ks = *keys.StoreOf(k);

  // Scan and sort.
  const size_t value_len = desc.ValueLength(keys.components(k));
  ExternalSorter sorter(value_len + 4, o.sort);
  const uint32_t records = std::max<uint32_t>(1, ReadCounter(table_store, keys.table(), kDataCounterIndex).count);
  const int total = std::max(1, o.total), step = std::max(1, o.progress_step);
  std::vector<uint8_t> image(desc.record_length);
  std::string pair;
  uint64_t scanned = 0;
  int reported = -1;
  // The data records lie together in key order, from the table's data
  // prefix up; the scan reads each page once and makes no record.
  int scan_rc = 0;
  table_store.Scan(DataKey(keys.table(), start), [&](std::string_view key, std::string_view data) {
    if (!IsDataKey(key, keys.table())) return false;
    const uint32_t recno = RecnoOfDataKey(key);
    LoadImage(desc, keys.strings().oem, data, image.data());
    ++scanned;
    if (o.progress) {
      int percent = int((uint64_t(o.position) * 100 + std::min<uint64_t>(100, scanned * 100 / records)) / total);
      if (percent >= reported + step || reported < 0) {
        reported = percent;
        if (!o.progress(percent)) {
          scan_rc = kBuildCancelled;
          return false;
        }
      }
    }
    if (o.filter && !o.filter(image.data())) return true;
    if (keys.Blank(k, image.data())) return true;
    pair.resize(value_len + 4);
    auto* out = reinterpret_cast<uint8_t*>(pair.data());
    EncodeKeyValue(desc, keys.components(k), kd.nocase(), keys.strings(), image.data(), out);
    out[value_len] = uint8_t(recno >> 24), out[value_len + 1] = uint8_t(recno >> 16);
    out[value_len + 2] = uint8_t(recno >> 8), out[value_len + 3] = uint8_t(recno);
    scan_rc = sorter.Add(pair);
    return scan_rc == 0;
  });
  if (scan_rc != 0) return scan_rc;
  int rc = sorter.Finish();
  if (rc != 0) return rc;

  // Insert in sorted order. When the key holds no entries, nothing can be
  // in the way: each entry goes straight after the previous one.
  const std::string prefix = KeyPrefix(keys.table(), uint8_t(k));
  const bool empty_key = kept == 0 && !HasEntries(ks, prefix);
  const bool dup = kd.dup();
  Cursor cursor(ks);
  bool first = true;
  std::string previous(value_len, '\0');
  uint32_t conflict = 0;
  std::string_view p;
  // The entry's key: the prefix, then the value (and for DUP the record
  // number), copied in place for each pair.
  std::string key_bytes = prefix;
  key_bytes.resize(prefix.size() + value_len + 4);
  const std::string_view key(key_bytes.data(), prefix.size() + value_len + (dup ? 4 : 0));
  char data[4];
  RecordBatch batch;
  while (sorter.Next(&p)) {
    std::string_view value = p.substr(0, value_len);
    uint32_t recno = GetBe32(reinterpret_cast<const uint8_t*>(p.data()) + value_len);
    CopyBytes(key_bytes.data() + prefix.size(), p.data(), key.size() - prefix.size());
    if (dup) {
      if (!empty_key && ks.FindExact(key)) continue;
    } else if (empty_key) {
      if (!first && CompareBytes(previous.data(), value.data(), value_len) == 0) {
        conflict = LowerNonZero(conflict, recno);
        continue;
      }
      CopyBytes(previous.data(), value.data(), value_len);
    } else {
      RecordPtr existing = ks.FindExact(key);
      if (existing) {
        if (keys.RecnoOf(k, *existing) != recno) conflict = LowerNonZero(conflict, recno);
        continue;
      }
    }
    const std::string_view entry_data = EntryData(dup, recno, data);
    if (!empty_key)
      ks.Insert(batch.Make(key, entry_data));
    else if (first)
      cursor.Set(batch.Make(key, entry_data), true);
    else
      cursor.InsertAfter(key, entry_data);
    first = false;
    ++kept;
    if (!dynamic && ks.modified_page_count() >= o.save_pages) {
      keys.SetCounter(k, {kept, LowerNonZero(conflict, start)});
      rc = ks.Commit();
      if (rc != 0) return rc;
    }
  }
  if (sorter.error() != 0) return sorter.error();

  if (dynamic) {
    keys.SetCounter(k, {kept, 0});
  } else {
    keys.SetCounter(k, {kept, conflict});
    rc = table_store.Commit();
    if (rc != 0) return rc;
  }
  return conflict != 0 ? kDuplicateKey : 0;
}

}  // namespace

int BuildAllKeys(TableKeys& keys, bool oem, const BuildOptions& o, bool* all_built) {
  *all_built = false;
  if (o.full_build) {
    Store& s = keys.store();
    if (s.io().has_file() && !s.io().file()->writable()) return kAccessDenied;
    if (s.read_state()) {
      int rc = s.EnterWriteState();
      if (rc != 0) return rc;
    }
    StoreCollation(s, keys.table(), Collation::Default(), oem);
    keys.set_strings({&Collation::Default(), oem});
  }
  std::vector<size_t> todo;
  for (size_t k = 0; k < keys.key_count(); ++k)
    if (!keys.key(k).index() && !keys.key(k).dynamic()) todo.push_back(k);
  for (size_t i = 0; i < todo.size(); ++i) {
    BuildOptions one = o;
    one.position = int(i);
    one.total = int(todo.size());
    int rc = BuildKey(keys, todo[i], one);
    if (rc != 0) return rc;
  }
  *all_built = true;
  return 0;
}

}  // namespace kel
