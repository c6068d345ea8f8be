// RecordFile: handle of one open record file (rooms.sdb and files of the same
// format). A file holds one table: a 15472-byte header describing up to 128
// typed fields and up to 10 keys, then records, key-index nodes and
// bookkeeping blocks at absolute positions. Records are reached only through
// the keys. Every operation returns false on failure and keeps a text in
// last_error(); nothing throws.
//
// Ownership: one handle, one thread at a time; the handle owns its open file.
// The header is written back only by close(), so on-disk counts, free lists
// and roots are current only after close().
//
// The byte layouts are documented in record_format.h; new files are made
// with create_record_file() (record_file_create.h), which the system itself
// never calls (the tool that builds rooms.sdb and the tests do).
//
// Caching: file contents are read through a page cache and changed bytes
// are written back at close() (together with the header), so another handle
// sees this handle's changes only after close().
//
// Damaged files: every walk over nodes, leaves and duplicate chains is
// bounded by what the file's size allows; counts outside 1..200, positions
// before the records area or past the end, nodes whose own-position field
// disagrees and loops make the operation fail (without a text) instead of
// crashing or running for ever. An insert that meets damage fails before it
// writes anything wherever the damage can be seen in advance.
//
// update_record: when the new values clash with a unique key, the old record
// is put back as it was, identifiers and FT_CHAIN references included, and
// chains are freed only after an update succeeded. insert_record(data) reads
// the caller's image and leaves it unchanged (the assigned FT_AUTOINC value
// is learnt through last_id()).
#pragma once
#include <cstdint>
#include <string>

namespace tvl {

enum FieldType : int16_t {
  FT_SHORT = 1,
  FT_INT = 2,
  FT_FLOAT = 3,
  FT_DOUBLE = 4,
  FT_STRING = 5,
  FT_BYTE = 6,
  FT_CHAIN = 7,
  FT_AUTOINC = 8,
};

class RecordFile {
 public:
  RecordFile();
  ~RecordFile();  // closes
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  bool open(const std::string& path);  // read/write; never creates
  // Writes back what is still buffered and the header, and closes.
  // False when any of that failed (a full disk): the changes since open()
  // may not all have reached the file. The handle is closed either way.
  [[nodiscard]] bool close();
  int record_count() const;  // -1 when closed

  // out/len: when out is given, len bytes of the record (record length when
  // len is 0) are copied to it.
  bool move_first(int key, void* out = nullptr, int len = 0);
  bool move_last(int key, void* out = nullptr, int len = 0);
  bool move_next(int key, void* out = nullptr, int len = 0);
  bool seek_key(int key, const void* value, void* out = nullptr, int len = 0);
  bool read_current(void* out = nullptr, int len = 0);

  int field_index(const std::string& name) const;
  bool get_field(void* out, int field);
  bool get_field(void* out, const std::string& name);
  std::string get_field_text(int field);
  std::string get_field_text(const std::string& name);
  bool set_field(const void* value, int field);
  bool set_field(const void* value, const std::string& name);
  bool set_field_text(const std::string& text, const std::string& name);

  bool insert_record(const void* data = nullptr, int len = 0);
  bool update_record(const void* data = nullptr, int len = 0);
  bool delete_record();
  int last_id();
  const std::string& last_error() const;

  // Field description, for readers that copy fields by width.
  int field_count() const;
  int field_type(int field) const;
  int field_size(int field) const;

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace tvl
