// Byte sinks: where the file writers put their output. Every writer appends
// its file front to back and never seeks, so a sink only has to append and
// close. Two sinks exist: an open file and a growable in-memory buffer.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "halcyra/status.h"

namespace halcyra {

class Sink {
 public:
  Sink() = default;
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  virtual ~Sink() = default;

  virtual Status Append(std::string_view data) = 0;
  // Ends the output: a file is flushed and closed, a buffer keeps its bytes.
  // Nothing may be appended afterwards. Calling Close again does nothing.
  virtual Status Close() = 0;
};

// A file created (or truncated) for writing. Appends are buffered; the
// buffer is written out when full and on Close, which also flushes the file
// and then its directory entry to stable storage, so that a build reported
// done is on disk, and a write error the kernel reports late (a full disk
// under delayed allocation, EIO) is seen. The destructor closes a file that
// is still open and drops any error.
class FileSink final : public Sink {
 public:
  // Opens path write-only, creating it with permission bits 0666 (before the
  // umask) or truncating it. Failure is the operating system's error, or
  // Error::InvalidArgument "embedded null byte" for a path holding a NUL.
  static Result<std::unique_ptr<FileSink>> Create(const std::string& path);

  ~FileSink() override;

  Status Append(std::string_view data) override;
  Status Close() override;

 private:
  FileSink(int fd, std::string directory);
  // Writes the whole buffer to the file and empties it.
  Status Flush();
  Status WriteAll(const char* data, size_t n);

  int fd_;          // -1 once closed
  std::string directory_;  // holding the file's entry
  std::string buffer_;
};

// Collects the output in memory.
class BufferSink final : public Sink {
 public:
  Status Append(std::string_view data) override {
    bytes_.append(data);
    return Status::Ok();
  }
  Status Close() override { return Status::Ok(); }

  // Room for n bytes in all, for writers that know their output's size.
  void Reserve(size_t n) { bytes_.reserve(n); }

  const std::string& bytes() const { return bytes_; }
  std::string Release() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

// Creates path and every missing parent directory, with permission bits 0777
// before the umask, each made durable in its parent. An existing directory is
// fine; the empty path is a no-op; a path holding a NUL fails with
// Error::InvalidArgument "embedded null byte" before anything is created.
Status CreateDirectories(std::string_view path);

// Flushes the entries of directory dir ("" for the current one) to stable
// storage.
Status SyncDirectory(std::string_view dir);

// dir + "/" + name; no separator is added when dir is empty or already ends
// in one.
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace halcyra
