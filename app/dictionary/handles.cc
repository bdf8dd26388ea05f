#include "app/dictionary/handles.h"

#include <map>

namespace kel::dict {
namespace {

struct Handles {
  std::array<FileHandle, kTableCount> files;
  std::array<RelationHandle, kTableCount> relations;
  std::map<std::string, RelationHandle*> known;  // by table label
  bool initialised = false;
};

Handles& All() {
  static Handles handles;
  return handles;
}

void Note(std::vector<std::string>* trail, std::string line) {
  if (trail) trail->push_back(std::move(line));
}

}  // namespace

void FileHandle::Init(TableId table, ErrorReporter* reporter) {
  table_ = table;
  decl_ = &Decl(table);
  reporter_ = reporter;
  name_ = decl_->display_name;
  record_size_ = decl_->record_length();
  create_ = true;
  keys_.clear();
  for (size_t i = 0; i < decl_->keys.size(); ++i) {
    const KeyDecl& k = decl_->keys[i];
    keys_.push_back({int(i), k.description, k.autonumber});
  }
}

void FileHandle::Release() {
  decl_ = nullptr;
  reporter_ = nullptr;
  keys_.clear();
}

TableState& FileHandle::State() const {
  return WindowContexts::Instance().Current().Table(*decl_);
}

void RelationHandle::Init(FileHandle* file) {
  file_ = file;
  relations_.clear();
}

void RelationHandle::AddRelation(const RelationDecl* relation, RelationHandle* other,
                                 bool parent_side) {
  relations_.push_back({relation, other, parent_side});
}

void RelationHandle::Release() {
  relations_.clear();
  if (file_) file_->Release();
  file_ = nullptr;
}

const std::array<TableId, kTableCount>& SetupOrder() {
  static const std::array<TableId, kTableCount> order = {
      TableId::kKlient, TableId::kRabota, TableId::kKuzov, TableId::kAvto,
      TableId::kPerevoz, TableId::kFirma, TableId::kGorod};
  return order;
}

void Init(ErrorReporter* reporter, std::vector<std::string>* trail) {
  Handles& h = All();
  h.known.clear();
  for (TableId id : AllTables()) {
    h.known[Decl(id).label] = &h.relations[int(id)];
    Note(trail, "known " + Decl(id).label);
  }
  for (TableId id : SetupOrder()) {
    FileHandle& file = h.files[int(id)];
    file.Init(id, reporter);
    RelationHandle& relation = h.relations[int(id)];
    relation.Init(&file);
    Note(trail, "init " + Decl(id).label);
    for (const RelationDecl& r : Relations()) {
      if (r.parent == id) {
        relation.AddRelation(&r, h.known.at(Decl(r.child).label), true);
        Note(trail, "relate " + Decl(id).label + " child " + Decl(r.child).label);
      } else if (r.child == id) {
        relation.AddRelation(&r, h.known.at(Decl(r.parent).label), false);
        Note(trail, "relate " + Decl(id).label + " parent " + Decl(r.parent).label);
      }
    }
  }
  h.initialised = true;
}

void Release(std::vector<std::string>* trail) {
  Handles& h = All();
  for (TableId id : SetupOrder()) {
    h.relations[int(id)].Release();
    Note(trail, "release " + Decl(id).label);
  }
  h.known.clear();
  h.initialised = false;
}

bool Initialised() { return All().initialised; }

FileHandle& File(TableId table) { return All().files[int(table)]; }
RelationHandle& Relation(TableId table) { return All().relations[int(table)]; }

RelationHandle* FindRelation(std::string_view table_label) {
  auto id = FindTable(table_label);
  if (!id) return nullptr;
  auto& known = All().known;
  auto it = known.find(Decl(*id).label);
  return it == known.end() ? nullptr : it->second;
}

}  // namespace kel::dict
