// Files of the web-pages folder, read whole for an answer, with a small cache
// of their contents.
//
// A file is opened read-only (a read-only file is served); anything but a
// regular file (a folder, a pipe, a device) counts as missing. The cache
// keeps the bytes of small files keyed by their full name and checks, on
// every use, that the file is still the same: device, inode, size,
// modification and change times. Only files whose times are at least two
// seconds old are cached, so a file changed within the clock's granularity
// is never mistaken for the cached one: a changed file is always served
// fresh.
// Thread safety: every member may be called from any thread at any time; the
// cache is guarded by its own reader/writer lock.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include <sys/stat.h>

#include "platform/lock_annotations.h"
#include "server/answer_stream.h"

namespace tvl {

// True when a requested path must never reach the file system: it holds a
// NUL byte or one of its "/"-separated segments is "..".
bool unsafe_path(std::string_view path);

// True when the path names a file the program keeps for itself (with an
// empty WebPages setting the web folder is the program folder): its last
// segment, ignoring letter case, is one of option.ini, rooms.sdb, rooms.txt,
// service.log, acceptip.txt, rejectip.txt, events.log, registry.txt, the
// programs tvlService, Tavella and sdbtool, or ends in .ini, .sdb, .log, .db,
// .pid, .lock or .status (state files, should the state folder be the
// program folder), or holds ".tmp-" (a settings or account file being
// replaced).
bool private_file(std::string_view path);

// An open file of the folder sent as the body of an answer: all of it, or
// the part restrict() leaves. Owns its descriptor. A plain connection sends
// it straight from the file.
class FileStream final : public AnswerStream {
 public:
  FileStream(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~FileStream() override;
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;
  // From now on the body is `length` bytes from `offset` of the file
  // (within what it was before).
  void restrict(std::uint64_t offset, std::uint64_t length);
  std::uint64_t size() const override { return size_; }
  long read_at(std::uint64_t offset, char* buffer, std::size_t size) override;
  int file() const override { return fd_; }
  std::uint64_t file_offset() const override { return base_; }

 private:
  int fd_;
  std::uint64_t base_ = 0;
  std::uint64_t size_;
};

class WebFiles {
 public:
  static constexpr std::size_t kMaxCachedFile = 1 << 20;
  static constexpr std::size_t kMaxCachedTotal = 32u << 20;
  static constexpr std::size_t kMaxCachedFiles = 4096;

  // The whole content of a file. False when it cannot be opened or is not a
  // regular file. A file that cannot be read completely yields the bytes
  // that were read.
  bool read(const std::string& name, std::shared_ptr<const std::string>& content);

  // Same, appending the content to `out` after calling `before_body(size)`
  // with the number of bytes that will follow (the caller writes its header
  // there). Reads straight into `out` when the file is not cached.
  template <typename BeforeBody>
  bool append(const std::string& name, std::string& out, BeforeBody&& before_body);

  // A file for an answer: the cached bytes or the bytes read now, or, for
  // a file of at least stream_from bytes that is not cached, the open file
  // as a stream of its bytes (restricted to the part an answer sends with
  // FileStream::restrict), which is never read whole. False when the file
  // is missing (as for read()).
  bool fetch(const std::string& name, std::size_t stream_from,
             std::shared_ptr<const std::string>& bytes, std::unique_ptr<FileStream>& stream);

  void clear() EXCLUDES(lock_);

  // From now on serves only files whose real location (every link
  // followed) lies inside `root`: a link in the folder, or a linked folder,
  // that leads out of it makes the file count as missing. When the root
  // cannot be resolved nothing is served. A file whose real location is one
  // of the program's own (private_file) or lies in the root's "users/"
  // (the accounts) counts as missing too. Without a call every file is
  // served (tests of the cache alone). Not to be called while requests run.
  void restrict_to(const std::string& root);

 private:
  int open_inside(const std::string& name, struct stat& st) const;
  std::string real_root_;  // resolved root followed by "/"; empty: no limit
  bool restricted_ = false;

  struct Entry {
    dev_t dev;
    ino_t ino;
    off_t size;
    timespec mtime;
    timespec ctime;
    std::shared_ptr<const std::string> bytes;
  };

  using BodyHook = void (*)(void* context, std::size_t size);
  bool append_impl(const std::string& name, std::string& out, void* context, BodyHook hook);
  std::shared_ptr<const std::string> lookup(const std::string& name) EXCLUDES(lock_);
  void remember(const std::string& name, const struct stat& st, std::string_view bytes)
      EXCLUDES(lock_);

  SharedMutex lock_;
  std::unordered_map<std::string, Entry> entries_ GUARDED_BY(lock_);
  std::size_t total_ GUARDED_BY(lock_) = 0;
};

template <typename BeforeBody>
bool WebFiles::append(const std::string& name, std::string& out, BeforeBody&& before_body) {
  using Fn = std::remove_reference_t<BeforeBody>;
  void* context = const_cast<void*>(static_cast<const void*>(&before_body));
  return append_impl(name, out, context, [](void* fn, std::size_t size) {
    (*static_cast<Fn*>(fn))(size);
  });
}

}  // namespace tvl
