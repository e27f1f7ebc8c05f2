#include "file_replace.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "interrupt.h"
#include "os_error.h"

namespace recall_mesh::persist {
namespace {

// Symbolic links followed before giving up, as the kernel does for a path.
constexpr int kMaxLinks = 40;

// The directory that holds `path`.
std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether the system keeps links in sticky, world-writable directories from being followed
// by anyone but their owner or the directory's; when the setting cannot be read, it does.
bool links_protected() {
  const int fd = ::open("/proc/sys/fs/protected_symlinks", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char c = '1';
  const ssize_t n = ::read(fd, &c, 1);
  ::close(fd);
  return n != 1 || c != '0';
}

// 0 when the link at `path` may be followed, or EACCES where the kernel would refuse to
// follow it: in a sticky, world-writable directory such as /tmp, a link planted by another
// user (neither the caller nor the directory's owner) is not followed.
int may_follow(const std::string& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0) return errno;
  if (link.st_uid == ::geteuid()) return 0;
  struct stat parent {};
  if (::stat(parent_of(path).c_str(), &parent) != 0) return errno;
  if ((parent.st_mode & (S_ISVTX | S_IWOTH)) != (S_ISVTX | S_IWOTH)) return 0;
  if (parent.st_uid == link.st_uid || !links_protected()) return 0;
  return EACCES;
}

// Follows `path` through symbolic links to the name that is really replaced. A missing
// name is kept as it is: it will be created. Returns 0 or an errno.
int resolve_links(std::string& path) {
  for (int hops = 0; hops < kMaxLinks; ++hops) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0) return errno == EINVAL || errno == ENOENT ? 0 : errno;
    if (static_cast<std::size_t>(n) == sizeof buf) return ENAMETOOLONG;
    if (const int err = may_follow(path)) return err;
    const std::string link(buf, static_cast<std::size_t>(n));
    if (link.empty()) return ENOENT;
    if (link[0] == '/') {
      path = link;
    } else {
      const std::size_t slash = path.rfind('/');
      path = slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
  }
  return ELOOP;
}

std::uint64_t random_suffix() {
  std::uint64_t r = 0;
  if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    static std::uint64_t counter = 0;
    r = (static_cast<std::uint64_t>(::getpid()) << 32) ^ ++counter ^
        reinterpret_cast<std::uintptr_t>(&r);
  }
  return r;
}

// Gives the file open at `fd` the owner and group of `target`; false when the system
// does not let it have both. Whoever may not give a file away may still pick one of her
// groups, so the group is tried on its own.
bool copy_owner(int fd, const struct stat& target) {
  struct stat now {};
  if (::fstat(fd, &now) != 0) return false;
  if (now.st_uid == target.st_uid && now.st_gid == target.st_gid) return true;
  if (::fchown(fd, target.st_uid, target.st_gid) != 0 &&
      ::fchown(fd, static_cast<uid_t>(-1), target.st_gid) != 0) {
    return false;
  }
  return ::fstat(fd, &now) == 0 && now.st_uid == target.st_uid && now.st_gid == target.st_gid;
}

constexpr const char* kAccessAcl = "system.posix_acl_access";

// The bytes that `call(buffer, size)` gives, for the getxattr family: called with size 0
// it tells the size, and a size grown meanwhile fails with ERANGE and is asked again.
// nullopt, with errno set, when the call fails.
template <class Call>
std::optional<std::vector<char>> read_sized(Call call) {
  for (;;) {
    const ssize_t size = call(nullptr, 0);
    if (size <= 0) {
      return size == 0 ? std::optional<std::vector<char>>(std::in_place) : std::nullopt;
    }
    std::vector<char> value(static_cast<std::size_t>(size));
    const ssize_t got = call(value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<std::size_t>(got));
      return value;
    }
    if (errno != ERANGE) return std::nullopt;
  }
}

