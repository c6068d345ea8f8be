// CLogFile: the service log, a plain text file lines are appended to. One
// process-wide instance (service_log()). Every write is flushed at once, so
// the file is complete up to the last line when the process dies.
// A failed open shows "Cannot create or open file: '<path>'" under the
// caption "Error in CLogFile::Open()" and leaves the object without a file;
// writing without a file does nothing.
// Thread safety: every member takes the object's own lock, so writes from
// different threads never interleave within one call.
#pragma once
#include <cstdio>
#include <string>

#include "platform/lock_annotations.h"

namespace tvl {

class CLogFile {
 public:
  CLogFile() = default;
  ~CLogFile();
  CLogFile(const CLogFile&) = delete;
  CLogFile& operator=(const CLogFile&) = delete;

  // Closes a file already open, then opens `path` for appending (existing
  // lines are kept). False when it cannot be opened.
  bool Open(const std::string& path);
  void Close();
  bool is_open() const;
  std::string path() const;

  // Writes the bytes of `text` and flushes. A failure only marks the stream.
  void write(const std::string& text);
  // The line end: one byte 10.
  void write_line_end();

  // The level of the line being written (1, 2 or 3; anything else is
  // stored as 3). It does not change what is written.
  void set_level(int level);
  int level() const;

 private:
  mutable Mutex lock_;
  std::FILE* stream_ GUARDED_BY(lock_) = nullptr;
  std::string path_ GUARDED_BY(lock_);
  int level_ GUARDED_BY(lock_) = 3;
};

// The service log of this process.
CLogFile& service_log();

}  // namespace tvl
