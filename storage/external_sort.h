// External merge sort of the (value, record number) pairs of a key build.
//
// Pairs all have one length and sort by unsigned byte comparison. They go
// into an in-memory heap; when the pairs collected since the last spill
// exceed the spill threshold (999999 bytes) or the heap holds its maximum
// count, the heap is emptied in order into a run on a temporary stream
// before the next pair is added. A run is a u32 length in bytes
// (little-endian) followed by its pairs. The stream stays in memory up to
// 16384 bytes, then moves to a temporary file written through a 16384-byte
// buffer. At the end, without a spill the pairs come straight out of the
// heap; otherwise the last run is spilled too and the run readers are
// merged (a tournament of the runs' heads, one match per level per pair).
//
// The temporary file is unlinked as soon as it is created, so it is gone
// when the sort ends, however it ends (error, cancellation, crash).
// Memory stays bounded by the spill threshold plus the merge's read
// buffers, which share a fixed budget however many runs there are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

namespace platform {
class File;
}

struct SortOptions {
  size_t spill_bytes = 999999;
  size_t max_heap_entries = 1073741798;
  size_t memory_stream_bytes = 16384;
  size_t file_buffer_bytes = 16384;
  size_t read_buffer_bytes = 65536;      // per run, at most...
  size_t merge_buffer_budget = 1 << 20;  // ...and all runs together at most
  std::string temp_dir;   // empty: $TMPDIR, else /tmp
};

class ExternalSorter {
 public:
  ExternalSorter(size_t pair_length, SortOptions options = {});
  ~ExternalSorter();
  ExternalSorter(const ExternalSorter&) = delete;
  ExternalSorter& operator=(const ExternalSorter&) = delete;

  // Adds a pair of pair_length bytes. 0, or the error of a spill (the
  // sorter is then unusable).
  int Add(std::string_view pair);
  // Ends the input. 0 or the error of the last spill.
  int Finish();
  // The next pair in ascending order (valid until the next call); false at
  // the end or on a read error (error() tells which).
  bool Next(std::string_view* pair);
  int error() const { return error_; }

  size_t runs() const { return runs_.size(); }
  bool file_created() const { return file_ != nullptr; }

 private:
  struct Run {
    uint64_t start = 0;      // first pair
    uint64_t end = 0;
    uint64_t pos = 0;        // next byte to read
    std::vector<uint8_t> buf;
    size_t buf_pos = 0, buf_len = 0;
  };
  // A heap entry: the pair's first 8 bytes as a big-endian number (so most
  // comparisons need no memcmp) and its index in the arena.
  struct Entry {
    uint64_t prefix;
    uint32_t index;
  };
  uint64_t WordAt(const uint8_t* pair, size_t at) const;
  bool EntryGreater(const Entry& a, const Entry& b) const;
  void SortAscending();
  int Spill();
  int StreamWrite(const uint8_t* data, size_t n);
  int FlushBuffer();
  int OpenTempFile();
  int StreamRead(uint64_t pos, uint8_t* out, size_t n);
  bool RunPair(Run& r, const uint8_t** pair);

  const size_t pair_len_;
  SortOptions opt_;
  int error_ = 0;
  bool finished_ = false;

  // The pairs collected since the last spill. They are put in order only
  // when they are emptied (into a run, or out of Next): every pair is
  // distinct (it ends with its record number), so sorting then gives exactly
  // the sequence a priority queue kept all along would give, at less cost.
  std::vector<uint8_t> arena_;
  std::vector<Entry> heap_;
  std::vector<Entry> scratch_;   // the radix sort's second buffer
  std::vector<uint32_t> radix_counts_;
  std::vector<uint8_t> spill_stage_;
  std::string out_;          // the pair last answered by Next without runs

  // The temporary stream: memory first, then the file behind a buffer.
  std::vector<uint8_t> memory_;
  std::unique_ptr<platform::File> file_;
  std::vector<uint8_t> wbuf_;
  uint64_t file_len_ = 0;    // bytes written to the file
  uint64_t stream_len_ = 0;  // logical length of the stream

  std::vector<Run> runs_;
  bool Before(size_t a, size_t b) const;
  size_t Play(size_t node);
  std::vector<size_t> tree_;         // tournament of the runs: losers, tree_[0] the winner
  // The current pair of each run, with its first 24 bytes as three
  // big-endian numbers (zeros past the pair's end), so that most matches
  // compare numbers and never reach the run's buffer.
  struct Head {
    uint64_t word0 = 0, word1 = 0, word2 = 0;
    const uint8_t* pair = nullptr;
    bool done = false;  // the run is read to its end
  };
  std::vector<Head> heads_;
  bool Advance(size_t run);  // the run's next pair into its head; false on a read error
  size_t read_chunk_ = 0;            // bytes a run reader fetches at once
  bool answered_ = false;            // the winner's head was answered by Next
};

}  // namespace kel
