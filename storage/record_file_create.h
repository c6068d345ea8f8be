// Creating record files. The chat system itself never creates one; the
// record-file tool (tools/sdbtool) and the tests do. The file gets a fresh
// 15472-byte header (layout in record_format.h): the fields and keys given,
// no records, empty roots and free lists (-1), every uninterpreted area zero.
#pragma once
#include <string>
#include <vector>

#include "platform/reason.h"

namespace tvl {

struct RecordFieldSpec {
  std::string name;  // at most 31 characters
  int type = 0;      // FT_SHORT .. FT_AUTOINC
  int size = 0;      // FT_STRING: 1..32767 bytes; other types: their width (0 = that width)
};

struct RecordSegmentSpec {
  int field = 0;
  int mode = 1;    // string comparison: 1 case-sensitive, 2 case-insensitive
  int start = 0;   // string fields: first byte taken
  int length = 0;  // string fields: bytes taken (0 = to the end of the field);
                   // numeric fields: always the type's width
};

struct RecordKeySpec {
  int duplicate_mode = 2;  // 1 duplicates allowed, 2 unique
  bool composite = false;  // false: exactly one segment, stored as a single-field key
  std::vector<RecordSegmentSpec> segments;
};

struct RecordSchema {
  std::vector<RecordFieldSpec> fields;
  std::vector<RecordKeySpec> keys;
  bool packed = false;  // packed records instead of fixed-length ones
};

// Checks the schema. False when it is not usable; `why` says what is wrong.
[[nodiscard]] bool check_record_schema(const RecordSchema& schema, Reason& why);

// Creates (or truncates) the file at path. False when the schema is not
// usable or the file cannot be written; `why` says which.
[[nodiscard]] bool create_record_file(const std::string& path, const RecordSchema& schema, Reason& why);

}  // namespace tvl
