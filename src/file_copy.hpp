// Descriptors, what kind of file they refer to, and moving bytes between them
// as fast as the kernel allows.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>

namespace wavwrap {

// Owns one file descriptor; errors are errno values.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  [[nodiscard]] int get() const noexcept { return fd_; }

  // Closes now and says whether that worked: on some file systems a failed
  // close is the first news of lost data.
  std::expected<void, int> close() noexcept;

 private:
  int fd_ = -1;
};

[[nodiscard]] std::expected<FileDescriptor, int> open_for_reading(const char* path);

struct OpenedOutput {
  FileDescriptor fd;
  bool created = false;  // the file did not exist before
};

// Opens for writing, creating the file if it is missing but never truncating
// it: the caller decides that once it knows the file is safe to overwrite.
[[nodiscard]] std::expected<OpenedOutput, int> open_for_writing(const char* path);

enum class FileKind {
  regular,
  directory,
  block_device,
  pipe,  // and FIFO
  terminal,
  character_device,
  socket,
  other,
};

struct FileInfo {
  FileKind kind = FileKind::other;
  dev_t device = 0;
  ino_t inode = 0;
  // Bytes from the current position to the end, where the size is known up
  // front: regular files and block devices. Streams have none.
  std::optional<std::uint64_t> length;
  std::uint64_t position = 0;  // the current offset, where there is one
  bool appends = false;        // opened with O_APPEND: writes ignore the offset

  [[nodiscard]] bool same_file_as(const FileInfo& other) const noexcept {
    return device == other.device && inode == other.inode;
  }
};

[[nodiscard]] std::expected<FileInfo, int> describe(int fd);

[[nodiscard]] std::expected<void, int> truncate_to(int fd, std::uint64_t length);

// Writes every byte, retrying short writes and interruptions.
[[nodiscard]] std::expected<void, int> write_all(int fd, std::span<const std::byte> bytes);

// The same at a given offset, leaving the file position alone.
[[nodiscard]] std::expected<void, int> write_all_at(int fd, std::span<const std::byte> bytes,
                                                    std::uint64_t offset);

enum class Side { input, output };

struct CopyError {
  Side side;
  int error;  // errno, or 0 when the input ended before the expected count
};

enum class CopyMethod {
  fastest,     // copy_file_range, sendfile or splice where the kernel takes them
  plain_only,  // read and write through one buffer
};

// A change applied to the bytes on their way through, in whole units of
// `unit` bytes, in place. Bytes that end the input within a unit are passed
// on unchanged.
struct Transform {
  std::size_t unit = 1;  // a few bytes: a sample
  void (*apply)(std::span<std::byte> units) = nullptr;

  [[nodiscard]] bool changes_bytes() const { return apply != nullptr; }
};

// Copies exactly `count` bytes from the current position of `in` to the
// current position of `out`. A transform takes the plain loop: the kernel's
// paths cannot change bytes.
[[nodiscard]] std::expected<void, CopyError> copy_exact(int in, int out, std::uint64_t count,
                                                        CopyMethod method = CopyMethod::fastest,
                                                        Transform transform = {});

// Copies until `in` reports end of input; returns the number of bytes copied.
[[nodiscard]] std::expected<std::uint64_t, CopyError> copy_to_end(
    int in, int out, CopyMethod method = CopyMethod::fastest, Transform transform = {});

// The name under which the kernel shows the file behind an open descriptor:
// "/proc/self/fd/N", a link to the file wherever it is.
[[nodiscard]] std::array<char, 32> descriptor_path(int fd);

// A second, read-only descriptor for the file behind `fd`, which may have
// been opened write-only.
[[nodiscard]] std::expected<FileDescriptor, int> reopen_for_reading(int fd);

// Moves the `length` bytes at `from` in a file `distance` bytes further on,
// back to front so that nothing is overwritten before it has been moved, in
// constant memory. `reader` and `writer` refer to the same file.
[[nodiscard]] std::expected<void, int> shift_forward(int reader, int writer, std::uint64_t from,
                                                     std::uint64_t length, std::uint64_t distance);

}  // namespace wavwrap
