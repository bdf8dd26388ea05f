#include "storage/table_decl.h"

namespace kel {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x -= 32;
    if (y >= 'a' && y <= 'z') y -= 32;
    if (x != y) return false;
  }
  return true;
}

}  // namespace

int TableDecl::FieldIndex(std::string_view name) const {
  for (size_t i = 0; i < fields.size(); ++i)
    if (EqualsNoCase(fields[i].label, name)) return int(i);
  return -1;
}

int TableDecl::KeyIndex(std::string_view name) const {
  for (size_t i = 0; i < keys.size(); ++i)
    if (EqualsNoCase(keys[i].label, name)) return int(i);
  return -1;
}

}  // namespace kel
