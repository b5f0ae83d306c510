#include "output_file.hpp"

#include <fcntl.h>
#include <linux/limits.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace wavwrap {
namespace {

enum class Mode {
  untouched,  // a device or pipe: written, never removed
  caller,     // standard output as a regular file: cut back on failure
  in_place,   // a named file written where it is: removed on failure
  replace,    // a new file beside the output, put in place at the end
};

// What a failure or a signal has to undo. Everything the signal handler
// reads is here, written before the handlers can run.
struct Owned {
  Mode mode = Mode::untouched;
  int fd = -1;
  // caller: where the run's bytes start.
  off_t start = 0;
  // in_place: the file, links resolved, and which one it is.
  std::array<char, PATH_MAX> path{};
  dev_t device = 0;
  ino_t inode = 0;
  // replace: the folder, the output's name in it, and the temporary name the
  // new file has while it has one (empty otherwise).
  int folder = -1;
  std::array<char, NAME_MAX + 1> name{};
  std::array<char, NAME_MAX + 1> temporary{};
  // Streams: the input that a first signal ends, and what takes its place.
  int stream_input = -1;
  int null_fd = -1;
};
Owned g_owned;
volatile std::sig_atomic_t g_owns = 0;      // something to undo after a failure
volatile std::sig_atomic_t g_stopping = 0;  // a stream's first signal has come

constexpr std::array k_signals = {SIGHUP, SIGINT, SIGTERM};

// Async-signal-safe: undoes what the run wrote, once.
void undo() {
  if (g_owns == 0) return;
  g_owns = 0;
  switch (g_owned.mode) {
    case Mode::untouched:
      return;
    case Mode::caller:
      (void)::ftruncate(g_owned.fd, g_owned.start);
      return;
    case Mode::in_place: {
      struct stat st {};
      if (::lstat(g_owned.path.data(), &st) == 0 && st.st_dev == g_owned.device &&
          st.st_ino == g_owned.inode) {
        (void)::unlink(g_owned.path.data());
      }
      return;
    }
    case Mode::replace:
      if (g_owned.temporary[0] != '\0')
        (void)::unlinkat(g_owned.folder, g_owned.temporary.data(), 0);
      return;
  }
}

extern "C" void on_terminating_signal(int signal_number) {
  if (g_owned.stream_input >= 0 && g_stopping == 0) {
    // The end of the input: reads from here on find /dev/null's end of file,
    // and the one under way, if any, returns EINTR.
    g_stopping = 1;
    (void)::dup2(g_owned.null_fd, g_owned.stream_input);
    return;
  }
  // A stream's file keeps its streaming header and every byte written.
  if (g_owned.stream_input < 0) undo();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void install_handlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  struct sigaction action {};
  action.sa_handler = on_terminating_signal;
  sigemptyset(&action.sa_mask);
  for (int s : k_signals) sigaddset(&action.sa_mask, s);
  action.sa_flags = 0;  // no SA_RESTART: a blocked read must see the signal
  for (int s : k_signals) (void)::sigaction(s, &action, nullptr);
}

template <std::size_t N>
bool copy_name(std::array<char, N>& to, std::string_view from) {
  if (from.size() >= N) return false;
  std::copy(from.begin(), from.end(), to.begin());
  to[from.size()] = '\0';
  return true;
}

// ".NAME.wavwrap-PID-N": hidden, ours, and unlikely to meet anything else.
bool temporary_name(std::string_view name, unsigned attempt) {
  std::array<char, NAME_MAX + 1> text{};
  const int n = std::snprintf(text.data(), text.size(), ".%.*s.wavwrap-%ld-%u",
                              static_cast<int>(std::min<std::size_t>(name.size(), 200)),
                              name.data(), static_cast<long>(::getpid()), attempt);
  return n > 0 && copy_name(g_owned.temporary, {text.data(), static_cast<std::size_t>(n)});
}

// Where the new file is built: unnamed where the file system can, else under
// a temporary name. An error means "write in place instead".
std::expected<FileDescriptor, int> open_beside(const struct stat* old) {
  constexpr mode_t k_mode = 0666;  // narrowed by the umask, as every tool's output is
  int fd = ::openat(g_owned.folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, k_mode);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
      if (!temporary_name({g_owned.name.data()}, attempt)) return std::unexpected(ENAMETOOLONG);
      fd = ::openat(g_owned.folder, g_owned.temporary.data(),
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, k_mode);
      if (fd < 0 && errno != EEXIST) {
        g_owned.temporary[0] = '\0';
        break;
      }
    }
  }
  if (fd < 0) return std::unexpected(errno);
  FileDescriptor file(fd);
  if (old != nullptr) {
    // Owner first: changing it clears the set-ID bits that the mode then restores.
    if (::fchown(fd, old->st_uid, old->st_gid) != 0)
      (void)::fchown(fd, static_cast<uid_t>(-1), old->st_gid);
    (void)::fchmod(fd, old->st_mode & 07777);
  }
  return file;
}

