// Access, commit, recovery, discard, truncate and close of the record store
// (see store_impl.h for the log format and the header rules).
#include <algorithm>
#include <cstring>

#include "storage/errors.h"
#include "storage/store_impl.h"

namespace kel {
namespace {

uint32_t GetU32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t GetU16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }

}  // namespace

StoreImpl::StoreImpl(std::unique_ptr<platform::File> file, SharingClass sharing, bool in_memory)
    : in_memory_(in_memory), sharing_(sharing) {
  clean_ring_.prev = clean_ring_.next = &clean_ring_;
  modified_ring_.prev = modified_ring_.next = &modified_ring_;
  io_ = std::make_unique<BlockFile>(std::move(file));
  locks_ = std::make_unique<LockArea>(in_memory ? nullptr : io_->file(), sharing);
  if (in_memory_) read_state_ = false;
}

StoreImpl::~StoreImpl() {
  DropCache();
  if (fill_) page_tree::Unref(fill_);
  locks_.reset();
  io_.reset();
}

// ---- locks and states ------------------------------------------------------------

void StoreImpl::LockCommit() {
  if (!takes_commit_lock() || commit_locked_) return;
  locks_->LockCommit();
  commit_locked_ = true;
}

void StoreImpl::UnlockCommit() {
  if (!commit_locked_) return;
  locks_->UnlockCommit();
  commit_locked_ = false;
}

int StoreImpl::ReadDiskHeader(Header* out) {
  uint8_t buf[kHeaderSize];
  uint32_t n = io_->ReadBlocks(0, buf, kHeaderSize);
  if (n == 0) {
    *out = Header::Empty();
    return 0;
  }
  if (n < kHeaderSize) return 1;
  // Every operation reads the header; most find the bytes they found last.
  if (header_memo_valid_ && std::memcmp(buf, header_memo_raw_, kHeaderSize) == 0) {
    *out = header_memo_;
    return 0;
  }
  if (Header::Decode(buf, out)) {
    std::memcpy(header_memo_raw_, buf, kHeaderSize);
    header_memo_ = *out;
    header_memo_valid_ = true;
    return 0;
  }
  // A first commit that never reached its header leaves zeros at offset 0
  // (pages in new space may already lie behind it): still the empty file.
  if (std::all_of(buf, buf + kHeaderSize, [](uint8_t b) { return b == 0; })) {
    *out = Header::Empty();
    return 0;
  }
  // A header torn while phase 1 rewrote it still carries the signature and
  // the pointers of the complete log in its first bytes (both versions agree
  // on them); the log holds the whole header and repairs it.
  if (std::memcmp(buf + 14, "kElS", 4) != 0) return 1;
  Header partial;
  partial.SetSignature();
  partial.log_start = GetU32(buf + 6);
  partial.log_end = GetU32(buf + 10);
  if (partial.log_start == partial.log_end) return 1;
  *out = partial;
  return 0;
}

void StoreImpl::WriteHeaderAt(uint64_t pos, const Header& h) {
  uint8_t buf[kHeaderSize];
  h.Encode(buf);
  io_->WriteBlocks(pos, buf, kHeaderSize);
}

int StoreImpl::BeginAccess() {
  if (access_open_) return 0;
  Require(!closed_, 1013);
  if (in_memory_) {
    access_open_ = true;
    if (!header_.SignatureValid()) {
      header_ = Header::Empty();
      disk_header_ = header_;
    }
    return 0;
  }
  if (shared()) locks_->LockAccess(read_state_);
  access_open_ = true;
  // Another process may have committed since the last access.
  io_->DropReadAhead();
  if (!shared() && header_.SignatureValid()) return 0;
  Header disk;
  if (ReadDiskHeader(&disk) != 0) {
    EndAccess();
    return 1;
  }
  bool log_pending = disk.log_start != disk.log_end;
  // Reload whenever the header on disk is not the one this process last saw
  // there (another process committed, or crashed with a log pending), and a
  // writer always replays a pending log before it changes anything.
  bool reload = !header_.SignatureValid() || disk != disk_header_ || (!read_state_ && log_pending);
  if (!reload) return 0;
  if (uncommitted_) {
    // Changes made against a tree that is no longer the file's: they cannot
    // be committed without damaging the file.
    Discard();
    RaiseInternal(1013);
  }
  DropCache();
  remap_.clear();
  header_ = disk;
  disk_header_ = disk;
  if (!log_pending) return 0;
  try {
    return Recover();
  } catch (...) {
    // Leave nothing half-recovered behind: the next access starts afresh.
    header_.ClearSignature();
    DropCache();
    remap_.clear();
    EndAccess();
    throw;
  }
}

