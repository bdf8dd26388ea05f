#include "storage/table_records.h"

#include "storage/errors.h"

namespace kel {
namespace {

bool StartsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

void Put(Store& store, std::string key, std::string data) {
  RecordPtr found = store.FindExact(key);
  if (found) {
    if (found->data() != data) store.ReplaceData(found, data);
  } else {
    store.Insert(MakeRecord(key, data));
  }
}

}  // namespace

bool IsDataKey(std::string_view key, uint32_t table) {
  return key.size() == 9 && uint8_t(key[4]) == kDataType && GetBE32(key, 0) == table;
}

uint32_t NextNumber(Store& store) {
  Require(!store.read_state(), kErrNumberReadState);
  Require(store.BeginAccess() == 0, kErrNumberAccess);
  uint32_t next = store.last_number() + 1;
  Require((next >> 24) < 0xFE, kErrNumberExhausted);
  store.SetLastNumber(next);
  return next;
}

bool FindTableByName(Store& store, std::string_view name, uint32_t* table) {
  RecordPtr r = store.FindExact(NameKey(name));
  if (!r) return false;
  *table = DecodeNameData(r->data());
  return true;
}

void InsertTableName(Store& store, std::string_view name, uint32_t table) {
  Put(store, NameKey(name), EncodeNameData(table));
}

bool DeleteTableName(Store& store, std::string_view name) {
  RecordPtr r = store.FindExact(NameKey(name));
  if (!r) return false;
  store.Delete(r);
  return true;
}

std::vector<std::string> ListTableNames(Store& store) {
  std::vector<std::string> names;
  std::string key(1, char(kNameType));
  for (RecordPtr r = store.FindNext(key); r && r->key().size() > 1; r = store.FindNext(key)) {
    key.assign(r->key());
    if (uint8_t(key[0]) != kNameType) break;
    names.push_back(key.substr(1));
  }
  return names;
}

void WriteDefinition(Store& store, uint32_t table, const TableDesc& desc) {
  std::vector<std::string> blocks = SplitDefinitionBlocks(SerializeDefinition(desc));
  for (size_t i = 0; i < blocks.size(); ++i) Put(store, DefBlockKey(table, uint16_t(i)), blocks[i]);
  // Blocks of a longer earlier definition go.
  for (size_t i = blocks.size(); i <= 0xFFFF; ++i) {
    RecordPtr old = store.FindExact(DefBlockKey(table, uint16_t(i)));
    if (!old) break;
    store.Delete(old);
  }
}

namespace {
DefBlockFetcher Fetcher(Store& store, uint32_t table) {
  return [&store, table](uint16_t n, std::string* out) {
    RecordPtr r = store.FindExact(DefBlockKey(table, n));
    if (!r) return false;
    out->assign(r->data());
    return true;
  };
}
}  // namespace

int ReadStoredDefinition(Store& store, uint32_t table, TableDesc* out) {
  return ReadDefinition(Fetcher(store, table), out);
}

DefCompare CompareStoredDefinition(Store& store, uint32_t table, const TableDesc& declared) {
  return CompareDefinition(Fetcher(store, table), declared);
}

void WriteZeroCounters(Store& store, uint32_t table, size_t key_count) {
  Put(store, CounterKey(table, kDataCounterIndex), EncodeCounter({}));
  for (size_t k = 0; k < key_count; ++k) Put(store, CounterKey(table, uint8_t(k)), EncodeCounter({}));
}

Counter ReadCounter(Store& store, uint32_t table, uint8_t index) {
  RecordPtr r = store.FindExact(CounterKey(table, index));
  Require(r != nullptr, kErrCounterMissing);
  return DecodeCounter(r->data());
}

void WriteCounter(Store& store, uint32_t table, uint8_t index, const Counter& c) {
  RecordPtr r = store.FindExact(CounterKey(table, index));
  Require(r != nullptr, kErrCounterMissing);
  std::string data = EncodeCounter(c);
  if (r->data() != data) store.ReplaceData(r, data);
}

void StoreCollation(Store& store, uint32_t table, const Collation& collation, bool oem) {
  Put(store, CollationKey(table), EncodeCollationData(collation, oem));
}

bool LoadCollation(Store& store, uint32_t table, Collation* collation, bool* oem) {
  RecordPtr r = store.FindExact(CollationKey(table));
  if (!r) return false;
  DecodeCollationData(r->data(), collation, oem);
  return true;
}

uint64_t RemoveTableRecords(Store& store, uint32_t table) {
  std::string prefix = TablePrefix(table);
  uint64_t n = 0;
  for (RecordPtr r = store.FindNext(prefix); r && StartsWith(r->key(), prefix); r = store.FindNext(prefix)) {
    store.Delete(r);
    ++n;
  }
  return n;
}

RecordPtr ExactData(Store& store, uint32_t table, uint32_t recno) { return store.FindExact(DataKey(table, recno)); }

RecordPtr FirstData(Store& store, uint32_t table) {
  std::string k = TablePrefix(table);
  k.push_back(char(kDataType));
  RecordPtr r = store.FindNext(k);
  return r && IsDataKey(r->key(), table) ? r : nullptr;
}

RecordPtr LastData(Store& store, uint32_t table) {
  std::string k = TablePrefix(table);
  k.push_back(char(kDataType + 1));
  RecordPtr r = store.FindPrevious(k);
  return r && IsDataKey(r->key(), table) ? r : nullptr;
}

RecordPtr DataAfter(Store& store, uint32_t table, uint32_t recno) {
  RecordPtr r = store.FindNext(DataKey(table, recno));
  return r && IsDataKey(r->key(), table) ? r : nullptr;
}

RecordPtr DataBefore(Store& store, uint32_t table, uint32_t recno) {
  RecordPtr r = store.FindPrevious(DataKey(table, recno));
  return r && IsDataKey(r->key(), table) ? r : nullptr;
}

}  // namespace kel