// Puts the file named `temporary` in the folder in place of `name`: moved
// there if `name` is free, else exchanged with the file there, which is then
// removed. Returns why that removal failed (0 when it did not): the run has
// succeeded whatever happens to the old file.
std::expected<int, int> swap_in(int folder, const char* temporary, const char* name) {
  if (::renameat2(folder, temporary, folder, name, RENAME_NOREPLACE) == 0) return 0;
  if (errno == EEXIST && ::renameat2(folder, temporary, folder, name, RENAME_EXCHANGE) == 0)
    return ::unlinkat(folder, temporary, 0) == 0 ? 0 : errno;
  if (errno != EINVAL) return std::unexpected(errno);
  // A file system without the flags: a plain rename replaces as atomically.
  if (::renameat(folder, temporary, folder, name) != 0) return std::unexpected(errno);
  return 0;
}

}  // namespace

std::expected<OutputFile, OutputError> OutputFile::open(const OutputRequest& request) {
  OutputFile output;
  output.sync_ = request.sync;
  g_owned = Owned{};
  const auto own = [&](Mode mode) {
    g_owned.mode = mode;
    g_owned.fd = output.fd_.get();
    g_owns = 1;
    install_handlers();
  };

  if (request.path == nullptr) {
    output.fd_ = FileDescriptor(STDOUT_FILENO);
    const auto info = describe(STDOUT_FILENO);
    if (!info) return std::unexpected(OutputError{OutputProblem::failed, info.error()});
    output.info_ = *info;
    if (info->kind == FileKind::terminal)
      return std::unexpected(OutputError{OutputProblem::terminal});
    if (info->same_file_as(request.input))
      return std::unexpected(OutputError{OutputProblem::same_file});
    if (info->kind == FileKind::regular) {
      // Appending writes land at the end, whatever the offset says.
      g_owned.start = static_cast<off_t>(info->appends ? info->position + info->length.value_or(0)
                                                       : info->position);
      own(Mode::caller);
    }
    return output;
  }

  struct stat old {};
  struct stat link {};
  const bool exists = ::stat(request.path, &old) == 0;
  const bool dangling = !exists && ::lstat(request.path, &link) == 0;
  if (exists && old.st_dev == request.input.device && old.st_ino == request.input.inode)
    return std::unexpected(OutputError{OutputProblem::same_file});

  const bool replaceable = exists ? S_ISREG(old.st_mode) && old.st_nlink == 1 : !dangling;
  if (request.replace_whole && replaceable) {
    // Through a symbolic link the target is what gets replaced.
    std::array<char, PATH_MAX> resolved{};
    std::string_view target = request.path;
    if (exists && ::realpath(request.path, resolved.data()) != nullptr) target = resolved.data();
    const std::size_t slash = target.rfind('/');
    const std::string_view name =
        slash == std::string_view::npos ? target : target.substr(slash + 1);
    std::array<char, PATH_MAX> folder{};
    const std::string_view folder_name = slash == std::string_view::npos ? "."
                                         : slash == 0                    ? "/"
                                                                         : target.substr(0, slash);
    if (!name.empty() && name != "." && name != ".." && copy_name(g_owned.name, name) &&
        copy_name(folder, folder_name)) {
      g_owned.folder = ::open(folder.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (g_owned.folder >= 0) {
        if (auto beside = open_beside(exists ? &old : nullptr)) {
          output.fd_ = std::move(*beside);
          own(Mode::replace);
          const auto info = describe(output.fd_.get());
          if (!info) {
            output.discard();
            return std::unexpected(OutputError{OutputProblem::failed, info.error()});
          }
          output.info_ = *info;
          return output;
        }
        (void)::close(std::exchange(g_owned.folder, -1));
      }
    }
  }

  // In place.
  auto opened = open_for_writing(request.path);
  if (!opened) return std::unexpected(OutputError{OutputProblem::cant_open});
  output.fd_ = std::move(opened->fd);
  // Until the file is truncated, a failure may remove only a file this run created.
  const auto abandon = [&](OutputError error) {
    if (opened->created) (void)::unlink(request.path);
    return std::unexpected(error);
  };
  const auto info = describe(output.fd_.get());
  if (!info) return abandon({OutputProblem::failed, info.error()});
  output.info_ = *info;
  if (info->kind == FileKind::terminal) return abandon({OutputProblem::terminal});
  if (info->same_file_as(request.input))
    return std::unexpected(OutputError{OutputProblem::same_file});
  if (info->kind != FileKind::regular) return output;
  // Truncating a file this run has just created would cost ext4 a forced
  // flush when it is closed, for nothing.
  if (!opened->created) {
    if (auto truncated = truncate_to(output.fd_.get(), 0); !truncated)
      return abandon({OutputProblem::failed, truncated.error()});
    output.info_.length = 0;
  }
  // The kernel knows where the file really is, symbolic links resolved.
  const ssize_t n = ::readlink(descriptor_path(output.fd_.get()).data(), g_owned.path.data(),
                               g_owned.path.size() - 1);
  if (n <= 0 || !copy_name(g_owned.path, {g_owned.path.data(), static_cast<std::size_t>(n)}))
    (void)copy_name(g_owned.path, request.path);
  g_owned.device = info->device;
  g_owned.inode = info->inode;
  own(Mode::in_place);
  return output;
}

void OutputFile::end_input_on_signal(int input) {
  g_owned.null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (g_owned.null_fd >= 0) g_owned.stream_input = input;
  install_handlers();
}

void OutputFile::hold_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : k_signals) sigaddset(&set, s);
  (void)::sigprocmask(SIG_BLOCK, &set, nullptr);
}

