// RecordFile::Impl: the state of one open record-file handle, shared by the
// sources of the engine (record_file.cpp: the operations; record_file_space.cpp:
// record images, packing and the free lists). Not for other modules.
#pragma once
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/key_index.h"
#include "storage/paged_file.h"
#include "storage/record_file.h"
#include "storage/record_format.h"

namespace tvl {

// Record buffers carry a few spare bytes so that a numeric field declared
// narrower than its type can be read and written at its type's width.
constexpr int kRecordSlack = 16;

// In-memory width of a field type (FT_STRING and unknown types: 0).
int record_field_width(int type);

struct RecordFile::Impl {
  PagedFile file;
  uint8_t hdr[recfmt::kHeaderSize] = {};
  bool is_open = false, has_keys = false, header_changed = false;
  int record_length = 0;
  int field_count = 0;
  int types[recfmt::kMaxFields] = {};
  int sizes[recfmt::kMaxFields] = {};
  int offsets[recfmt::kMaxFields] = {};
  std::vector<uint8_t> cur, edit, scratch, packed, incoming;
  int current_key = -1;
  KeyPosition pos[recfmt::kMaxKeys];
  bool field_set[recfmt::kMaxFields] = {};
  bool updating = false;
  Reason error;  // why the last operation failed
  std::string text;
  LockedOpen open_status = LockedOpen::Missing;  // what the last open() found
  KeyIndex index{file, hdr, header_changed, error};
  std::vector<std::vector<uint8_t>> values;  // one key-value buffer per key

  bool packed_format() const {
    return recfmt::get_i16(hdr + recfmt::kRecordFormat) != recfmt::kFixedFormat;
  }
  int32_t count() const { return recfmt::get_i32(hdr + recfmt::kRecordCount); }
  bool in_records(int64_t pos, int64_t len) const {
    return pos >= recfmt::kHeaderSize && pos <= INT32_MAX && pos + len <= file.size();
  }

  void reset();
  // Packed image of an in-memory record into `packed`. False when a field's
  // type has no packed form or the image would not fit its 16-bit length.
  bool pack(const uint8_t* rec);
  bool unpack(const uint8_t* p, int len, uint8_t* rec);
  // Reads the record at pos into out (record length + slack bytes).
  bool read_record(int32_t at, uint8_t* out);
  // Makes the record at `at` current (and, with into_edit and outside an
  // update, the edit record).
  bool load_current(int32_t at, bool into_edit = true);
  // The first (or with `last` the last) record in the order of `key`
  // becomes current and is copied to out as move_first() does.
  bool move_to_end(int key, void* out, int len, bool last);
  void copy_out(void* out, int len) const;
  bool good_field(int f) const { return is_open && f >= 0 && f < field_count; }
  bool set_raw(const void* value, int f);
  // Space for a new record image of len bytes (fixed: record length; packed:
  // the packed length). -1 when a free list is damaged or the file is full.
  int32_t alloc_record(int len);
  // Puts a deleted record's space on the free-record list.
  bool free_record(int32_t at);
  // Appends the chain of blocks beginning at first to the chained-block free
  // list. A chain of more than 1000 blocks or one that leaves the file is
  // left alone and reported as a failure.
  bool free_chain(int32_t first);

  bool autoinc_value(int f, int32_t* value);
  bool insert(const void* data, int len);
  bool remove(std::vector<int32_t>* kept_chains);
};

}  // namespace tvl
