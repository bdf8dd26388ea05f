// Registry of open physical files: one object per physical file per process,
// shared by every table (and every thread) that uses the file.
//
// A physical file is identified by its device and inode (platform::FileId),
// never by its name: two names of one file (links, "a/../b", different case
// on a case-insensitive mount) share one object, and a file deleted and
// created anew under the same name is a different file. While an object is
// registered its file is open, so its inode cannot be reused by another file.
//
// Users hold shared ownership (Handle). The entry goes when the last handle
// goes, so a later open of the file makes a fresh object. Release() lets the
// last user run the closing step (commit, unlock, close) while the registry
// still refuses to hand the object out anew. All calls are serialised by one
// mutex per registry; the closing step runs under it too and may itself use
// the registry (the mutex is recursive).
//
// The registry is generic in the per-file object T, which belongs to its
// user (the record store's file object).
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/file.h"

namespace kel {

struct FileIdLess {
  bool operator()(const platform::FileId& a, const platform::FileId& b) const {
    if (a.dev != b.dev) return a.dev < b.dev;
    return a.ino < b.ino;
  }
};

template <typename T>
class FileRegistry {
 public:
  using Handle = std::shared_ptr<T>;
  // Makes the object of a file that has none yet: 0 and *obj set, or an
  // error code (passed on by Acquire).
  using Make = std::function<int(std::unique_ptr<T>* obj)>;
  // Opens (maybe creates) the file itself and makes its object: 0 with *obj
  // and *id (the identity of what was opened) set, or an error code.
  using MakeForPath = std::function<int(std::unique_ptr<T>* obj, platform::FileId* id)>;
  // The closing step run for the last user: its answer is Release's answer.
  using Last = std::function<int(T& obj)>;

  FileRegistry() : state_(std::make_shared<State>()) {}
  FileRegistry(const FileRegistry&) = delete;
  FileRegistry& operator=(const FileRegistry&) = delete;

  // The live object of file `id`, or null.
  Handle Find(const platform::FileId& id) const {
    std::lock_guard<std::recursive_mutex> lock(state_->mu);
    return FindLocked(id);
  }

  // The object of file `id`, made by `make` when the file has none.
  int Acquire(const platform::FileId& id, const Make& make, Handle* out) {
    out->reset();
    std::lock_guard<std::recursive_mutex> lock(state_->mu);
    if (Handle found = FindLocked(id)) {
      *out = std::move(found);
      return 0;
    }
    std::unique_ptr<T> obj;
    int rc = make(&obj);
    if (rc != 0) return rc;
    *out = Register(id, std::move(obj));
    return 0;
  }

  // The object of the file at `path`. A file with a live object is found by
  // its identity; otherwise `make` opens the file (it may create it) and
  // tells what it opened. Should that file have an object after all (the
  // name now leads to a registered file), the new object is dropped and the
  // registered one answered.
  int AcquirePath(const std::string& path, const MakeForPath& make, Handle* out) {
    out->reset();
    std::lock_guard<std::recursive_mutex> lock(state_->mu);
    platform::FileId id;
    if (platform::IdentifyFile(path, &id) == 0) {
      if (Handle found = FindLocked(id)) {
        *out = std::move(found);
        return 0;
      }
    }
    std::unique_ptr<T> obj;
    int rc = make(&obj, &id);
    if (rc != 0) return rc;
    if (Handle found = FindLocked(id)) {
      *out = std::move(found);
      return 0;
    }
    *out = Register(id, std::move(obj));
    return 0;
  }

  // Gives up one use and empties *handle. When it was the last use, `last`
  // runs on the object first (no other user can get it meanwhile) and its
  // answer is returned; the object is then destroyed and its entry removed.
  // Should `last` raise, *handle is left as it was.
  int Release(Handle* handle, const Last& last) {
    if (!*handle) return 0;
    std::lock_guard<std::recursive_mutex> lock(state_->mu);
    int rc = 0;
    if (handle->use_count() == 1 && last) rc = last(**handle);
    handle->reset();
    return rc;
  }

  // Number of files with a live object.
  size_t size() const {
    std::lock_guard<std::recursive_mutex> lock(state_->mu);
    return state_->entries.size();
  }

 private:
  struct Entry {
    std::weak_ptr<T> weak;
    const T* raw = nullptr;
  };
  struct State {
    mutable std::recursive_mutex mu;
    std::map<platform::FileId, Entry, FileIdLess> entries;
  };

  Handle FindLocked(const platform::FileId& id) const {
    auto it = state_->entries.find(id);
    if (it == state_->entries.end()) return nullptr;
    return it->second.weak.lock();
  }

  // The deleter removes the entry (only its own: a fresh object of the same
  // file may have replaced it) and keeps the registry state alive as long as
  // any handle exists, so handles may outlive the registry.
  Handle Register(const platform::FileId& id, std::unique_ptr<T> obj) {
    std::shared_ptr<State> state = state_;
    T* raw = obj.get();
    Handle handle(obj.release(), [state, id](T* p) {
      {
        std::lock_guard<std::recursive_mutex> lock(state->mu);
        auto it = state->entries.find(id);
        if (it != state->entries.end() && it->second.raw == p) state->entries.erase(it);
      }
      delete p;
    });
    state_->entries[id] = Entry{handle, raw};
    return handle;
  }

  std::shared_ptr<State> state_;
};

}  // namespace kel