void StoreImpl::EndAccess() {
  if (!access_open_) return;
  if (shared() && !in_memory_) locks_->UnlockAccess();
  access_open_ = false;
}

int StoreImpl::EnterWriteState() {
  if (in_memory_ || !read_state_) {
    read_state_ = false;
    return 0;
  }
  int rc = 0;
  if (access_open_) {
    rc = Commit();
    EndAccess();
  }
  read_state_ = false;
  return rc;
}

int StoreImpl::EndOperation() {
  if (enlisted_) return 0;
  int rc = Commit();
  EndAccess();
  if (!in_memory_) read_state_ = true;
  return rc;
}

// ---- commit ------------------------------------------------------------------------

void StoreImpl::BuildImage(CachedPage* p) {
  if (!p->packed.empty()) {
    // Moved without a change: the image as read is the page's image.
    p->image.bytes = p->packed;
    p->image_built = true;
    return;
  }
  std::vector<RecordView>& records = image_records_;
  records.clear();
  page_tree::ForEach(p->root, [&](PageNode* n) {
    RecordView v = n->rec ? RecordView{n->rec->bytes, n->rec->key_len}
                          : RecordView{std::string_view(n->stored, n->stored_size), n->stored_key_len};
    // The bytes of a record made on its own live apart from it; the image
    // is built from all of them right after this walk.
    __builtin_prefetch(v.bytes.data());
    records.push_back(v);
  });
  Require(p->estimate <= 0xFFFF, 1659);
  p->image = BuildPageImage(records.data(), records.size(), p->level, uint16_t(p->estimate));
  p->image_built = true;
}

void StoreImpl::StampImage(CachedPage* p) {
  std::vector<int32_t> children;
  if (p->level > 0 && !p->packed.empty()) {
    // A packed page's children are as read: a page whose child moved was
    // parsed to take the new address.
    children.resize(p->packed_count);
    for (uint32_t i = 0; i < p->packed_count; ++i) children[i] = int32_t(GetU32(p->image.bytes.data() + 13 + 4 * i));
  } else if (p->level > 0) {
    children.reserve(CountOf(p->root));
    page_tree::ForEach(p->root, [&](PageNode* n) { children.push_back(n->child); });
  }
  ::kel::StampImage(p->image, p->address, children);
}

int StoreImpl::Commit() {
  if (enlisted_) return 0;
  int rc = CommitPhase0();
  if (rc != 0) return rc;
  return CommitPhase1();
}

int StoreImpl::CommitPhase0() {
  if (!uncommitted_) return 0;
  if (in_memory_) {
    // An in-memory store has nowhere to write to: its pages simply stay.
    uncommitted_ = false;
    return 0;
  }
  try {
    LockCommit();
    // The backup header and the old used end come from the disk: the file
    // still holds the tree that `disk_header_` describes.
    h0_ = disk_header_;
    e0_ = h0_.UsedEnd();
    kept_.clear();
    Regions regions(header_, *this);

    // Step 3: images of the pages modified so far, each relocated to the
    // region of its image size. Moves made here modify further pages.
    std::vector<CachedPage*> snapshot;
    for (CachedPage* p = modified_ring_.next; p != &modified_ring_; p = p->next) snapshot.push_back(p);
    // Regions grow by moving their first pages to their ends, one after
    // the other: the pages moved are read ahead.
    {
      ReadingAhead ahead(*this);
      for (CachedPage* p : snapshot) {
        BuildImage(p);
        int32_t at = regions.Relocate(p->address, p->image.page_class());
        if (at < 0) {
          Discard();
          return 27;
        }
      }
      regions.Compact();
    }
    io_->DropReadAhead();

    uint64_t log_start = std::max<uint64_t>(header_.UsedEnd(), e0_);
    uint64_t log_end = log_start;
    header_.change_count++;
    io_->ClearLatchedError();

    // Pages whose home the old tree may still use go to the log; pages in new
    // space go home at once.
    std::vector<CachedPage*> all;
    for (CachedPage* p = modified_ring_.next; p != &modified_ring_; p = p->next) all.push_back(p);
    for (CachedPage* p : all) {
      Require(p->address >= 0, 300);
      if (!p->image_built) {
        BuildImage(p);
        Regions check(header_, *this);
        Require(check.ClassOf(p->address) == p->image.page_class(), 300);
      }
      StampImage(p);
      uint64_t home = PageOffset(p->address);
      uint32_t len = uint32_t(p->image.bytes.size());
      // The log is one run of writes; pages in new space gather where their
      // homes follow one another.
      if (home < e0_) {
        io_->WriteGathered(log_end, p->image.bytes.data(), len);
        log_end += len;
        kept_.push_back(p);
      } else {
        io_->WriteGathered(home, p->image.bytes.data(), len);
        MarkClean(p);
      }
    }
    header_.log_start = uint32_t(log_start);
    header_.log_end = uint32_t(log_end + kHeaderSize);
    WriteHeaderAt(log_end, header_);
    log_end += kHeaderSize;

    int err = io_->latched_error();
    if (err == 0) err = io_->Flush();
    if (err != 0) {
      Discard();
      return err;
    }
    Header pointed = h0_;
    pointed.log_start = header_.log_start;
    pointed.log_end = header_.log_end;
    WriteHeaderAt(0, pointed);
    err = io_->latched_error();
    if (err == 0) err = io_->Flush();
    if (err != 0) {
      // Whether the header reached the disk is unknown: put the old one back
      // (best effort) so that the failed commit does not come back later.
      io_->ClearLatchedError();
      WriteHeaderAt(0, h0_);
      io_->Flush();
      Discard();
      return err;
    }
    disk_header_ = pointed;
    return 0;
  } catch (...) {
    Discard();
    throw;
  }
}