std::expected<void, OutputFile::CommitError> OutputFile::commit() {
  const auto failed = [&](int error) {
    discard();
    return std::unexpected(CommitError{error});
  };
  const bool regular = info_.kind == FileKind::regular;
  if (sync_ && regular && ::fsync(fd_.get()) != 0) return failed(errno);
  if (g_owned.mode != Mode::replace) {
    if (auto closed = fd_.close(); !closed) return failed(closed.error());
    g_owns = 0;
    return {};
  }

  // A signal from here on is too late to abandon the run: it is all but done.
  hold_signals();
  const int folder = g_owned.folder;
  if (g_owned.temporary[0] == '\0') {
    // Name the unnamed file, hidden, so that it can be closed and then swapped in.
    for (unsigned attempt = 0;; ++attempt) {
      if (!temporary_name({g_owned.name.data()}, attempt)) return failed(ENAMETOOLONG);
      if (::linkat(AT_FDCWD, descriptor_path(fd_.get()).data(), folder, g_owned.temporary.data(),
                   AT_SYMLINK_FOLLOW) == 0)
        break;
      const int error = errno;
      g_owned.temporary[0] = '\0';
      if (error != EEXIST || attempt >= 100) return failed(error);
    }
  }
  if (auto closed = fd_.close(); !closed) return failed(closed.error());
  const auto swapped = swap_in(folder, g_owned.temporary.data(), g_owned.name.data());
  if (!swapped) return failed(swapped.error());
  // Where the old file could not be removed, its name stays for leftover().
  leftover_error_ = *swapped;
  if (leftover_error_ == 0) g_owned.temporary[0] = '\0';
  g_owns = 0;
  if (sync_ && ::fsync(folder) != 0) return std::unexpected(CommitError{errno, true});
  return {};
}

void OutputFile::discard() {
  undo();
  if (g_owned.mode == Mode::replace) (void)fd_.close();
}

}  // namespace wavwrap

namespace wavwrap {

std::string_view OutputFile::leftover() const {
  return leftover_error_ == 0 ? std::string_view() : std::string_view(g_owned.temporary.data());
}

}  // namespace wavwrap
