// The records of a table that are not data, keys or memos, on the record
// store: numbers, table names, definition blocks, counters, the collation
// record, and walks over a table's data records. Formats: record_kinds.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/collation.h"
#include "storage/def_stream.h"
#include "storage/record_kinds.h"
#include "storage/store.h"
#include "storage/table_desc.h"

namespace kel {

// Internal errors of this layer.
constexpr int kErrNumberReadState = 1163;    // drawing a number in read state
constexpr int kErrNumberAccess = 1164;       // access could not begin
constexpr int kErrNumberExhausted = 1173;    // leading byte would reach 0xFE
constexpr int kErrCounterMissing = 3108;     // a key's counter record is gone

// Draws the next table or record number from the header (last issued + 1)
// and marks the file changed.
uint32_t NextNumber(Store& store);

// ---- table names -------------------------------------------------------
// The table number of a name (upper-cased), or false.
bool FindTableByName(Store& store, std::string_view name, uint32_t* table);
void InsertTableName(Store& store, std::string_view name, uint32_t table);
// Deletes the name record; false when there was none.
bool DeleteTableName(Store& store, std::string_view name);
// Every table name of the file, in key order.
std::vector<std::string> ListTableNames(Store& store);

// ---- definition ----------------------------------------------------------
// Writes the definition blocks of `desc`, replacing any stored ones.
void WriteDefinition(Store& store, uint32_t table, const TableDesc& desc);
int ReadStoredDefinition(Store& store, uint32_t table, TableDesc* out);
DefCompare CompareStoredDefinition(Store& store, uint32_t table, const TableDesc& declared);

// ---- counters --------------------------------------------------------------
// Writes (or resets) the data counter and one counter per key, all zero.
void WriteZeroCounters(Store& store, uint32_t table, size_t key_count);
// A counter record; raises kErrCounterMissing when it is absent.
Counter ReadCounter(Store& store, uint32_t table, uint8_t index);
void WriteCounter(Store& store, uint32_t table, uint8_t index, const Counter& c);

// ---- collation ---------------------------------------------------------------
void StoreCollation(Store& store, uint32_t table, const Collation& collation, bool oem);
// False when the table has no collation record.
bool LoadCollation(Store& store, uint32_t table, Collation* collation, bool* oem);

// ---- whole tables -------------------------------------------------------------
// Deletes every record whose key begins with the table number (the name
// record stays). Answers the number deleted.
uint64_t RemoveTableRecords(Store& store, uint32_t table);

// ---- data records ----------------------------------------------------------------
// Each answers a data record of the table, or null when the record found
// belongs to another table or kind.
RecordPtr ExactData(Store& store, uint32_t table, uint32_t recno);
RecordPtr FirstData(Store& store, uint32_t table);
RecordPtr LastData(Store& store, uint32_t table);
RecordPtr DataAfter(Store& store, uint32_t table, uint32_t recno);
// Whether `key` is the key of a data record of `table`.
bool IsDataKey(std::string_view key, uint32_t table);
RecordPtr DataBefore(Store& store, uint32_t table, uint32_t recno);

}  // namespace kel
