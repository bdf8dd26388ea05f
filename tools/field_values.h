// Field values as text: the columns of a table and the conversion of each
// field's stored bytes (in a record image, code page 1251) to text and back.
//
// Text forms, per field type:
//   BYTE, SHORT, USHORT, LONG, ULONG  a whole number within the type's range
//   DECIMAL                           [-]digits[.places], at most the field's
//                                     places after the point and its digits
//                                     (2 * size - 1) in all; written with
//                                     exactly its places
//   DATE                              yyyy-mm-dd (a real calendar date), or
//                                     empty for "no date" (stored 0)
//   TIME                              hh:mm[:ss[.cc]], or empty for 0
//   SREAL, REAL                       a number; written so it reads back
//                                     exactly
//   STRING                            the text without its trailing spaces;
//                                     longer text than the field is refused
//   CSTRING, PSTRING                  the text; it must leave room for the
//                                     terminator or fit the length byte
// Text is UTF-8 outside; characters without a code page 1251 form are
// refused. A GROUP and overlay fields are not columns (their bytes are
// those of other fields); an array field gives one column per element,
// named "NAME[i]".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "storage/table_desc.h"

namespace kel::tool {

struct Column {
  std::string name;        // field name, with [i] for an array element
  const FieldDesc* field;  // the field
  uint32_t offset;         // of this element in the record
  uint32_t size;           // element size
};

std::vector<Column> ColumnsOf(const TableDesc& desc);

// Text of a column's value in a record image.
std::string FormatValue(const Column& c, const uint8_t* image);
// True when the value is written as a JSON number (not a string).
bool IsNumeric(const Column& c);
// Parses text into the column's bytes of the image; false with *error
// ("'abc' is not a number", "13 characters, the field holds 10").
bool ParseValue(const Column& c, std::string_view text, uint8_t* image, std::string* error);

// Readable type of a field: "DECIMAL(7,2)", "STRING(50)", "DATE".
std::string TypeName(const FieldDesc& f);

}  // namespace kel::tool
