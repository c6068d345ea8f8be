// AppendFile: a file that rows are appended to whole (the day's chat log).
// Each row goes out in one write; a write that fails or comes out short (a
// full disk) is taken back by cutting the file to its length before, so no
// half row is left for the next one to be glued onto.
// New files are created with the mode given (private files: 0600).
// Thread safety: one object is used by one thread at a time (its owner
// serialises writers).
#pragma once
#include <string>

#include "platform/unique_fd.h"

namespace tvl {

class AppendFile {
 public:
  // Opens (creating with `mode` when missing) for appending; an open file is
  // closed first. False when it cannot be opened; the object is closed then.
  [[nodiscard]] bool open(const std::string& path, int mode);
  void close();
  bool is_open() const { return fd_.valid(); }

  // Appends `row` whole. False when it could not be written whole: the file
  // then ends where it ended before (when even that cannot be restored, the
  // next row starts on a line of its own).
  [[nodiscard]] bool append(const std::string& row);

 private:
  UniqueFd fd_;
  bool torn_ = false;  // a cut-short row could not be taken back
};

}  // namespace tvl