// Copies the extended attributes of `path` to the file open at `fd`. Attributes the caller
// may not set are left behind, except the access list: false when the new file cannot
// grant exactly the access the target's list grants (or, without one, has one of its own,
// inherited from its directory).
bool copy_attributes(const std::string& path, int fd) {
  const std::optional<std::vector<char>> names = read_sized(
      [&](char* list, std::size_t size) { return ::listxattr(path.c_str(), list, size); });
  // A file system without attributes gives neither file any.
  if (!names) return errno == ENOTSUP;
  bool has_acl = false;
  for (std::size_t at = 0; at < names->size();) {
    const char* name = names->data() + at;
    const std::size_t length = ::strnlen(name, names->size() - at);
    at += length + 1;
    const bool is_acl = std::strcmp(name, kAccessAcl) == 0;
    has_acl = has_acl || is_acl;
    const std::optional<std::vector<char>> value = read_sized(
        [&](char* buf, std::size_t size) { return ::getxattr(path.c_str(), name, buf, size); });
    const bool copied = value && ::fsetxattr(fd, name, value->data(), value->size(), 0) == 0;
    if (is_acl && !copied) return false;
  }
  if (!has_acl && ::fremovexattr(fd, kAccessAcl) != 0 && errno != ENODATA && errno != ENOTSUP) {
    return false;
  }
  return true;
}

}  // namespace

bool FdSink::write(const char* data, std::size_t size) {
  while (size != 0) {
    const ssize_t n = write_file(fd_, data, size);
    if (n <= 0) {
      error_ = n < 0 ? errno : EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
    written_ += static_cast<std::size_t>(n);
  }
  if (written_ - flushed_ >= kWritebackStep) {
    // Start writing the finished range to disk now, without waiting, so the final fsync
    // finds little left to do. Files that cannot do this (pipes, devices) just refuse.
    ::sync_file_range(fd_, static_cast<off_t>(flushed_), static_cast<off_t>(written_ - flushed_),
                      SYNC_FILE_RANGE_WRITE);
    flushed_ = written_;
    if (stop_requested()) {
      error_ = kStopped;
      return false;
    }
  }
  return true;
}

FileReplacement::~FileReplacement() {
  discard();
}

void FileReplacement::discard() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

std::optional<Error> FileReplacement::open(std::string_view path) {
  if (path.find('\0') != std::string_view::npos) {
    return nul_in_path_error();
  }
  if (path.empty()) return open_error(ENOENT);
  target_.assign(path);
  // "name/" names no file that could be written; the system says why (EISDIR, or ENOENT
  // or ENOTDIR for the directories before it), and creates nothing.
  if (path.back() == '/') return open_in_place();

  if (const int err = resolve_links(target_)) return open_error(err);

  struct stat st {};
  bool exists = true;
  if (::stat(target_.c_str(), &st) != 0) {
    if (errno != ENOENT) return open_error(errno);
    exists = false;
  }
  // Some links name no path that leads to their file: the descriptors in /proc give
  // "pipe:[N]" for a pipe and "name (deleted)" for a removed file. Whatever the followed
  // path does not lead to is written in place through the path the caller gave.
  if (target_ != path) {
    struct stat given {};
    if (::stat(std::string(path).c_str(), &given) == 0 &&
        (!S_ISREG(given.st_mode) || !exists || given.st_dev != st.st_dev ||
         given.st_ino != st.st_ino)) {
      target_.assign(path);
      if (S_ISDIR(given.st_mode)) return open_error(EISDIR);
      return open_in_place();
    }
  }
  if (exists) {
    if (S_ISDIR(st.st_mode)) return open_error(EISDIR);
    // A device or pipe cannot be replaced by a file: it is written as it is.
    if (!S_ISREG(st.st_mode)) return open_in_place();
    // Refuse exactly when opening the target itself for writing would.
    const int probe = open_file(target_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (probe < 0) return open_error(errno);
    ::close(probe);
    // A file with several names keeps them all only when written in place: a new file
    // renamed over one name would leave the others holding the previous document.
    if (st.st_nlink > 1) return open_in_place();
  }

  const std::size_t slash = target_.rfind('/');
  const std::string dir_prefix = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = target_.substr(dir_prefix.size(), 200);
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%016llx.tmp",
                  static_cast<unsigned long long>(random_suffix()));
    temp_ = dir_prefix + "." + base + suffix;
    // A new target is created as any new file is: 0666 less the umask. The stand-in for an
    // existing one starts private, so nobody the target shuts out can open it before it
    // takes the target's owner and mode.
    fd_ = open_file(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, exists ? 0600 : 0666);
    if (fd_ >= 0) break;
    const int err = errno;
    temp_.clear();
    if (err == EEXIST) continue;
    // The file may be writable where the directory is not, or where no new file can be
    // made at all (as in /proc); keep that working. Never when the system is short of
    // room: the target's old document would be cut short first.
    if (exists && (err == EACCES || err == EPERM || err == ENOENT || err == EROFS ||
                   err == EINVAL || err == EOPNOTSUPP)) {
      return open_in_place();
    }
    // The longer name of the temporary file can pass a limit the target's own name keeps.
    if (err == ENAMETOOLONG) return open_in_place();
    return open_error(err);
  }
  if (fd_ < 0) return open_error(EEXIST);

  if (exists) {
    // A new file that cannot have the target's owner, group or access list would change
    // who may use the target (a group member saving a shared file would make it hers
    // alone): the target is written in place instead and keeps them all.
    if (!copy_owner(fd_, st) || !copy_attributes(target_, fd_)) {
      discard();
      return open_in_place();
    }
    // The mode once the content is written (commit), which also restores set-id bits that
    // a change of owner clears.
    mode_ = st.st_mode & 07777;
  }
  return std::nullopt;
}

