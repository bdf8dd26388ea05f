#include "storage/table_files.h"

#include "storage/errors.h"
#include "storage/lock_area.h"

namespace kel {

FileRegistry<TableFile>& OpenTableFiles() {
  static auto* registry = new FileRegistry<TableFile>();
  return *registry;
}

int AcquireTableFile(const std::string& path, int mode, const std::string& owner, TableFileHandle* out) {
  return OpenTableFiles().AcquirePath(
      path,
      [&](std::unique_ptr<TableFile>* obj, platform::FileId* id) {
        std::unique_ptr<platform::File> file;
        int rc = OpenTableFile(path, mode, &file);
        if (rc != 0) return rc;
        *id = file->id();
        auto tf = std::make_unique<TableFile>();
        tf->store = std::make_unique<Store>(std::move(file), SharingClassOf(mode));
        tf->store->io().SetPassword(owner);
        tf->path = path;
        tf->mode = mode;
        *obj = std::move(tf);
        return 0;
      },
      out);
}

int ReleaseTableFile(TableFileHandle* handle) {
  return OpenTableFiles().Release(handle, [](TableFile& tf) {
    int rc = tf.store->Close();
    return rc;
  });
}

bool TableFileInUse(const std::string& path) {
  platform::FileId id;
  if (platform::IdentifyFile(path, &id) != 0) return false;
  return OpenTableFiles().Find(id) != nullptr;
}

}  // namespace kel
