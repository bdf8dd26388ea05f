#include "storage/keys.h"

#include "platform/codepage.h"
#include "storage/errors.h"
#include "storage/table_records.h"

namespace kel {

TableKeys::TableKeys(Store& store, uint32_t table, const TableDesc& desc, KeyStrings strings)
    : store_(store), table_(table), desc_(desc), strings_(std::move(strings)), dynamic_(desc.keys.size()) {
  if (!strings_.weights) strings_.weights = ComposeWeights(*strings_.collation, strings_.oem);
}

TableKeys::~TableKeys() = default;

const std::vector<KeyComponent>& TableKeys::components(size_t k) const {
  return key(k).dynamic() ? dynamic_[k].components : key(k).components;
}

Store* TableKeys::StoreOf(size_t k) { return key(k).dynamic() ? dynamic_[k].store.get() : &store_; }

std::string TableKeys::Value(size_t k, const uint8_t* image) const {
  return EncodeKeyValue(desc_, components(k), key(k).nocase(), strings_, image);
}

bool TableKeys::Blank(size_t k, const uint8_t* image) const {
  return KeyIsBlank(desc_, components(k), key(k).flags, image);
}

std::string TableKeys::EntryKeyOf(size_t k, const uint8_t* image, uint32_t recno) const {
  return EntryKey(table_, uint8_t(k), key(k).dup(), Value(k, image), recno);
}

RecordPtr TableKeys::BuildEntry(size_t k, const uint8_t* image, uint32_t recno) const {
  if (Blank(k, image)) return nullptr;
  return MakeRecord(EntryKeyOf(k, image, recno), EntryData(key(k).dup(), recno));
}

uint32_t TableKeys::RecnoOf(size_t k, const Record& entry) const {
  return EntryRecno(key(k).dup(), entry.key(), entry.data());
}

Counter TableKeys::GetCounter(size_t k) {
  Store* s = StoreOf(k);
  Require(s != nullptr, kErrCounterMissing);
  return ReadCounter(*s, table_, uint8_t(k));
}

void TableKeys::SetCounter(size_t k, const Counter& c) {
  Store* s = StoreOf(k);
  Require(s != nullptr, kErrCounterMissing);
  WriteCounter(*s, table_, uint8_t(k), c);
}

int TableKeys::Maintain(const uint8_t* new_image, const uint8_t* old_image, uint32_t recno, bool append,
                        size_t nkeys) {
  for (size_t k = 0; k < nkeys && k < key_count(); ++k) {
    if (MaintainKey(k, new_image, old_image, recno, append) != 0) {
      // Put the keys already changed back as they were.
      Maintain(old_image, new_image, recno, append, k);
      return kDuplicateKey;
    }
  }
  return 0;
}

int TableKeys::MaintainKey(size_t k, const uint8_t* new_image, const uint8_t* old_image, uint32_t recno,
                           bool append) {
  const KeyDesc& kd = key(k);
  if (kd.dynamic()) return 0;
  bool deferred = kd.index() || append;
  Counter counter = GetCounter(k);
  if (deferred && counter.mark != 0 && recno >= counter.mark) return 0;
  RecordPtr added = new_image ? BuildEntry(k, new_image, recno) : nullptr;
  RecordPtr removed = old_image ? BuildEntry(k, old_image, recno) : nullptr;
  if (added && removed && added->key() == removed->key()) return 0;
  if (deferred) {
    if (counter.mark == 0 || counter.mark > recno) {
      counter.mark = recno;
      SetCounter(k, counter);
    }
    return 0;
  }
  int64_t delta = 0;
  if (added) {
    RecordPtr existing = store_.FindExact(added->key());
    if (existing && !kd.dup()) return kDuplicateKey;
    // A DUP entry of this very value and record is already in place.
    if (!existing) {
      store_.Insert(added);
      ++delta;
    }
  }
  if (removed) {
    RecordPtr found = store_.FindExact(removed->key());
    if (found && RecnoOf(k, *found) == recno) {
      store_.Delete(found);
      --delta;
    }
  }
  if (delta != 0) {
    counter.count = uint32_t(int64_t(counter.count) + delta);
    SetCounter(k, counter);
  }
  return 0;
}

bool TableKeys::WouldDuplicate(int k, const uint8_t* image, std::optional<uint32_t> own) {
  size_t first = k < 0 ? 0 : size_t(k), last = k < 0 ? key_count() : size_t(k) + 1;
  for (size_t i = first; i < last && i < key_count(); ++i) {
    const KeyDesc& kd = key(i);
    if (kd.dup() || Blank(i, image)) continue;
    Store* s = StoreOf(i);
    if (!s) continue;
    RecordPtr found = s->FindExact(EntryKeyOf(i, image, 0));
    if (found && (!own || RecnoOf(i, *found) != *own)) return true;
  }
  return false;
}

bool TableKeys::BelongsTo(size_t k, const RecordPtr& r) const {
  if (!r) return false;
  std::string_view key = r->key();
  size_t want = 5 + desc_.ValueLength(components(k)) + (this->key(k).dup() ? 4 : 0);
  return key.size() == want && GetBE32(key, 0) == table_ && uint8_t(key[4]) == k;
}

RecordPtr TableKeys::FirstEntry(size_t k) {
  Store* s = StoreOf(k);
  if (!s) return nullptr;
  std::string prefix = KeyPrefix(table_, uint8_t(k));
  RecordPtr r = s->FindExact(prefix);  // a unique key without components
  if (!r) r = s->FindNext(prefix);
  return BelongsTo(k, r) ? r : nullptr;
}

RecordPtr TableKeys::LastEntry(size_t k) {
  Store* s = StoreOf(k);
  if (!s) return nullptr;
  RecordPtr r = s->FindPrevious(KeyPrefix(table_, uint8_t(k + 1)));
  return BelongsTo(k, r) ? r : nullptr;
}

RecordPtr TableKeys::EntryAfter(size_t k, std::string_view entry_key) {
  Store* s = StoreOf(k);
  if (!s) return nullptr;
  RecordPtr r = s->FindNext(entry_key);
  return BelongsTo(k, r) ? r : nullptr;
}

RecordPtr TableKeys::EntryBefore(size_t k, std::string_view entry_key) {
  Store* s = StoreOf(k);
  if (!s) return nullptr;
  RecordPtr r = s->FindPrevious(entry_key);
  return BelongsTo(k, r) ? r : nullptr;
}

RecordPtr TableKeys::ExactEntry(size_t k, std::string_view entry_key) {
  Store* s = StoreOf(k);
  if (!s) return nullptr;
  RecordPtr r = s->FindExact(entry_key);
  return BelongsTo(k, r) ? r : nullptr;
}

int TableKeys::SetIndexString(size_t k, std::string_view index_string) {
  if (k >= key_count() || !key(k).dynamic()) return kInvalidIndexString;
  std::vector<KeyComponent> parts;
  size_t at = 0;
  while (true) {
    size_t end = index_string.find(',', at);
    std::string_view item = index_string.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    size_t i = 0;
    while (i < item.size() && item[i] == ' ') ++i;
    bool descending = false;
    if (i < item.size() && (item[i] == '+' || item[i] == '-')) descending = item[i++] == '-';
    std::string_view name = item.substr(i);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (name.empty()) return kInvalidIndexString;
    std::string upper = platform::UpperAnsi(std::string(name));
    int found = -1;
    for (size_t f = 0; f < desc_.fields.size() && found < 0; ++f)
      if (platform::UpperAnsi(desc_.fields[f].name) == upper) found = int(f);
    if (found < 0 || desc_.fields[found].element_count > 1) return kInvalidIndexString;
    parts.push_back({uint32_t(found), descending});
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  dynamic_[k].components = std::move(parts);
  dynamic_[k].store.reset();
  return 0;
}

Store& TableKeys::ResetDynamicStore(size_t k) {
  Require(key(k).dynamic(), 3109);
  dynamic_[k].store = std::make_unique<Store>();
  Store& s = *dynamic_[k].store;
  s.EnterWriteState();
  s.Insert(MakeRecord(CounterKey(table_, uint8_t(k)), EncodeCounter({})));
  return s;
}

void TableKeys::DropDynamicIndex(size_t k) { dynamic_[k].store.reset(); }

void TableKeys::DropDynamicIndexes() {
  for (Dynamic& d : dynamic_) d.store.reset();
}

}  // namespace kel
