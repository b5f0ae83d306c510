#include "file_copy.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <limits>

namespace wavwrap {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    (void)close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  (void)close();
}

std::expected<void, int> FileDescriptor::close() noexcept {
  if (fd_ < 0) return {};
  // Linux releases the descriptor even when close fails, so it is never retried.
  const int result = ::close(std::exchange(fd_, -1));
  if (result != 0 && errno != EINTR) return std::unexpected(errno);
  return {};
}

std::expected<FileDescriptor, int> open_for_reading(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return std::unexpected(errno);
  return FileDescriptor(fd);
}

std::expected<OpenedOutput, int> open_for_writing(const char* path) {
  constexpr int k_flags = O_WRONLY | O_CLOEXEC | O_NOCTTY;
  constexpr mode_t k_mode = 0666;  // narrowed by the umask, as every tool's output is
  for (;;) {
    int fd = ::open(path, k_flags | O_CREAT | O_EXCL, k_mode);
    if (fd >= 0) return OpenedOutput{FileDescriptor(fd), true};
    if (errno != EEXIST) return std::unexpected(errno);
    fd = ::open(path, k_flags);
    if (fd >= 0) return OpenedOutput{FileDescriptor(fd), false};
    if (errno != ENOENT) return std::unexpected(errno);
    // A dangling symbolic link: let the kernel create its target.
    fd = ::open(path, k_flags | O_CREAT, k_mode);
    if (fd >= 0) return OpenedOutput{FileDescriptor(fd), true};
    if (errno != ENOENT) return std::unexpected(errno);
    // Removed between the calls: start again.
  }
}

std::expected<FileInfo, int> describe(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return std::unexpected(errno);
  FileInfo info;
  info.device = st.st_dev;
  info.inode = st.st_ino;
  std::uint64_t size = 0;
  switch (st.st_mode & S_IFMT) {
    case S_IFREG:
      info.kind = FileKind::regular;
      size = static_cast<std::uint64_t>(st.st_size);
      break;
    case S_IFBLK:
      info.kind = FileKind::block_device;
      if (::ioctl(fd, BLKGETSIZE64, &size) != 0) return std::unexpected(errno);
      break;
    case S_IFDIR:
      info.kind = FileKind::directory;
      return info;
    case S_IFIFO:
      info.kind = FileKind::pipe;
      return info;
    case S_IFSOCK:
      info.kind = FileKind::socket;
      return info;
    case S_IFCHR:
      info.kind = ::isatty(fd) ? FileKind::terminal : FileKind::character_device;
      return info;
    default:
      info.kind = FileKind::other;
      return info;
  }
  // Standard input may have been read from already: what is left starts here.
  const off_t position = ::lseek(fd, 0, SEEK_CUR);
  if (position < 0) return std::unexpected(errno);
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return std::unexpected(errno);
  info.position = static_cast<std::uint64_t>(position);
  info.length = size > info.position ? size - info.position : 0;
  info.appends = (flags & O_APPEND) != 0;
  return info;
}

std::expected<void, int> truncate_to(int fd, std::uint64_t length) {
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return std::unexpected(errno);
  }
  return {};
}

namespace {

// Measured on page-cached files: 32 KiB costs a quarter more than 1 MiB, and
// 128 KiB is within a few percent of it while keeping the resident size
// nearly the same for tiny and huge inputs. In .bss: free until touched.
constexpr std::size_t k_buffer_size = 128 * 1024;
alignas(4096) std::byte g_buffer[k_buffer_size];

// The most one fast-path call is asked to move; sendfile caps itself near 2 GiB anyway.
constexpr std::uint64_t k_max_chunk = 1u << 30;

constexpr int k_pipe_size = 1 << 20;

// Waits until a non-blocking descriptor that answered EAGAIN is ready again.
bool wait_until_ready(int fd, short events) {
  pollfd p{fd, events, 0};
  for (;;) {
    if (::poll(&p, 1, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

using FastTransfer = ssize_t (*)(int in, int out, std::size_t length);

ssize_t by_copy_file_range(int in, int out, std::size_t length) {
  return ::copy_file_range(in, nullptr, out, nullptr, length, 0);
}
ssize_t by_sendfile(int in, int out, std::size_t length) {
  return ::sendfile(out, in, nullptr, length);
}
ssize_t by_splice(int in, int out, std::size_t length) {
  return ::splice(in, nullptr, out, nullptr, length, SPLICE_F_MOVE);
}

// Moves up to `count` bytes with one fast path and returns how many it moved.
// It stops at the first error or zero-length answer and leaves the rest to
// the next path: the plain loop at the end of the chain is the one that
// tells end of input from failure, and which side failed.
std::uint64_t pump(FastTransfer transfer, int in, int out, std::uint64_t count) {
  std::uint64_t moved = 0;
  while (moved < count) {
    const ssize_t n =
        transfer(in, out, static_cast<std::size_t>(std::min(count - moved, k_max_chunk)));
    if (n > 0) {
      moved += static_cast<std::uint64_t>(n);
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  return moved;
}

// A pipe's default 64 KiB caps every splice at 64 KiB; a wider one lets each
// call move more. Only a hint: on anything but a pipe, or past the
// system's limit for an unprivileged user, the call fails and nothing changes.
void widen_pipe(int fd) {
  (void)::fcntl(fd, F_SETPIPE_SZ, k_pipe_size);
}

// Reads at most `length` bytes; 0 means end of input.
std::expected<std::size_t, int> read_some(int fd, std::byte* into, std::size_t length) {
  for (;;) {
    const ssize_t n = ::read(fd, into, length);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN && wait_until_ready(fd, POLLIN)) continue;
    return std::unexpected(errno);
  }
}

}  // namespace

std::expected<void, int> write_all(int fd, std::span<const std::byte> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    } else if (n == 0) {
      return std::unexpected(ENOSPC);  // a device that takes nothing is full
    } else if (errno == EINTR || (errno == EAGAIN && wait_until_ready(fd, POLLOUT))) {
      continue;
    } else {
      return std::unexpected(errno);
    }
  }
  return {};
}

std::expected<void, int> write_all_at(int fd, std::span<const std::byte> bytes,
                                      std::uint64_t offset) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(n));
      offset += static_cast<std::uint64_t>(n);
    } else if (n == 0) {
      return std::unexpected(ENOSPC);
    } else if (errno != EINTR) {
      return std::unexpected(errno);
    }
  }
  return {};
}

