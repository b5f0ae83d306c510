// An LD_PRELOAD library that makes one chosen system call fail, for the
// fault-injection tests. Settings come from the environment:
//
//   WAVWRAP_FAULT=CALL:FAULT:N   the Nth call of CALL gets FAULT. CALL is one of
//       read, write, pread, pwrite, copy_file_range, sendfile, splice, lseek,
//       ftruncate, fstat, close, open_tmpfile (openat with O_TMPFILE), linkat,
//       renameat2, unlinkat, fsync. FAULT is an errno name (EIO, ENOSPC, EINTR,
//       EAGAIN, EXDEV, EINVAL, ENOSYS, EOPNOTSUPP), "short" (the real call,
//       asked for half the bytes) or "zero" (answers 0 and does nothing).
//   WAVWRAP_FAULT_NOFAST=1       copy_file_range, sendfile and splice always
//       answer ENOSYS, which leaves only the plain read/write loop.
//   WAVWRAP_FAULT_COUNTS=FILE    at exit, writes "CALL COUNT" for every call.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Call {
  k_read,
  k_write,
  k_pread,
  k_pwrite,
  k_copy_file_range,
  k_sendfile,
  k_splice,
  k_lseek,
  k_ftruncate,
  k_fstat,
  k_close,
  k_open_tmpfile,
  k_linkat,
  k_renameat2,
  k_unlinkat,
  k_fsync,
  k_calls
};
constexpr const char* k_names[k_calls] = {
    "read",   "write",     "pread",     "pwrite", "copy_file_range", "sendfile",
    "splice", "lseek",     "ftruncate", "fstat",  "close",           "open_tmpfile",
    "linkat", "renameat2", "unlinkat",  "fsync"};

struct Errno {
  const char* name;
  int value;
};
constexpr Errno k_errnos[] = {{"EIO", EIO},       {"ENOSPC", ENOSPC},         {"EINTR", EINTR},
                              {"EAGAIN", EAGAIN}, {"EXDEV", EXDEV},           {"EINVAL", EINVAL},
                              {"ENOSYS", ENOSYS}, {"EOPNOTSUPP", EOPNOTSUPP}, {"EACCES", EACCES},
                              {"EEXIST", EEXIST}};

enum class Kind { none, error, short_count, zero };
enum class Action { proceed, fail, zero };

struct Settings {
  int call = -1;
  long nth = 0;
  Kind kind = Kind::none;
  int error = 0;
  bool no_fast_paths = false;
  const char* counts_file = nullptr;
};

Settings g_settings;
long g_counts[k_calls];

__attribute__((constructor)) void read_settings() {
  g_settings.no_fast_paths = std::getenv("WAVWRAP_FAULT_NOFAST") != nullptr;
  g_settings.counts_file = std::getenv("WAVWRAP_FAULT_COUNTS");
  const char* setting = std::getenv("WAVWRAP_FAULT");
  if (setting == nullptr) return;
  char call[32] = {}, fault[32] = {};
  long nth = 0;
  if (std::sscanf(setting, "%31[^:]:%31[^:]:%ld", call, fault, &nth) != 3) {
    std::fprintf(stderr, "shim: bad WAVWRAP_FAULT %s\n", setting);
    std::abort();
  }
  for (int c = 0; c < k_calls; ++c) {
    if (std::strcmp(call, k_names[c]) == 0) g_settings.call = c;
  }
  g_settings.nth = nth;
  if (std::strcmp(fault, "short") == 0) g_settings.kind = Kind::short_count;
  if (std::strcmp(fault, "zero") == 0) g_settings.kind = Kind::zero;
  for (const Errno& e : k_errnos) {
    if (std::strcmp(fault, e.name) == 0) {
      g_settings.kind = Kind::error;
      g_settings.error = e.value;
    }
  }
  if (g_settings.call < 0 || g_settings.kind == Kind::none) {
    std::fprintf(stderr, "shim: unknown call or fault in %s\n", setting);
    std::abort();
  }
}

__attribute__((destructor)) void write_counts() {
  if (g_settings.counts_file == nullptr) return;
  if (FILE* f = std::fopen(g_settings.counts_file, "w")) {
    for (int c = 0; c < k_calls; ++c) std::fprintf(f, "%s %ld\n", k_names[c], g_counts[c]);
    std::fclose(f);
  }
}

Action decide(Call call, std::size_t* length = nullptr) {
  const long n = ++g_counts[call];
  const bool fast = call == k_copy_file_range || call == k_sendfile || call == k_splice;
  if (fast && g_settings.no_fast_paths) {
    errno = ENOSYS;
    return Action::fail;
  }
  if (call != g_settings.call || n != g_settings.nth) return Action::proceed;
  switch (g_settings.kind) {
    case Kind::error:
      errno = g_settings.error;
      return Action::fail;
    case Kind::zero:
      return Action::zero;
    case Kind::short_count:
      if (length != nullptr && *length > 1) *length /= 2;
      return Action::proceed;
    case Kind::none:
      break;
  }
  return Action::proceed;
}

