// The physical container of a table file: header, page space, page images.
//
// On-disk format (all integers little-endian unless stated):
//
//   offset 0..511   file header
//     0   u32  own position, always 0
//     4   u16  header length, 512
//     6   u32  log start (file offset of the first block of a pending log)
//     10  u32  log end (just past the last log block; == log start: no log)
//     14  4    signature "kElS"
//     18  2    reserved, 0
//     20  u32  BIG-endian: last issued number (table and record numbers)
//     24  u32  change count, raised by every commit
//     28  i32  root page address of the record tree, -1 before first write
//     32  60 x u32  start[0..59] of the size-class regions
//     272 60 x u32  end[0..59]
//   offset 512..    page space in 256-byte units; page address A lives at
//                   512 + 256*A. Region i (1..59) holds only images of exactly
//                   i*256 bytes, packed: start[i], start[i]+i, ..., end[i]-i.
//                   Regions ascend (end[i] <= start[i+1]); free space exists
//                   only as gaps between regions; region 0 stays empty.
//
//   page image (i*256 bytes, i = size class):
//     0   u32  own position (512 + 256*address)
//     4   u16  stored length (prefix + record bytes, compressed or not)
//     6   u16  unpacked length
//     8   u16  size estimate when built
//     10  u16  record count n
//     12  u8   level (0 = leaf)
//     13  n x i32 child addresses (level > 0 only)
//     then the records (shared-prefix encoded, possibly run-length
//     compressed as one block), then filler 0xB0 up to the image length.
//
// No file offset ever reaches 0x80000000: the lock area starts there. Growth
// that would put a page there is refused before anything moves (Allocate and
// Relocate answer -1, the commit answers kErrFileTooLarge), and a write that
// would reach it latches kErrFileTooLarge instead of writing.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace kel {

constexpr uint32_t kHeaderSize = 512;
constexpr uint32_t kUnit = 256;
constexpr int kRegionCount = 60;          // regions 0..59, 0 never used
constexpr int kMaxClass = 59;
constexpr uint32_t kMaxImage = 15104;     // 59 * 256
constexpr uint64_t kLockAreaStart = 0x80000000ull;
constexpr uint8_t kFiller = 0xB0;

// Highest number of 256-byte units the page space may use: 512 + 256 * units
// stays at or below the lock area.
constexpr uint32_t kMaxUnits = uint32_t((kLockAreaStart - kHeaderSize) / kUnit);
// Answer of a commit whose pages or log would reach the lock area (EFBIG,
// passed on like an operating-system error).
constexpr int kErrFileTooLarge = 27;

// Internal error codes raised by the container.
namespace container_error {
constexpr int kDecompressLiteral = 522;   // literal count too large / stream overrun
constexpr int kDecompressRun = 530;       // run count too large / nothing to repeat
constexpr int kImageLength = 1477;        // stored length does not fit the image
constexpr int kRecordStream = 1602;       // record stream does not end at the unpacked length
constexpr int kImageTooLarge = 1659;      // unpacked length above the estimate; bad build input
constexpr int kImageOverLimit = 1678;     // image above 15104 bytes
constexpr int kAddressInNoRegion = 1735;  // also: stamping a page without a real address
constexpr int kRoomNeed = 1781;           // room asked for exceeds the class; bad class
constexpr int kShortRead = 2172;
constexpr int kReadLength = 2272;
constexpr int kReadFailed = 2277;
constexpr int kWriteLength = 2286;
constexpr int kSeek = 2341;
}  // namespace container_error

inline uint64_t Ceil256(uint64_t x) { return (x + 255) & ~uint64_t{255}; }
inline uint64_t PageOffset(int32_t address) { return kHeaderSize + uint64_t{kUnit} * uint32_t(address); }

// The 512-byte file header, decoded.
struct Header {
  uint32_t own_position = 0;
  uint16_t header_length = kHeaderSize;
  uint32_t log_start = 0;
  uint32_t log_end = 0;
  std::array<uint8_t, 4> signature{};   // "kElS" when loaded; zeroed = not loaded
  uint32_t last_number = 0;             // host order (stored big-endian)
  uint32_t change_count = 0;
  int32_t root = 0;
  std::array<uint32_t, kRegionCount> start{};
  std::array<uint32_t, kRegionCount> end{};

  bool SignatureValid() const;
  void SetSignature();
  void ClearSignature();
  // The header of a zero-length file: zeros, length 512, signature set.
  static Header Empty();

