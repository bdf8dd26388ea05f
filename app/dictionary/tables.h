// The data dictionary: the declarations of the seven tables, the relations
// between them and the field rule the dictionary enforces.
//
// Record layouts (the stored image is the fields in this order, no gaps;
// every table OEM, CREATE, RECLAIM, THREAD; disk name = label + ".KST"):
//   GOROD    54 bytes  GOR:NUM, NOM(50)
//   KLIENT  458 bytes  KLI:NUM, NUMGOR, NOM(50), ADRESU(200), ADRESP(200)
//   FIRMA   534 bytes  FIR:NUM, NOM(50), PHONE1..4(20), ADRESU(200), ADRESP(200)
//   PEREVOZ 497 bytes  PER:NUM, NUMFIRMA, NOM(50), MODELAVTO(50), MODELKUZOV(50),
//                      GRUZ(.2), NOMFIRMA(50), V(.2), VID1..3, FAVORIT (BYTE),
//                      SOST(7), MESTO(50), PASE(200), PHONE(20)
//   AVTO     54 bytes  AVT:NUM, NOM(50)
//   KUZOV    54 bytes  KUZ:NUM, NOM(50)
//   RABOTA  396 bytes  RAB:NUM ... NUM_PEREVOZ (see tables.cc)
// Numbers are DECIMAL of 4 bytes (7 digits; places 0 unless marked .2),
// strings STRING(n) in code page 1251 in memory. Each table's first key is
// NUM_KEY: PRIMARY, OPT, NOCASE, unique and autonumbered; every other key is
// DUP, OPT, NOCASE. Every key is ascending.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "storage/table_decl.h"

namespace kel::dict {

enum class TableId { kGorod, kKlient, kFirma, kPerevoz, kAvto, kKuzov, kRabota };
inline constexpr int kTableCount = 7;

// The declarations, built once; they live for the whole process.
const TableDecl& Decl(TableId id);
const std::array<TableId, kTableCount>& AllTables();
// By label ("GOROD"), case-insensitive; nullopt when unknown.
std::optional<TableId> FindTable(std::string_view label);

// What happens to a parent's children when the parent's link field changes
// or the parent is deleted.
enum class RelationRule { kNone, kCascade, kRestrict, kClear };

struct RelationDecl {
  TableId parent;
  TableId child;
  const char* parent_field;  // link field of the parent
  const char* child_field;   // link field of the child
  const char* child_key;     // key of the child limited to the link value
  RelationRule on_update;
  RelationRule on_delete;
};

// The two parent-child relations: GOROD-KLIENT and FIRMA-PEREVOZ.
const std::array<RelationDecl, 2>& Relations();

// A field check that failed: what "Value Error" names (UTF-8).
struct FieldRuleFailure {
  std::string field;    // %Field
  std::string message;  // %Message: the accepted values
};

// The rule on PER:SOST: the value, without its trailing spaces, must be one
// of "Ждет", "Готов", "В пути", "Возврат", "Ремонт" or blank. `value` is the
// field as it stands in the record buffer (code page 1251).
bool PerSostAccepted(std::string_view value);
// Runs the field checks of a table on a record image (only PEREVOZ has one).
std::optional<FieldRuleFailure> CheckFields(TableId table, const uint8_t* record);

}  // namespace kel::dict
