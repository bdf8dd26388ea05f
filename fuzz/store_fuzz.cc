// Fuzz target: the input is a whole table file. It is opened as a record
// store and walked (recovery of a pending log included), checked, changed and
// committed. Any outcome is fine except a crash, a hang or a sanitizer report:
// a damaged file must end in an answer code or an internal error.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "storage/errors.h"
#include "storage/lock_area.h"
#include "storage/store.h"

namespace {

std::string TempPath() {
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
  std::string templ = std::string(dir) + "/store_fuzz_XXXXXX";
  int fd = ::mkstemp(templ.data());
  if (fd >= 0) ::close(fd);
  return templ;
}

void Walk(const std::string& path, bool writer) {
  using namespace kel;
  int mode = open_mode::kReadWrite | open_mode::kDenyNone;
  std::unique_ptr<platform::File> file;
  if (OpenTableFile(path, mode, &file) != 0) return;
  Store store(std::move(file), SharingClassOf(mode));
  OperationFrame frame("FUZZ");
  try {
    if (writer) store.EnterWriteState();
    if (store.BeginAccess() != 0) return;
    std::string key;
    int n = 0;
    for (RecordPtr r = store.First(); r && n < 20000; r = store.FindNext(key), n++) key.assign(r->key());
    uint64_t scanned = 0;
    store.Scan("k", [&](std::string_view, std::string_view) { return ++scanned < 20000; });
    store.Last();
    store.FindPrevious("k5");
    store.FindExact("k1");
    store.CheckTree();
    if (writer) {
      store.Insert(MakeRecord("fuzz-new", "data"));
      if (RecordPtr f = store.First()) store.Delete(f);
      Cursor c(store);
      c.SetKey("fuzz-new");
      if (c.Current()) {
        c.InsertAfter(MakeRecord("fuzz-new2"));
        c.InsertAfter("fuzz-new3", "bytes");
        c.InsertAfter("fuzz-new4", "");
      }
    }
    store.EndOperation();
    store.Truncate();
    store.Close();
  } catch (const InternalError&) {
    store.Discard();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = TempPath();
  for (int writer = 0; writer < 2; writer++) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    if (size) std::fwrite(data, 1, size, f);
    std::fclose(f);
    Walk(path, writer == 1);
  }
  return 0;
}