namespace {

// The copy behind both entry points: up to `count` bytes, through the fast
// paths first, then the plain loop, which alone decides what a zero means.
// With a transform, a read that ends within a unit keeps that unit's first
// bytes at the front of the buffer until the rest arrives.
std::expected<std::uint64_t, CopyError> copy(int in, int out, std::uint64_t count,
                                             CopyMethod method, Transform transform) {
  std::uint64_t moved = 0;  // written to `out`
  if (method == CopyMethod::fastest && !transform.changes_bytes()) {
    widen_pipe(in);
    widen_pipe(out);
    for (FastTransfer transfer : {by_copy_file_range, by_sendfile, by_splice}) {
      moved += pump(transfer, in, out, count - moved);
    }
  }
  // Whole units per full buffer, so that reads from a file never split one.
  const std::size_t room = k_buffer_size - k_buffer_size % transform.unit;
  std::size_t carried = 0;  // read, not yet written: the start of a unit
  while (moved + carried < count) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(count - moved - carried, room - carried));
    const auto got = read_some(in, g_buffer + carried, want);
    if (!got) return std::unexpected(CopyError{Side::input, got.error()});
    if (*got == 0) break;
    const std::size_t filled = carried + *got;
    const std::size_t whole = filled - filled % transform.unit;
    if (transform.changes_bytes()) transform.apply({g_buffer, whole});
    if (auto w = write_all(out, {g_buffer, whole}); !w) {
      return std::unexpected(CopyError{Side::output, w.error()});
    }
    moved += whole;
    carried = filled - whole;
    std::memmove(g_buffer, g_buffer + whole, carried);
  }
  if (carried > 0) {
    if (auto w = write_all(out, {g_buffer, carried}); !w) {
      return std::unexpected(CopyError{Side::output, w.error()});
    }
    moved += carried;
  }
  return moved;
}

}  // namespace

std::expected<void, CopyError> copy_exact(int in, int out, std::uint64_t count, CopyMethod method,
                                          Transform transform) {
  const auto moved = copy(in, out, count, method, transform);
  if (!moved) return std::unexpected(moved.error());
  if (*moved < count) return std::unexpected(CopyError{Side::input, 0});
  return {};
}

std::expected<std::uint64_t, CopyError> copy_to_end(int in, int out, CopyMethod method,
                                                    Transform transform) {
  return copy(in, out, std::numeric_limits<std::uint64_t>::max(), method, transform);
}

std::array<char, 32> descriptor_path(int fd) {
  std::array<char, 32> path{};
  std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", fd);
  return path;
}

std::expected<FileDescriptor, int> reopen_for_reading(int fd) {
  return open_for_reading(descriptor_path(fd).data());
}

std::expected<void, int> shift_forward(int reader, int writer, std::uint64_t from,
                                       std::uint64_t length, std::uint64_t distance) {
  std::uint64_t left = length;  // bytes [from, from + left) still to move
  while (left > 0) {
    const auto block = static_cast<std::size_t>(std::min<std::uint64_t>(left, k_buffer_size));
    const std::uint64_t at = from + left - block;
    std::size_t got = 0;
    while (got < block) {
      const ssize_t n = ::pread(reader, g_buffer + got, block - got, static_cast<off_t>(at + got));
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n == 0) {
        return std::unexpected(EIO);  // the file shrank under us
      } else if (errno != EINTR) {
        return std::unexpected(errno);
      }
    }
    if (auto w = write_all_at(writer, {g_buffer, block}, at + distance); !w) return w;
    left -= block;
  }
  return {};
}

}  // namespace wavwrap
