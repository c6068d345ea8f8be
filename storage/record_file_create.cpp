#include "storage/record_file_create.h"

#include <cstring>

#include "storage/record_file.h"
#include "storage/record_file_impl.h"
#include "storage/record_format.h"
#include "platform/fs.h"

namespace tvl {

using namespace recfmt;

namespace {
int field_size(const RecordFieldSpec& f) {
  return f.type == FT_STRING ? f.size : record_field_width(f.type);
}

int segment_length(const RecordSchema& s, const RecordSegmentSpec& g) {
  const RecordFieldSpec& f = s.fields[std::size_t(g.field)];
  if (f.type != FT_STRING) return record_field_width(f.type);
  return g.length > 0 ? g.length : f.size - g.start;
}

}  // namespace

bool check_record_schema(const RecordSchema& s, Reason& why) {
  if (s.fields.empty() || s.fields.size() > std::size_t(kMaxFields))
    return why.fail("a record file needs 1 to 128 fields");
  long total = 0;
  for (const RecordFieldSpec& f : s.fields) {
    if (f.name.empty() || f.name.size() >= std::size_t(kFieldNameSize))
      return why.fail("field name \"" + f.name + "\" must have 1 to 31 characters");
    if (f.type < FT_SHORT || f.type > FT_AUTOINC)
      return why.fail("field \"" + f.name + "\" has an unknown type");
    if (f.type == FT_STRING && (f.size < 1 || f.size > 32767))
      return why.fail("string field \"" + f.name + "\" needs a size of 1 to 32767");
    if (f.type != FT_STRING && f.size != 0 && f.size != record_field_width(f.type))
      return why.fail("field \"" + f.name + "\" must have its type's width");
    total += field_size(f);
  }
  if (total > 65535 - 2 * long(s.fields.size()) && s.packed)
    return why.fail("records too long for the packed format");
  if (s.keys.size() > std::size_t(kMaxKeys)) return why.fail("at most 10 keys");
  for (std::size_t k = 0; k < s.keys.size(); ++k) {
    const RecordKeySpec& key = s.keys[k];
    std::string which = "key " + std::to_string(k);
    if (key.duplicate_mode != kDuplicatesAllowed && key.duplicate_mode != kUnique)
      return why.fail(which + ": duplicate mode must be 1 or 2");
    if (key.segments.empty() || key.segments.size() > std::size_t(kMaxSegments) ||
        (!key.composite && key.segments.size() != 1))
      return why.fail(which + ": a single-field key has one segment, a composite 1 to 128");
    int sum = 0;
    for (const RecordSegmentSpec& g : key.segments) {
      if (g.field < 0 || std::size_t(g.field) >= s.fields.size())
        return why.fail(which + ": no such field");
      const RecordFieldSpec& f = s.fields[std::size_t(g.field)];
      if (f.type == FT_CHAIN) return why.fail(which + ": chain fields cannot be keyed");
      if (f.type == FT_STRING) {
        if (g.start < 0 || g.start >= f.size || g.length < 0 || g.start + g.length > f.size)
          return why.fail(which + ": segment outside field \"" + f.name + "\"");
        if (g.mode != kCaseSensitive && g.mode != kCaseInsensitive)
          return why.fail(which + ": comparison mode must be 1 or 2");
      }
      sum += segment_length(s, g);
    }
    if (key.composite && sum > 128) return why.fail(which + ": longer than 128 bytes");
  }
  return true;
}

bool create_record_file(const std::string& path, const RecordSchema& s, Reason& why) {
  if (!check_record_schema(s, why)) return false;
  uint8_t h[kHeaderSize] = {};
  int32_t total = 0;
  for (std::size_t i = 0; i < s.fields.size(); ++i) {
    const RecordFieldSpec& f = s.fields[i];
    std::memcpy(h + kFieldNames + kFieldNameSize * i, f.name.data(), f.name.size());
    put_i16(h + kFieldTypes + 2 * i, f.type);
    put_i16(h + kFieldSizes + 2 * i, field_size(f));
    total += field_size(f);
  }
  put_i32(h + kRecordLength, total);
  put_i32(h + kRecordCount, 0);
  put_i16(h + kFieldCount, int32_t(s.fields.size()));
  for (std::size_t k = 0; k < s.keys.size(); ++k) {
    const RecordKeySpec& key = s.keys[k];
    put_i16(h + kDuplicateMode + 2 * k, key.duplicate_mode);
    for (std::size_t j = 0; j < key.segments.size(); ++j) {
      const RecordSegmentSpec& g = key.segments[j];
      bool text = s.fields[std::size_t(g.field)].type == FT_STRING;
      put_i16(h + segment_at(kSegmentField, int(k), int(j)), g.field);
      put_i16(h + segment_at(kSegmentMode, int(k), int(j)), text ? g.mode : 0);
      put_i16(h + segment_at(kSegmentStart, int(k), int(j)), text ? g.start : 0);
      put_i16(h + segment_at(kSegmentLength, int(k), int(j)), segment_length(s, g));
    }
    put_i16(h + kSegmentCount + 2 * k, key.composite ? int32_t(key.segments.size()) : -1);
  }
  put_i16(h + kKeyCount, int32_t(s.keys.size()));
  for (int k = 0; k < kMaxKeys; ++k) {
    put_i32(h + kRoot + 4 * k, -1);
    put_i32(h + kFirstLeaf + 4 * k, -1);
    put_i32(h + kLastLeaf + 4 * k, -1);
  }
  put_i32(h + kFreeRecords, -1);
  put_i32(h + kFreeDuplicates, -1);
  put_i16(h + kRecordFormat, s.packed ? 0 : kFixedFormat);
  put_i32(h + kFreeChains, -1);

  const std::string header(reinterpret_cast<const char*>(h), sizeof h);
  return write_whole_file(path, header, why);
}

}  // namespace tvl
