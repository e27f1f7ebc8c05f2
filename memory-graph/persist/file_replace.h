// Replacing a file so that no failure, and no crash, leaves half a document behind: the
// new bytes go to a temporary file in the target's directory, are flushed to disk and
// renamed over the target, and the directory is flushed too. The target keeps its
// permission bits, owner, group, access list and other attributes (a target whose owner,
// group or access list a new file cannot have is written in place); a symlink stays a
// symlink and its target is replaced. Persist layer only.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "document_writer.h"
#include "error.h"

namespace recall_mesh::persist {

class FileReplacement {
 public:
  FileReplacement() = default;
  /// Removes the temporary file unless commit() put it in place.
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  /// Prepares to replace `path`. Fails as opening `path` for writing would (kOpen with the
  /// errno: a missing directory gives ENOENT, a directory EISDIR) or with kNulInPath.
  /// Files that are not regular (devices, pipes), and links that name no path to their file
  /// (a descriptor's link to a pipe or a removed file), are written in place, as is a writable
  /// file in a directory where no temporary file can be made, or a target whose name is
  /// too close to the system's limits to leave room for a temporary file's.
  std::optional<Error> open(std::string_view path);

  /// Where the new content goes; valid after a successful open(). In place of an existing
  /// target it is private to the caller (0600) until commit().
  int fd() const noexcept { return fd_; }

  /// Sets aside disk room for about `bytes` of new content, when the content goes to a
  /// temporary file; commit() trims the file to `written` bytes. Writing into room set
  /// aside at once is cheaper than growing the file write by write.
  void reserve(std::size_t bytes) noexcept;

  /// Flushes the new content to disk and puts it in place of the target. On failure (kSave)
  /// the temporary file is gone and the target untouched, except when flushing the
  /// directory fails after the rename, which leaves the new file in place. A target that
  /// the system will not let a rename replace (EBUSY, EPERM, EACCES, EXDEV) gets the new
  /// content copied into it instead, as a plain save would write it.
  std::optional<Error> commit(std::size_t written);

 private:
  std::optional<Error> open_in_place();
  // Copies the finished temporary file into the target, for a target that cannot be
  // replaced by a rename or whose mode the new file cannot take (which failed with
  // `rename_error`); removes the temporary file.
  std::optional<Error> copy_in_place(int rename_error);

  static constexpr std::size_t kCopyBlock = std::size_t{1} << 20;
  static constexpr std::size_t kSyncStep = std::size_t{2} << 20;
  void discard() noexcept;

  std::string target_;
  std::string temp_;  // empty when writing in place
  int fd_ = -1;
  bool reserved_ = false;
  std::optional<mode_t> mode_;  // the target's permission bits, given at commit()
};

/// Writes to a file descriptor it does not own, keeping the errno of a failed write
/// (kStopped for one the host stopped). Every few megabytes it asks the host's check
/// whether to stop (interrupt.h), and the system to start writing them to disk.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd) noexcept : fd_(fd) {}
  bool write(const char* data, std::size_t size) override;
  int error() const noexcept { return error_; }
  std::size_t written() const noexcept { return written_; }

 private:
  static constexpr std::size_t kWritebackStep = std::size_t{8} << 20;

  int fd_;
  int error_ = 0;
  std::size_t written_ = 0;
  std::size_t flushed_ = 0;  // written_ when writeback was last started
};

}  // namespace recall_mesh::persist