std::optional<Error> FileReplacement::open_in_place() {
  fd_ = open_file(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) return open_error(errno);
  return std::nullopt;
}

std::optional<Error> FileReplacement::copy_in_place(int rename_error) {
  const int in = open_file(temp_.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    discard();
    return save_error(rename_error);
  }
  const int out = open_file(target_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (out < 0) {
    const int err = errno;
    ::close(in);
    discard();
    return save_error(err);
  }
  int err = 0;
  std::vector<char> buf(kCopyBlock);
  FdSink sink(out);
  for (;;) {
    const ssize_t n = read_file(in, buf.data(), buf.size());
    if (n <= 0) {
      if (n < 0) err = errno;
      break;
    }
    if (!sink.write(buf.data(), static_cast<std::size_t>(n))) {
      err = sink.error();
      break;
    }
  }
  if (err == 0 && ::fsync(out) != 0 && errno != EINVAL) err = errno;
  if (::close(out) != 0 && errno != EINTR && err == 0) err = errno;
  ::close(in);
  discard();
  if (err != 0) return save_error(err);
  return std::nullopt;
}

void FileReplacement::reserve(std::size_t bytes) noexcept {
  if (temp_.empty() || bytes == 0) return;
  // Room past the file size limit would raise SIGXFSZ, which kills the process by default,
  // though the document itself may well fit.
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      bytes > limit.rlim_cur) {
    bytes = static_cast<std::size_t>(limit.rlim_cur);
    if (bytes == 0) return;
  }
  // Only room: a file system that cannot do this just leaves the file to grow.
  reserved_ = ::fallocate(fd_, 0, 0, static_cast<off_t>(bytes)) == 0;
}

std::optional<Error> FileReplacement::commit(std::size_t written) {
  if (reserved_ && ::ftruncate(fd_, static_cast<off_t>(written)) != 0) {
    const int err = errno;
    discard();
    return save_error(err);
  }
  // A file system that keeps no modes of its own refuses; the target then keeps its own.
  const int mode_error = mode_ && ::fchmod(fd_, *mode_) != 0 ? errno : 0;
  // Waiting for a large file to reach the disk can take seconds: wait for it a few
  // megabytes at a time, asking the host's check between them whether to stop, so that
  // only the short final flush below cannot be interrupted. Until the rename the target
  // is untouched, so stopping here loses nothing.
  if (!temp_.empty()) {
    for (std::size_t at = 0; at < written; at += kSyncStep) {
      ::sync_file_range(
          fd_, static_cast<off_t>(at), static_cast<off_t>(std::min(kSyncStep, written - at)),
          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
      if (stop_requested()) {
        discard();
        return stopped_error();
      }
    }
  }
  // Devices and pipes cannot be synced (EINVAL); that is no failure of the save.
  if (::fsync(fd_) != 0 && !(temp_.empty() && (errno == EINVAL || errno == EROFS))) {
    const int err = errno;
    discard();
    return save_error(err);
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) {
    const int err = errno;
    discard();
    return save_error(err);
  }
  if (temp_.empty()) return std::nullopt;
  if (mode_error != 0) return copy_in_place(mode_error);

  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    // Some targets can be written but not replaced: a file mounted over another, a file
    // of another user in a directory where only owners may rename. Written in place, as
    // a plain save would be, they keep working.
    if (err == EBUSY || err == EPERM || err == EACCES || err == EXDEV) return copy_in_place(err);
    discard();
    return save_error(err);
  }
  temp_.clear();

  // Make the rename itself durable.
  const int dir_fd = ::open(parent_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return std::nullopt;  // an unreadable directory cannot be flushed
  int err = 0;
  if (::fsync(dir_fd) != 0 && errno != EINVAL) err = errno;
  ::close(dir_fd);
  if (err != 0) return save_error(err);
  return std::nullopt;
}

}  // namespace recall_mesh::persist