template <typename F>
F real(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Each wrapper: count, maybe fail, else pass on to libc's own function.
#define WAVWRAP_INTERCEPT(ret, name, call, params, length, args) \
  extern "C" ret name params {                                   \
    switch (decide(call, length)) {                              \
      case Action::fail:                                         \
        return -1;                                               \
      case Action::zero:                                         \
        return 0;                                                \
      case Action::proceed:                                      \
        break;                                                   \
    }                                                            \
    static const auto next = real<ret(*) params>(#name);         \
    return next args;                                            \
  }

WAVWRAP_INTERCEPT(ssize_t, read, k_read, (int fd, void* b, size_t n), &n, (fd, b, n))
WAVWRAP_INTERCEPT(ssize_t, write, k_write, (int fd, const void* b, size_t n), &n, (fd, b, n))
WAVWRAP_INTERCEPT(ssize_t, pread, k_pread, (int fd, void* b, size_t n, off_t o), &n, (fd, b, n, o))
WAVWRAP_INTERCEPT(ssize_t, pread64, k_pread, (int fd, void* b, size_t n, off_t o), &n,
                  (fd, b, n, o))
WAVWRAP_INTERCEPT(ssize_t, pwrite, k_pwrite, (int fd, const void* b, size_t n, off_t o), &n,
                  (fd, b, n, o))
WAVWRAP_INTERCEPT(ssize_t, pwrite64, k_pwrite, (int fd, const void* b, size_t n, off_t o), &n,
                  (fd, b, n, o))
WAVWRAP_INTERCEPT(ssize_t, copy_file_range, k_copy_file_range,
                  (int i, off_t* io, int o, off_t* oo, size_t n, unsigned f), &n,
                  (i, io, o, oo, n, f))
WAVWRAP_INTERCEPT(ssize_t, sendfile, k_sendfile, (int o, int i, off_t* io, size_t n), &n,
                  (o, i, io, n))
WAVWRAP_INTERCEPT(ssize_t, sendfile64, k_sendfile, (int o, int i, off_t* io, size_t n), &n,
                  (o, i, io, n))
WAVWRAP_INTERCEPT(ssize_t, splice, k_splice,
                  (int i, off_t* io, int o, off_t* oo, size_t n, unsigned f), &n,
                  (i, io, o, oo, n, f))
WAVWRAP_INTERCEPT(off_t, lseek, k_lseek, (int fd, off_t o, int w), nullptr, (fd, o, w))
WAVWRAP_INTERCEPT(off_t, lseek64, k_lseek, (int fd, off_t o, int w), nullptr, (fd, o, w))
WAVWRAP_INTERCEPT(int, ftruncate, k_ftruncate, (int fd, off_t l), nullptr, (fd, l))
WAVWRAP_INTERCEPT(int, ftruncate64, k_ftruncate, (int fd, off_t l), nullptr, (fd, l))
WAVWRAP_INTERCEPT(int, fstat, k_fstat, (int fd, struct stat* s), nullptr, (fd, s))
WAVWRAP_INTERCEPT(int, fstat64, k_fstat, (int fd, struct stat64* s), nullptr, (fd, s))
WAVWRAP_INTERCEPT(int, close, k_close, (int fd), nullptr, (fd))
WAVWRAP_INTERCEPT(int, linkat, k_linkat, (int od, const char* op, int nd, const char* np, int f),
                  nullptr, (od, op, nd, np, f))
WAVWRAP_INTERCEPT(int, renameat2, k_renameat2,
                  (int od, const char* op, int nd, const char* np, unsigned f), nullptr,
                  (od, op, nd, np, f))
WAVWRAP_INTERCEPT(int, unlinkat, k_unlinkat, (int d, const char* p, int f), nullptr, (d, p, f))
WAVWRAP_INTERCEPT(int, fsync, k_fsync, (int fd), nullptr, (fd))

// openat is variadic; only the calls that make an unnamed file are counted.
namespace {
int forward_openat(const char* name, int dir, const char* path, int flags, mode_t mode) {
  using Openat = int (*)(int, const char*, int, ...);
  static const auto next = real<Openat>(name);
  if ((flags & O_TMPFILE) == O_TMPFILE && decide(k_open_tmpfile) == Action::fail) return -1;
  return next(dir, path, flags, mode);
}
}  // namespace

extern "C" int openat(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const auto mode = has_mode ? static_cast<mode_t>(va_arg(args, unsigned)) : 0;
  va_end(args);
  return forward_openat("openat", dir, path, flags, mode);
}
extern "C" int openat64(int dir, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const bool has_mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
  const auto mode = has_mode ? static_cast<mode_t>(va_arg(args, unsigned)) : 0;
  va_end(args);
  return forward_openat("openat64", dir, path, flags, mode);
}
