#include "base/sink.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>

namespace halcyra {
namespace {

// Appends smaller than this are gathered before reaching the file; larger ones
// go straight through once the buffer is written.
constexpr size_t kBufferSize = 1 << 18;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The parent of path, or "" when path has a single component.
std::string_view Parent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  path = path.substr(0, slash);
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path.empty() ? std::string_view("/") : path;
}

Status CheckPath(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) return Error::InvalidArgument("embedded null byte");
  return Status::Ok();
}

// EINVAL says that what fd names cannot be synchronized (a character
// device such as /dev/stdout, a pipe, a file system without the call):
// there is nothing to make durable, so that is no failure.
Status Fsync(int fd) {
  while (::fsync(fd) != 0) {
    if (errno == EINVAL) return Status::Ok();
    if (errno != EINTR) return Error::Os(errno);
  }
  return Status::Ok();
}

}  // namespace

Result<std::unique_ptr<FileSink>> FileSink::Create(const std::string& path) {
  HALCYRA_RETURN_IF_ERROR(CheckPath(path));
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::Os(errno);
  return std::unique_ptr<FileSink>(new FileSink(fd, std::string(Parent(path))));
}

FileSink::FileSink(int fd, std::string directory) : fd_(fd), directory_(std::move(directory)) {
  buffer_.reserve(kBufferSize);
}

FileSink::~FileSink() {
  if (fd_ >= 0) (void)Close();
}

Status FileSink::Append(std::string_view data) {
  assert(fd_ >= 0);
  if (buffer_.size() + data.size() <= kBufferSize) {
    buffer_.append(data);
    return Status::Ok();
  }
  HALCYRA_RETURN_IF_ERROR(Flush());
  if (data.size() >= kBufferSize) return WriteAll(data.data(), data.size());
  buffer_.append(data);
  return Status::Ok();
}

Status FileSink::Close() {
  if (fd_ < 0) return Status::Ok();
  Status flushed = Flush();
  if (flushed.ok()) flushed = Fsync(fd_);
  const int fd = fd_;
  fd_ = -1;
  // Linux releases the descriptor even when close fails, EINTR included, so
  // close is never retried.
  if (::close(fd) != 0 && errno != EINTR && flushed.ok()) return Error::Os(errno);
  HALCYRA_RETURN_IF_ERROR(flushed);
  return SyncDirectory(directory_);
}

Status FileSink::Flush() {
  // The buffer is emptied even on failure: what could not be written is lost,
  // and a later Close must not write it a second time.
  Status s = WriteAll(buffer_.data(), buffer_.size());
  buffer_.clear();
  return s;
}

Status FileSink::WriteAll(const char* data, size_t n) {
  while (n > 0) {
    const ssize_t written = ::write(fd_, data, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return Error::Os(errno);
    }
    // A write that makes no progress has no errno to report.
    if (written == 0) return Error::Limit("failed to write whole buffer");
    data += written;
    n -= static_cast<size_t>(written);
  }
  return Status::Ok();
}

Status SyncDirectory(std::string_view dir) {
  const std::string d = dir.empty() ? std::string(".") : std::string(dir);
  int fd;
  do {
    fd = ::open(d.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::Os(errno);
  Status synced = Fsync(fd);
  ::close(fd);
  return synced;
}

Status CreateDirectories(std::string_view path) {
  if (path.empty()) return Status::Ok();
  HALCYRA_RETURN_IF_ERROR(CheckPath(path));
  const std::string p(path);
  const std::string_view parent = Parent(path);
  if (::mkdir(p.c_str(), 0777) == 0) return SyncDirectory(parent);
  int err = errno;
  if (err == ENOENT) {
    // Create the missing parents, then try again.
    if (!parent.empty() && parent != path) HALCYRA_RETURN_IF_ERROR(CreateDirectories(parent));
    if (::mkdir(p.c_str(), 0777) == 0) return SyncDirectory(parent);
    err = errno;
  }
  // EEXIST, or a race with another creator: a directory there is success.
  if (IsDirectory(p)) return Status::Ok();
  return Error::Os(err);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  std::string path(dir);
  if (!path.empty() && path.back() != '/') path += '/';
  path.append(name);
  return path;
}

}  // namespace halcyra
