// RecordFile: handle of one open record file (rooms.sdb and files of the same
// format). A file holds one table: a 15472-byte header describing up to 128
// typed fields and up to 10 keys, then records, key-index nodes and
// bookkeeping blocks at absolute positions. Records are reached only through
// the keys. Every operation returns false on failure and keeps a text in
// last_error(); nothing throws.
//
// Ownership: one handle, one thread at a time; the handle owns its open file.
// Changes reach the disk only at close(), all of them at once: the file is
// replaced whole by its new state (PagedFile), so a kill, a crash or a full
// disk at any moment leaves either the state before open() or the state at
// close(), never a mix. From open() to close() the file is locked against
// every other handle, in this process or another: one writer at a time, and
// no change of another is lost. A second handle on the same file therefore
// waits (up to PagedFile::kLockWaitMs) until the first one is closed.
//
// The byte layouts are documented in record_format.h; new files are made
// with create_record_file() (record_file_create.h), which the system itself
// never calls (the tool that builds rooms.sdb and the tests do).
//
// Caching: file contents are read through a page cache; changed pages stay
// in memory until close().
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

#include "platform/locked_file.h"

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

  bool open(const std::string& path);  // locks the file; never creates
  // What the last open() found (a missing file, a folder, a lock held too
  // long by another handle, ...). kOpened with open() false: the file was
  // read, but its header describes no record file (an empty or overwritten
  // file).
  LockedOpen open_status() const;
  // Replaces the file with its changed state and closes. False when that
  // failed (a full disk, an I/O error): the file is exactly as it was at
  // open(), and last_error() says why. The handle is closed either way.
  [[nodiscard]] bool close();
  // Closes and drops every change made since open(): the file stays as it
  // was. For an operation that failed half-way.
  void abandon();
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