void StoreImpl::FailPhase1() {
  // The log on disk is complete and the header points at it: the next access
  // reloads and rolls it forward.
  uncommitted_ = false;
  io_->DropPending();
  header_.ClearSignature();
  DropCache();
  remap_.clear();
  UnlockCommit();
}

int StoreImpl::CommitPhase1() {
  if (!uncommitted_) {
    UnlockCommit();
    return 0;
  }
  if (in_memory_) {
    uncommitted_ = false;
    return 0;
  }
  try {
    // In address order, so that neighbouring homes gather into one write.
    std::sort(kept_.begin(), kept_.end(), [](const CachedPage* a, const CachedPage* b) { return a->address < b->address; });
    for (CachedPage* p : kept_) {
      io_->WriteGathered(PageOffset(p->address), p->image.bytes.data(), uint32_t(p->image.bytes.size()));
    }
    for (CachedPage* p : kept_) MarkClean(p);
    kept_.clear();
    WriteHeaderAt(0, header_);
    int err = io_->latched_error();
    if (err == 0) err = FinalHeaderRewrite();
    if (err != 0) {
      FailPhase1();
      return err;
    }
    header_ = disk_header_;
    uncommitted_ = false;
    UnlockCommit();
    return 0;
  } catch (...) {
    FailPhase1();
    throw;
  }
}

int StoreImpl::FinalHeaderRewrite() {
  int err = io_->Flush();
  if (err != 0) return err;
  uint8_t buf[kHeaderSize];
  io_->ReadExact(0, buf, kHeaderSize);
  Header h;
  Require(Header::Decode(buf, &h), 300);
  h.log_start = h.log_end = uint32_t(h.UsedEnd());
  h.change_count++;
  WriteHeaderAt(0, h);
  err = io_->latched_error();
  if (err == 0) err = io_->Flush();
  if (err != 0) return err;
  disk_header_ = h;
  return 0;
}

int StoreImpl::AbandonLog() {
  if (in_memory_) return 0;
  io_->ClearLatchedError();
  int err = FinalHeaderRewrite();
  header_.ClearSignature();
  return err;
}

void StoreImpl::Discard() {
  if (uncommitted_ || !kept_.empty()) {
    uncommitted_ = false;
    if (!in_memory_) {
      header_.ClearSignature();
      DropCache();
      remap_.clear();
    } else {
      DropCache();
      header_ = Header::Empty();
      temp_counter_ = 0;
    }
    EndAccess();
  }
  io_->DropPending();
  io_->ClearLatchedError();
  UnlockCommit();
}

