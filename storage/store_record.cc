#include <cstring>

#include "storage/errors.h"
#include "storage/store.h"

namespace kel {

RecordPtr MakeRecord(std::string_view key, std::string_view data) {
  Require(key.size() + data.size() <= 15093, 824);
  auto r = std::make_shared<Record>();
  r->bytes.reserve(key.size() + data.size());
  r->bytes.append(key);
  r->bytes.append(data);
  r->key_len = uint16_t(key.size());
  return r;
}

RecordPtr RecordBatch::Make(std::string_view key, std::string_view data) {
  Require(key.size() + data.size() <= 15093, 824);
  if (!batch_ || used_ == batch_->size()) {
    batch_ = std::make_shared<std::vector<Record>>(per_batch_);
    used_ = 0;
  }
  Record& r = (*batch_)[used_++];
  r.bytes.reserve(key.size() + data.size());
  r.bytes.append(key);
  r.bytes.append(data);
  r.key_len = uint16_t(key.size());
  return RecordPtr(batch_, &r);
}

}  // namespace kel
