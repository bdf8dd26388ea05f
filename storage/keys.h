// The keys of one open table: entries built from record images, their
// maintenance when records are added, changed and deleted, duplicate checks,
// completeness marks, dynamic indexes and the lookups that navigation uses.
// Entry format and value encoding: key_encoding.h; counters: record_kinds.h.
//
// Invariants kept here:
//   - a key's counter record counts its entries; its mark is 0 while every
//     record has its entry, else the lowest record number from which
//     entries may be missing or stale;
//   - a write changes an entry only when its key bytes change, and a write
//     refused with 40 leaves every key as it was before the write;
//   - an INDEX key, and every key while records are appended, is not
//     changed by writes: the first write that would change it marks it
//     incomplete from that record on;
//   - a dynamic index lives in an in-memory store of its own, is never
//     maintained by writes and never committed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/key_encoding.h"
#include "storage/record_kinds.h"
#include "storage/store.h"
#include "storage/table_desc.h"

namespace kel {

class TableKeys {
 public:
  // `store`, `desc` and the collation in `strings` must outlive this object.
  TableKeys(Store& store, uint32_t table, const TableDesc& desc, KeyStrings strings);
  ~TableKeys();

  uint32_t table() const { return table_; }
  Store& store() { return store_; }
  const TableDesc& desc() const { return desc_; }
  const KeyStrings& strings() const { return strings_; }
  void set_strings(KeyStrings strings) {
    strings_ = std::move(strings);
    if (!strings_.weights) strings_.weights = ComposeWeights(*strings_.collation, strings_.oem);
  }
  size_t key_count() const { return desc_.keys.size(); }
  const KeyDesc& key(size_t k) const { return desc_.keys[k]; }

  // The components in use: the declared ones, or a dynamic index's own.
  const std::vector<KeyComponent>& components(size_t k) const;
  // The store that holds key k's entries: the table's, or the in-memory
  // store of a dynamic index (null while it is not built).
  Store* StoreOf(size_t k);

  // ---- entries ----------------------------------------------------------
  std::string Value(size_t k, const uint8_t* image) const;
  bool Blank(size_t k, const uint8_t* image) const;
  // Key bytes of the entry (whether or not the record is blank).
  std::string EntryKeyOf(size_t k, const uint8_t* image, uint32_t recno) const;
  // The entry record, or null when the key is blank for the image.
  RecordPtr BuildEntry(size_t k, const uint8_t* image, uint32_t recno) const;
  uint32_t RecnoOf(size_t k, const Record& entry) const;

  // ---- counters ---------------------------------------------------------------
  Counter GetCounter(size_t k);
  void SetCounter(size_t k, const Counter& c);

  // ---- maintenance ------------------------------------------------------------
  // Applies a write to the first `nkeys` keys: new image or null, old image
  // or null, the record number, and whether the record is appended. 0, or 40
  // with every entry changed by this call undone.
  int Maintain(const uint8_t* new_image, const uint8_t* old_image, uint32_t recno, bool append, size_t nkeys);
  int Maintain(const uint8_t* new_image, const uint8_t* old_image, uint32_t recno, bool append) {
    return Maintain(new_image, old_image, recno, append, key_count());
  }
  // Would the image duplicate an entry of key k (or of any key, k < 0)?
  // An entry of `own` (the record itself) does not count.
  bool WouldDuplicate(int k, const uint8_t* image, std::optional<uint32_t> own);

  // ---- lookups ------------------------------------------------------------------
  // Entries of key k; null when none, or when the record found belongs to
  // another table or key.
  RecordPtr FirstEntry(size_t k);
  RecordPtr LastEntry(size_t k);
  RecordPtr EntryAfter(size_t k, std::string_view entry_key);
  RecordPtr EntryBefore(size_t k, std::string_view entry_key);
  RecordPtr ExactEntry(size_t k, std::string_view entry_key);

  // ---- dynamic indexes -------------------------------------------------------------
  // Sets a dynamic index's components from an index string: field names
  // separated by commas, each optionally preceded by spaces and '+'
  // (ascending, the default) or '-' (descending), matched to the stored
  // field names without regard to case. 0, or 76 for an empty string, an
  // unknown name, an array field or a key that is not dynamic.
  int SetIndexString(size_t k, std::string_view index_string);
  // A fresh in-memory store for key k with its counter record (0, 0).
  Store& ResetDynamicStore(size_t k);
  void DropDynamicIndex(size_t k);
  void DropDynamicIndexes();

 private:
  bool BelongsTo(size_t k, const RecordPtr& r) const;
  int MaintainKey(size_t k, const uint8_t* new_image, const uint8_t* old_image, uint32_t recno, bool append);

  struct Dynamic {
    std::vector<KeyComponent> components;
    std::unique_ptr<Store> store;
  };

  Store& store_;
  const uint32_t table_;
  const TableDesc& desc_;
  KeyStrings strings_;
  std::vector<Dynamic> dynamic_;
};

}  // namespace kel
