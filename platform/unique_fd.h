// UniqueFd: the one owner of a file descriptor, closed when the owner goes.
// Move-only, so an object that keeps its descriptor in one is move-only (or,
// with a destructor of its own, fixed in place) without saying so.
// Thread safety: one object is used by one thread at a time.
#pragma once

namespace tvl {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor held (if any) and holds `fd` instead.
  void reset(int fd = -1);
  // Gives the descriptor up without closing it; the object holds none then.
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace tvl
