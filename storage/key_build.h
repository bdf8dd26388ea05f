// BUILD: rebuilding a key's entries from the data records.
//
// A build starts at record number `start` (1 for a full build or a dynamic
// index, else the key's mark; a complete key is left alone). An INDEX key
// or a full build first deletes the key's entries of records >= start. The
// data records from `start` on are scanned in record-number order; each
// that is not blank for the key and passes the filter gives a pair (value,
// record number), sorted by an external merge sort (external_sort.h) and
// inserted in that order. A unique key keeps the first record of a value:
// the entry of a later record with a value already present is not
// inserted, and the lowest such record number becomes the key's mark
// (answer 40).
//
// Whenever the store holds 400 or more modified pages, progress is saved:
// count and mark (the lower non-zero of the conflict number and `start`)
// are written and the store is committed, so a build that stops half-way -
// error, cancellation, crash - leaves the mark at `start` or lower and the
// next build starts again from there. The mark is set to `start` before
// the first entry changes, so the counter record is never left claiming a
// complete key while entries are missing. A dynamic index's in-memory store
// is never committed: committing would have nowhere to write it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "storage/external_sort.h"
#include "storage/keys.h"

namespace kel {

struct BuildOptions {
  bool full_build = false;
  // Keeps a record (an image in the ANSI code page) when it answers true.
  std::function<bool(const uint8_t* image)> filter;
  // Told the percentage done; answering false cancels the build (93).
  std::function<bool(int percent)> progress;
  int progress_step = 1;        // report whenever the percentage grows by this
  int position = 0, total = 1;  // this build among the keys being built
  SortOptions sort;
  size_t save_pages = 400;      // progress save threshold in modified pages
};

// Builds key k of the table. 0, 40 (conflict; the build completed), 93
// (cancelled), 5 (the file is open without write access), 76 (a dynamic
// index without components), or a sort or commit error.
int BuildKey(TableKeys& keys, size_t k, const BuildOptions& options);

// Builds every key that is neither an INDEX nor dynamic, in key order,
// until one fails. With the full-build option the collation record is
// first rewritten from the engine's current tables (Collation::Default())
// and `keys` switched to them, `oem` being the table's OEM flag.
// *all_built tells whether every key was built (the caller truncates the
// file only then).
int BuildAllKeys(TableKeys& keys, bool oem, const BuildOptions& options, bool* all_built);

}  // namespace kel
