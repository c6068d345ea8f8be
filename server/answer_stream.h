// A body that an answer sends from its source in pieces instead of holding
// it whole: a large file is read a chunk at a time while the peer takes it,
// so a connection holds one chunk whatever the size of the file.
// Thread safety: used by one client thread at a time.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tvl {

class AnswerStream {
 public:
  virtual ~AnswerStream() = default;
  // Bytes the answer's header announced for this body.
  virtual std::uint64_t size() const = 0;
  // Reads up to `size` bytes from `offset` of the body: the count read, 0 or
  // -1 when nothing more can be read (the source shrank or failed).
  virtual long read_at(std::uint64_t offset, char* buffer, std::size_t size) = 0;
  // An open file that holds the body from file_offset() on, for a
  // connection that can send straight from it; -1: none (read_at only).
  virtual int file() const { return -1; }
  virtual std::uint64_t file_offset() const { return 0; }
};

}  // namespace tvl
