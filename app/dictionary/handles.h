// The file handle and the relation handle of each table, and the
// dictionary's initialisation and release.
//
// A file handle binds a table declaration to what the windows use: the
// shared error reporter, the table's name for messages, the record buffer
// (per window context, as every table is THREAD), create-if-missing, and the
// keys registered with their descriptions (autonumbering on the NUM key
// only). A relation handle sits over a file handle and adds the table's
// relations, each naming the handle on the other side.
//
// Initialisation makes the relation handles known under their table names
// first (so relations can name handles not yet set up), then sets up KLIENT,
// RABOTA, KUZOV, AVTO, PEREVOZ, FIRMA, GOROD in this order; release goes
// through the same order, each relation handle releasing its file handle.
// Neither opens, creates or even looks at a table file: tables are opened by
// the windows that use them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/dictionary/tables.h"
#include "framework/core/window_context.h"

namespace kel {
class ErrorReporter;
}

namespace kel::dict {

struct KeyRegistration {
  int key = 0;              // index in the declaration's key list
  std::string description;  // e.g. "GOR:num_key"
  bool autonumber = false;
};

class FileHandle {
 public:
  void Init(TableId table, ErrorReporter* reporter);
  void Release();
  bool initialised() const { return decl_ != nullptr; }

  TableId table() const { return table_; }
  const TableDecl& decl() const { return *decl_; }
  ErrorReporter* reporter() const { return reporter_; }
  const std::string& name() const { return name_; }  // for messages: "gorod"
  uint32_t record_size() const { return record_size_; }
  bool create() const { return create_; }
  const std::vector<KeyRegistration>& keys() const { return keys_; }

  // The table's state (record buffer, open count) in the current context.
  TableState& State() const;
  uint8_t* Buffer() const { return State().record.data(); }

 private:
  TableId table_ = TableId::kGorod;
  const TableDecl* decl_ = nullptr;
  ErrorReporter* reporter_ = nullptr;
  std::string name_;
  uint32_t record_size_ = 0;
  bool create_ = false;
  std::vector<KeyRegistration> keys_;
};

class RelationHandle;

struct RelationLink {
  const RelationDecl* relation;
  RelationHandle* other;  // the handle on the other side
  bool parent_side;       // this handle is the parent; the rules apply here
};

class RelationHandle {
 public:
  void Init(FileHandle* file);
  void AddRelation(const RelationDecl* relation, RelationHandle* other, bool parent_side);
  void Release();  // releases the file handle too
  bool initialised() const { return file_ != nullptr; }

  FileHandle& file() const { return *file_; }
  const std::vector<RelationLink>& relations() const { return relations_; }

 private:
  FileHandle* file_ = nullptr;
  std::vector<RelationLink> relations_;
};

// The handles of every table. `trail`, when given, receives one line per
// step ("known GOROD", "init KLIENT", "relate GOROD child KLIENT",
// "release KLIENT", ...), so the order can be checked.
void Init(ErrorReporter* reporter, std::vector<std::string>* trail = nullptr);
void Release(std::vector<std::string>* trail = nullptr);
bool Initialised();

FileHandle& File(TableId table);
RelationHandle& Relation(TableId table);
// A relation handle by table name, known from the start of Init; null when
// the name is unknown or the dictionary is not initialised.
RelationHandle* FindRelation(std::string_view table_label);

// The order in which the handles are set up and released.
const std::array<TableId, kTableCount>& SetupOrder();

}  // namespace kel::dict
