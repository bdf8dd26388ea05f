#include "storage/external_sort.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "platform/file.h"
#include "storage/bytes.h"
#include "storage/errors.h"

namespace kel {

ExternalSorter::ExternalSorter(size_t pair_length, SortOptions options)
    : pair_len_(pair_length), opt_(std::move(options)) {
  Require(pair_len_ > 0 && opt_.file_buffer_bytes > 0, 3120);
}

ExternalSorter::~ExternalSorter() = default;

// Bytes at..at+7 of a pair as a big-endian number, zeros past its end: the
// numbers of two pairs compare as those bytes do.
uint64_t ExternalSorter::WordAt(const uint8_t* pair, size_t at) const {
  if (at >= pair_len_) return 0;
  if (pair_len_ >= at + 8) {
    uint64_t v;
    std::memcpy(&v, pair + at, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
  }
  uint64_t v = 0;
  for (size_t i = at; i < at + 8; ++i) v = v << 8 | (i < pair_len_ ? pair[i] : 0);
  return v;
}

// std heaps are max-heaps: ordering by "greater" pops the smallest first.
bool ExternalSorter::EntryGreater(const Entry& a, const Entry& b) const {
  if (a.prefix != b.prefix) return a.prefix > b.prefix;
  if (pair_len_ <= 8) return false;
  return CompareBytes(&arena_[size_t(a.index) * pair_len_ + 8], &arena_[size_t(b.index) * pair_len_ + 8],
                     pair_len_ - 8) > 0;
}

int ExternalSorter::Add(std::string_view pair) {
  Require(pair.size() == pair_len_ && !finished_, 3120);
  if (error_ != 0) return error_;
  if (arena_.size() > opt_.spill_bytes || heap_.size() >= opt_.max_heap_entries) {
    int rc = Spill();
    if (rc != 0) return rc;
  }
  uint32_t index = uint32_t(arena_.size() / pair_len_);
  const size_t at = arena_.size();
  if (at + pair_len_ > arena_.capacity()) arena_.reserve(std::max(2 * arena_.capacity(), opt_.spill_bytes + 2 * pair_len_));
  arena_.resize(at + pair_len_);
  CopyBytes(arena_.data() + at, pair.data(), pair_len_);
  heap_.push_back({WordAt(reinterpret_cast<const uint8_t*>(pair.data()), 0), index});
  return 0;
}

int ExternalSorter::OpenTempFile() {
  std::string dir = opt_.temp_dir;
  if (dir.empty()) {
    const char* t = getenv("TMPDIR");
    dir = t && *t ? t : "/tmp";
  }
  std::string path = dir + "/kelsortXXXXXX";
  int fd = mkstemp(path.data());
  if (fd < 0) return platform::MapErrno(errno);
  close(fd);
  platform::File::OpenOptions o;
  o.access = platform::File::Access::kReadWrite;
  int rc = platform::File::Open(path, o, &file_);
  platform::RemoveFile(path);  // gone from the directory at once
  return rc;
}

int ExternalSorter::FlushBuffer() {
  if (wbuf_.empty()) return 0;
  size_t written = 0;
  int rc = file_->WriteAt(file_len_, wbuf_.data(), wbuf_.size(), &written);
  if (rc == 0 && written != wbuf_.size()) rc = kAccessDenied;
  if (rc != 0) return rc;
  file_len_ += wbuf_.size();
  wbuf_.clear();
  return 0;
}

int ExternalSorter::StreamWrite(const uint8_t* data, size_t n) {
  stream_len_ += n;
  if (!file_ && memory_.size() + n <= opt_.memory_stream_bytes) {
    memory_.insert(memory_.end(), data, data + n);
    return 0;
  }
  if (!file_) {
    int rc = OpenTempFile();
    if (rc != 0) return rc;
    wbuf_.reserve(opt_.file_buffer_bytes);
    wbuf_.assign(memory_.begin(), memory_.end());
    memory_.clear();
    memory_.shrink_to_fit();
  }
  while (n > 0) {
    if (wbuf_.size() >= opt_.file_buffer_bytes) {
      int rc = FlushBuffer();
      if (rc != 0) return rc;
    }
    size_t take = std::min(n, opt_.file_buffer_bytes - wbuf_.size());
    wbuf_.insert(wbuf_.end(), data, data + take);
    data += take;
    n -= take;
  }
  return 0;
}

// Ascending by the 8-byte prefixes through a radix sort, one byte per pass,
// least significant first; then entries with equal prefixes, which lie
// together, by the rest of their bytes. A pass is skipped when it could not
// move anything: over a byte that all entries share, and over the low bytes
// by which the entries already ascend as they came (a build adds its pairs
// in record order, so the record number at the end of a short pair needs no
// pass). The histograms of all passes are counted in one sweep.
void ExternalSorter::SortAscending() {
  const size_t n = heap_.size();
  auto less = [this](const Entry& a, const Entry& b) { return EntryGreater(b, a); };
  if (n < 256) {
    std::sort(heap_.begin(), heap_.end(), less);
    return;
  }
  Entry* from = heap_.data();
  uint64_t any = 0, all = ~uint64_t{0};
  for (size_t i = 0; i < n; ++i) any |= from[i].prefix, all &= from[i].prefix;
  uint64_t varying = any ^ all;
  // The widest run of low bytes already in ascending order: a stable pass
  // over them would leave every entry where it is.
  for (int bytes = 7; bytes >= 1; --bytes) {
    const uint64_t mask = (uint64_t{1} << (8 * bytes)) - 1;
    if ((varying & mask) == 0) break;
    size_t i = 1;
    while (i < n && (from[i - 1].prefix & mask) <= (from[i].prefix & mask)) ++i;
    if (i == n) {
      varying &= ~mask;
      break;
    }
  }
  int shifts[8];
  int passes = 0;
  for (int shift = 0; shift < 64; shift += 8)
    if (((varying >> shift) & 0xFF) != 0) shifts[passes++] = shift;
  if (passes > 0) {
    std::vector<uint32_t>& count = radix_counts_;
    count.assign(size_t(passes) * 256, 0);
    for (size_t i = 0; i < n; ++i) {
      const uint64_t v = from[i].prefix;
      for (int p = 0; p < passes; ++p) count[size_t(p) * 256 + ((v >> shifts[p]) & 0xFF)]++;
    }
    scratch_.resize(n);
    Entry* to = scratch_.data();
    for (int p = 0; p < passes; ++p) {
      uint32_t* c = count.data() + size_t(p) * 256;
      uint32_t at = 0;
      for (int b = 0; b < 256; ++b) {
        const uint32_t k = c[b];
        c[b] = at;
        at += k;
      }
      const int shift = shifts[p];
      for (size_t i = 0; i < n; ++i) to[c[(from[i].prefix >> shift) & 0xFF]++] = from[i];
      std::swap(from, to);
    }
    if (from != heap_.data()) heap_.swap(scratch_);
  }
  if (pair_len_ > 8) {
    // A group of equal prefixes is put in order by the pairs' next 8 bytes,
    // read once per pair, and only then, where those tie too, by the rest.
    struct Tie {
      uint64_t word1;
      uint32_t index;
    };
    std::vector<Tie> ties;
    auto tie_less = [this](const Tie& a, const Tie& b) {
      if (a.word1 != b.word1) return a.word1 < b.word1;
      return pair_len_ > 16 && CompareBytes(&arena_[size_t(a.index) * pair_len_ + 16],
                                            &arena_[size_t(b.index) * pair_len_ + 16], pair_len_ - 16) < 0;
    };
    for (size_t i = 0; i < n;) {
      size_t j = i + 1;
      while (j < n && heap_[j].prefix == heap_[i].prefix) ++j;
      if (j - i > 1) {
        ties.clear();
        for (size_t t = i; t < j; ++t)
          ties.push_back({WordAt(&arena_[size_t(heap_[t].index) * pair_len_], 8), heap_[t].index});
        std::sort(ties.begin(), ties.end(), tie_less);
        for (size_t t = i; t < j; ++t) heap_[t].index = ties[t - i].index;
      }
      i = j;
    }
  }
}

int ExternalSorter::Spill() {
  // Ascending: the least pair first.
  SortAscending();
  uint64_t bytes = uint64_t(heap_.size()) * pair_len_;
  Require(bytes <= 0xFFFFFFFFu, 3121);
  uint8_t len[4] = {uint8_t(bytes), uint8_t(bytes >> 8), uint8_t(bytes >> 16), uint8_t(bytes >> 24)};
  int rc = StreamWrite(len, 4);
  Run run;
  run.start = run.pos = stream_len_;
  // The pairs are gathered in order into a staging buffer and written a
  // buffer at a time: the stream sees the same bytes, in fewer calls.
  std::vector<uint8_t>& stage = spill_stage_;
  stage.resize(std::max<size_t>(1, opt_.file_buffer_bytes / pair_len_) * pair_len_);
  size_t staged = 0;
  for (size_t i = 0; rc == 0 && i < heap_.size(); ++i) {
    CopyBytes(stage.data() + staged, &arena_[size_t(heap_[i].index) * pair_len_], pair_len_);
    staged += pair_len_;
    if (staged == stage.size()) {
      rc = StreamWrite(stage.data(), staged);
      staged = 0;
    }
  }
  if (rc == 0 && staged > 0) rc = StreamWrite(stage.data(), staged);
  if (rc != 0) return error_ = rc;
  run.end = stream_len_;
  runs_.push_back(std::move(run));
  heap_.clear();
  arena_.clear();
  return 0;
}

int ExternalSorter::StreamRead(uint64_t pos, uint8_t* out, size_t n) {
  if (!file_) {
    Require(pos + n <= memory_.size(), 3122);
    std::memcpy(out, memory_.data() + pos, n);
    return 0;
  }
  int64_t got = file_->ReadAt(pos, out, n);
  if (got < 0) return int(-got);
  if (size_t(got) != n) return kAccessDenied;
  return 0;
}

bool ExternalSorter::RunPair(Run& r, const uint8_t** pair) {
  if (r.buf_pos + pair_len_ > r.buf_len) {
    uint64_t left = r.end - r.pos;
    if (left == 0) return false;
    size_t want = size_t(std::min<uint64_t>(left, read_chunk_));
    r.buf.resize(want);
    int rc = StreamRead(r.pos, r.buf.data(), want);
    if (rc != 0) {
      error_ = rc;
      return false;
    }
    r.pos += want;
    r.buf_pos = 0;
    r.buf_len = want;
  }
  *pair = r.buf.data() + r.buf_pos;
  r.buf_pos += pair_len_;
  return true;
}

bool ExternalSorter::Advance(size_t run) {
  Head& h = heads_[run];
  if (!RunPair(runs_[run], &h.pair)) {
    h.done = true;
    return error_ == 0;
  }
  h.word0 = WordAt(h.pair, 0);
  h.word1 = WordAt(h.pair, 8);
  h.word2 = WordAt(h.pair, 16);
  return true;
}

int ExternalSorter::Finish() {
  Require(!finished_, 3120);
  finished_ = true;
  if (error_ != 0) return error_;
  if (runs_.empty()) {
    // The pairs come straight from memory: descending, so that Next takes
    // the least from the back.
    SortAscending();
    std::reverse(heap_.begin(), heap_.end());
    scratch_ = {};
    return 0;
  }
  if (!heap_.empty()) {
    int rc = Spill();
    if (rc != 0) return rc;
  }
  if (file_) {
    int rc = FlushBuffer();
    if (rc != 0) return error_ = rc;
  }
  arena_ = {};
  heap_ = {};
  scratch_ = {};
  size_t per_run = std::min(opt_.read_buffer_bytes, opt_.merge_buffer_budget / runs_.size());
  read_chunk_ = std::max<size_t>(1, per_run / pair_len_) * pair_len_;
  const size_t k = runs_.size();
  heads_.assign(k, Head{});
  for (size_t i = 0; i < k; ++i) {
    if (!Advance(i)) return error_;
  }
  // The tournament: run i plays at leaf k + i; each inner node keeps the
  // loser of its match, node 0 the overall winner.
  tree_.assign(k, 0);
  tree_[0] = Play(1);
  return 0;
}

// Whether run a's head comes before run b's; an ended run comes last.
bool ExternalSorter::Before(size_t a, size_t b) const {
  const Head& x = heads_[a];
  const Head& y = heads_[b];
  if (x.done) return false;
  if (y.done) return true;
  if (x.word0 != y.word0) return x.word0 < y.word0;
  if (x.word1 != y.word1) return x.word1 < y.word1;
  if (x.word2 != y.word2) return x.word2 < y.word2;
  return pair_len_ > 24 && CompareBytes(x.pair + 24, y.pair + 24, pair_len_ - 24) < 0;
}

size_t ExternalSorter::Play(size_t node) {
  const size_t k = runs_.size();
  if (node >= k) return node - k;
  const size_t a = Play(2 * node), b = Play(2 * node + 1);
  const bool a_wins = Before(a, b) || (!Before(b, a) && a < b);
  tree_[node] = a_wins ? b : a;
  return a_wins ? a : b;
}

bool ExternalSorter::Next(std::string_view* pair) {
  if (error_ != 0) return false;
  Require(finished_, 3120);
  if (runs_.empty()) {
    if (heap_.empty()) return false;
    out_.assign(reinterpret_cast<const char*>(&arena_[size_t(heap_.back().index) * pair_len_]), pair_len_);
    heap_.pop_back();
    *pair = out_;
    return true;
  }
  const size_t k = runs_.size();
  if (answered_) {
    // The pair answered last is the winner's head, still in its buffer
    // (valid until this call): now that run moves on, and plays its way
    // back up against the losers on its path, one match per level.
    answered_ = false;
    size_t w = tree_[0];
    if (!Advance(w)) return false;
    for (size_t node = (w + k) / 2; node >= 1; node /= 2) {
      if (Before(tree_[node], w)) std::swap(tree_[node], w);
    }
    tree_[0] = w;
  }
  const size_t r = tree_[0];
  if (heads_[r].done) return false;
  answered_ = true;
  *pair = std::string_view(reinterpret_cast<const char*>(heads_[r].pair), pair_len_);
  return true;
}

}  // namespace kel