  void Encode(uint8_t out[kHeaderSize]) const;
  // Decodes 512 bytes; false when the signature is wrong or the region
  // table is malformed (not ascending/packed, region 0 not empty, a region
  // reaching the lock area). *out is filled either way.
  static bool Decode(const uint8_t in[kHeaderSize], Header* out);
  // The region-table check of Decode on its own.
  bool RegionsWellFormed() const;

  // 512 + 256 * end[k] of the highest non-empty region (512 when none).
  uint64_t UsedEnd() const;

  // Field by field; two headers are equal exactly when they encode to the
  // same 512 bytes.
  bool operator==(const Header&) const = default;
};

// One record as the store and the page image see it: total bytes (key first,
// then data), key length, and for pages above level 0 the child address.
struct Record {
  std::string bytes;
  uint16_t key_len = 0;
  int32_t child = 0;

  std::string_view key() const { return std::string_view(bytes).substr(0, key_len); }
  std::string_view data() const { return std::string_view(bytes).substr(key_len); }
};

// ---- page images -------------------------------------------------------

// Accounting size of a page: 13 + sum(T + 5), plus 4 per record above level 0.
uint32_t SizeEstimate(const std::vector<const Record*>& records, uint8_t level);

struct PageImage {
  std::vector<uint8_t> bytes;   // length = image length (multiple of 256)
  int page_class() const { return int(bytes.size() / kUnit); }
};

// A record's bytes (key first, then data) and key length, wherever they are
// kept: the store builds images from the bytes its pages hold, without
// making a Record of each.
struct RecordView {
  std::string_view bytes;
  uint16_t key_len = 0;
};

// Builds the image of a page from its records in ascending order. Raises
// 1659 when the unpacked length exceeds `estimate`, 1678 when the image
// would exceed 15104 bytes. Own position and child pointers are set later
// by StampImage.
PageImage BuildPageImage(const RecordView* records, size_t n, uint8_t level, uint16_t estimate);
PageImage BuildPageImage(const std::vector<const Record*>& records, uint8_t level, uint16_t estimate);
// Writes the own position (512 + 256*address) and, above level 0, the child
// pointers as they are now.
void StampImage(PageImage& image, int32_t address, const std::vector<int32_t>& children);

struct ParsedPage {
  uint8_t level = 0;
  uint16_t estimate = 0;
  std::vector<Record> records;   // with child addresses above level 0
};
// Parses an image read from disk (length = class * 256). Raises 1477 when
// ceil256(stored length) differs from the image length, the length is not a
// page size, or the page prefix does not fit the stored length; 522/530 on
// overrunning compressed data; 1602 when the records do not end exactly at
// the unpacked length or a record's lengths are impossible (key longer than
// the record, shared prefix longer than either record). The level is not
// checked here: the caller knows what level a child must have.
ParsedPage ParsePageImage(const uint8_t* image, size_t length);

// Run-length compression of record bytes; false when incompressible (no run
// of 4 or more equal bytes). The output may be a few bytes longer than n.
bool Compress(const uint8_t* in, size_t n, std::vector<uint8_t>* out);
// Decompresses exactly `out_len` bytes from in[0..in_len); raises 522/530,
// never reads past in_len. Trailing input after out_len bytes is ignored.
// With `stop` below out_len only the first `stop` bytes are produced; the
// groups read on the way are checked against the whole out_len, exactly as
// a full decompression checks them.
void Decompress(const uint8_t* in, size_t in_len, uint8_t* out, size_t out_len, size_t stop = SIZE_MAX);

// ---- owner-password cipher --------------------------------------------
class Cipher {
 public:
  explicit Cipher(std::string_view password);
  void Encipher(uint8_t* data, size_t len) const;   // len multiple of 64
  void Decipher(uint8_t* data, size_t len) const;

 private:
  std::array<uint32_t, 16> key_{};
};

// ---- block I/O (per-file I/O state) -------------------------------------
class BlockFile {
 public:
  // `file` may be null: an in-memory store; reads return 0, writes vanish.
  explicit BlockFile(std::unique_ptr<platform::File> file);
  ~BlockFile();

  void SetPassword(std::string_view password);   // "" = cipher off
  bool has_file() const { return file_ != nullptr; }
  platform::File* file() { return file_.get(); }