int StoreImpl::Truncate() {
  if (enlisted_ || in_memory_) return 0;
  Require(BeginAccess() == 0, 1143);
  bool locked_here = !commit_locked_ && takes_commit_lock();
  LockCommit();
  Header disk;
  int rc = 0;
  // Only a file whose header on disk has no pending log may lose what lies
  // behind its used end; readers are kept out by the commit lock.
  if (ReadDiskHeader(&disk) == 0 && disk.log_start == disk.log_end) {
    uint64_t end = std::max(disk.UsedEnd(), header_.UsedEnd());
    uint64_t size = 0;
    if (io_->file()->Size(&size) == 0 && size > end) rc = io_->Truncate(end);
  }
  if (locked_here) UnlockCommit();
  return rc;
}

int StoreImpl::Close() {
  if (closed_) return 0;
  int rc = 0;
  try {
    rc = Commit();
  } catch (const InternalError&) {
    rc = kFileSystemError;
  }
  EndAccess();
  DropCache();
  remap_.clear();
  UnlockCommit();
  closed_ = true;
  locks_.reset();
  io_.reset();
  return rc;
}

// ---- recovery ------------------------------------------------------------------------

int StoreImpl::Recover() {
  const uint64_t log_start = header_.log_start;
  const uint64_t log_end = header_.log_end;
  remap_.clear();
  bool broken = log_start < kHeaderSize || log_end <= log_start || log_end >= kLockAreaStart;
  uint64_t header_pos = 0;
  bool have_header = false;
  uint64_t pos = log_start;
  uint8_t buf[kHeaderSize];
  while (!broken && pos < log_end) {
    if (io_->ReadBlocks(pos, buf, kHeaderSize) < kHeaderSize) {
      broken = true;
      break;
    }
    uint32_t own = GetU32(buf);
    uint32_t len = GetU16(buf + 4);
    if (len == 0 || len > kMaxImage || own >= log_start || have_header) {
      broken = true;
      break;
    }
    if (own == 0) {
      if (len != kHeaderSize) {
        broken = true;
        break;
      }
      have_header = true;
      header_pos = pos;
    } else if (own < kHeaderSize || (own - kHeaderSize) % kUnit != 0) {
      broken = true;
      break;
    }
    remap_[own] = pos;
    pos += Ceil256(len);
  }
  if (pos != log_end || !have_header) broken = true;
  Header logged;
  if (!broken) {
    if (io_->ReadBlocks(header_pos, buf, kHeaderSize) < kHeaderSize || !Header::Decode(buf, &logged) ||
        logged.log_start != log_start || logged.log_end != log_end) {
      broken = true;
    }
  }
  remap_.erase(0);
  bool roll_back = broken;
  if (!broken && recovery_check_) {
    // Look at the logged state: does it hold a transaction marker?
    header_ = logged;
    RecordPtr marker = FindExact(std::string_view("\xff", 1));
    if (marker && recovery_check_(*marker)) roll_back = true;
    DropCache();
  }
  if (roll_back) {
    DropCache();
    remap_.clear();
    io_->ReadExact(0, buf, kHeaderSize);
    Require(Header::Decode(buf, &header_), 300);
    if (read_state_) return 0;
    bool writer_byte = sharing_ == SharingClass::kDenyWrite;
    if (writer_byte) locks_->LockWriterByte();
    io_->ClearLatchedError();
    int err = FinalHeaderRewrite();
    if (writer_byte) locks_->UnlockWriterByte();
    if (err != 0) {
      header_.ClearSignature();
      return err;
    }
    header_ = disk_header_;
    return 0;
  }
  header_ = logged;
  if (read_state_) return 0;   // pages are read through the remap list
  DropCache();
  remap_.clear();
  bool writer_byte = sharing_ == SharingClass::kDenyWrite;
  if (writer_byte) locks_->LockWriterByte();
  io_->ClearLatchedError();
  std::vector<uint8_t> block;
  for (pos = log_start; pos < log_end;) {
    block.resize(kUnit);
    io_->ReadExact(pos, block.data(), kUnit);
    uint32_t len = uint32_t(Ceil256(GetU16(block.data() + 4)));
    Require(len >= kUnit && len <= kMaxImage && pos + len <= log_end, 300);
    block.resize(len);
    if (len > kUnit) io_->ReadExact(pos + kUnit, block.data() + kUnit, len - kUnit);
    io_->WriteBlocks(GetU32(block.data()), block.data(), len);
    pos += len;
  }
  int err = io_->latched_error();
  if (err == 0) err = FinalHeaderRewrite();
  if (writer_byte) locks_->UnlockWriterByte();
  if (err != 0) {
    header_.ClearSignature();
    return err;
  }
  header_ = disk_header_;
  return 0;
}

}  // namespace kel
