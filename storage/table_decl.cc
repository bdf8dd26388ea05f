#include "storage/table_decl.h"

#include "platform/ascii.h"

namespace kel {

int TableDecl::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (platform::EqualsNoCaseAscii(fields[i].label, name)) return int(i);
  return -1;
}

int TableDecl::KeyIndex(std::string_view name) const {
  for (size_t i = 0; i < keys.size(); ++i)
    if (platform::EqualsNoCaseAscii(keys[i].label, name)) return int(i);
  return -1;
}

}  // namespace kel