  // len multiple of 64 (2272). Answers bytes read; a full read is
  // deciphered; 2277 when the read itself fails.
  uint32_t ReadBlocks(uint64_t pos, uint8_t* buf, uint32_t len);
  // A short read is internal error 2172.
  void ReadExact(uint64_t pos, uint8_t* buf, uint32_t len);
  // len multiple of 64 (2286). Skipped without a file or with an error
  // latched; a failed write latches the OS error, a short one 5. A write
  // that would reach the lock area latches kErrFileTooLarge and writes
  // nothing. With the cipher on, buf is enciphered for the write and
  // deciphered again, so the caller sees it unchanged.
  void WriteBlocks(uint64_t pos, uint8_t* buf, uint32_t len);
  // A write that may be gathered with its neighbours: one that starts where
  // the pending run ends joins it (up to kGatherLimit bytes), any other
  // writes the run out first. Every other transfer, Flush and Truncate
  // write the run out before they act, so they never miss a gathered
  // write; errors are latched as WriteBlocks latches them, when the run is
  // written. buf is copied (and enciphered in the copy).
  void WriteGathered(uint64_t pos, const uint8_t* buf, uint32_t len);
  void WritePending();
  // Forgets the pending run (a commit that is discarded).
  void DropPending() { pending_.clear(); }
  // ReadExact through a read-ahead window, for reads that may walk the file
  // forward (a scan, the pages a commit moves): a read inside the window is
  // copied from it; a read that starts where the previous one ended fills
  // the window with up to `ahead` bytes from pos first (never fewer than
  // len); any other read is made on its own. Every write, and
  // DropReadAhead, empty the window: it holds the file only as it was when
  // it was read.
  void ReadAhead(uint64_t pos, uint8_t* buf, uint32_t len, uint32_t ahead);
  void DropReadAhead() { window_len_ = 0; }
  static constexpr size_t kGatherLimit = 1 << 20;
  int latched_error() const { return latched_; }
  void ClearLatchedError() { latched_ = 0; }
  int Flush();
  int Truncate(uint64_t length);

  // Reads the image of a page of class `page_class` at `pos` (its home or
  // its log copy); raises 2172 on a short read and 1477 on a stored length
  // that does not match the class.
  std::vector<uint8_t> ReadPageImageAt(uint64_t pos, int page_class);

 private:
  std::unique_ptr<platform::File> file_;
  std::unique_ptr<Cipher> cipher_;
  int latched_ = 0;
  std::vector<uint8_t> pending_;   // gathered bytes, to be written at pending_pos_
  uint64_t pending_pos_ = 0;
  std::vector<uint8_t> window_;    // read-ahead: deciphered bytes from window_pos_
  uint64_t window_pos_ = 0;
  size_t window_len_ = 0;
  uint64_t next_pos_ = ~uint64_t{0};   // where the last read through the window ended
  void WriteOut(uint64_t pos, uint8_t* buf, uint32_t len);
};

// ---- region management ---------------------------------------------------

// Supplied by the record store: moves an in-memory page to a new address and
// rewrites the one reference to it (parent's child pointer or the header's
// root), marking both modified; and hands out temporary addresses.
class PageMover {
 public:
  virtual ~PageMover() = default;
  virtual void MovePage(int32_t from, int32_t to) = 0;
  virtual int32_t NextTemporaryAddress() = 0;
};

// Allocation, release, relocation and compaction over the region table of a
// header. Every page move goes through the PageMover.
class Regions {
 public:
  Regions(Header& header, PageMover& mover) : h_(header), mover_(mover) {}

  // 0 for A < 0, else the region holding A; 1735 when A is in none.
  int ClassOf(int32_t address) const;
  // Address of a new page slot of class 1..59 (1781 for another class).
  // Answers -1, with nothing moved and the region table unchanged, when the
  // used end would pass the lock area; the commit then answers
  // kErrFileTooLarge and discards its changes.
  int32_t Allocate(int page_class);
  void Free(int32_t address);
  // Gives the page at `address` a slot of class 0..59 (0: a temporary
  // address) and answers its address afterwards; for class 1..59, -1 when
  // the growth was refused as in Allocate, again with nothing moved or
  // changed. Class 0 is never refused: its answer is the page's temporary
  // address (which may itself be -1).
  int32_t Relocate(int32_t address, int page_class);
  void Compact();
  uint64_t UsedEnd() const { return h_.UsedEnd(); }

 private:
  Header& h_;
  PageMover& mover_;
};

}  // namespace kel
