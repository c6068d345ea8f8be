#include "service/log_file.h"

#include "platform/message_box.h"

namespace tvl {

CLogFile::~CLogFile() { Close(); }

bool CLogFile::Open(const std::string& path) {
  MutexLock hold(lock_);
  if (stream_) {
    std::fclose(stream_);
    stream_ = nullptr;
  }
  path_ = path;
  stream_ = std::fopen(path.c_str(), "a");
  if (stream_) return true;
  // Shown on the console (standard error) of whoever started the program.
  message_box("Error in CLogFile::Open()", "Cannot create or open file: '" + path + "'",
              MessageIcon::Error);
  return false;
}

void CLogFile::Close() {
  MutexLock hold(lock_);
  if (stream_) std::fclose(stream_);
  stream_ = nullptr;
}

bool CLogFile::is_open() const {
  MutexLock hold(lock_);
  return stream_ != nullptr;
}

std::string CLogFile::path() const {
  MutexLock hold(lock_);
  return path_;
}

void CLogFile::write(const std::string& text) {
  MutexLock hold(lock_);
  if (!stream_) return;
  std::fwrite(text.data(), 1, text.size(), stream_);
  std::fflush(stream_);
}

void CLogFile::write_line_end() { write("\n"); }

void CLogFile::set_level(int level) {
  MutexLock hold(lock_);
  level_ = (level == 1 || level == 2) ? level : 3;
}

int CLogFile::level() const {
  MutexLock hold(lock_);
  return level_;
}

CLogFile& service_log() {
  static CLogFile instance;
  return instance;
}

}  // namespace tvl
