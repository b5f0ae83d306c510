// wavwrap INPUT OUTPUT RATE: puts a RIFF/WAVE header for 8-bit mono PCM in
// front of raw samples.
//
// One run is one straight road: arguments, input, output, header, copy,
// close. Every failure ends the run with a message and a non-zero status,
// and never leaves a partial output file behind.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <span>
#include <string_view>

#include "file_copy.hpp"
#include "rate.hpp"
#include "wav_header.hpp"

namespace {

using wavwrap::FileDescriptor;
using wavwrap::FileInfo;
using wavwrap::FileKind;

constexpr int k_exit_success = 0;
constexpr int k_exit_failure = 1;
constexpr int k_exit_usage = 2;

constexpr std::string_view k_usage_text = "Usage: .exe input output rate\n\n";
constexpr std::string_view k_standard_stream = "-";

// Where the tool's own words go: standard output, unless that carries the audio.
int g_message_fd = STDOUT_FILENO;

void say(std::string_view text) {
  (void)wavwrap::write_all(g_message_fd, std::as_bytes(std::span(text)));
}

void usage() {
  say(k_usage_text);
}

// "WHAT: REASON\n" in one write; error 0 is an input that ended early.
void say_failure(std::string_view what, int error) {
  const std::string_view reason = error == 0 ? "input ended early" : std::strerror(error);
  std::array<char, 256> line{};
  std::size_t length = 0;
  for (std::string_view part : {what, std::string_view(": "), reason}) {
    const std::size_t n = std::min(part.size(), line.size() - 1 - length);
    std::copy_n(part.data(), n, line.data() + length);
    length += n;
  }
  line[length++] = '\n';
  say({line.data(), length});
}

// A refusal before any output was written: the reason, then how to call the tool.
int refuse(std::string_view message, int status = k_exit_failure) {
  say(message);
  usage();
  return status;
}

int refuse_with_reason(std::string_view what, int error) {
  say_failure(what, error);
  usage();
  return k_exit_failure;
}

// A descriptor the caller closed stays free and the next open() would take
// it: our messages could then land in the output file. Keep 0, 1 and 2
// taken, and remember which were closed: "-" cannot name those.
std::array<bool, 3> g_standard_closed{};

void keep_standard_descriptors_open() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      g_standard_closed[static_cast<std::size_t>(fd)] = true;
      (void)::open("/dev/null", O_RDWR);
    }
  }
}

// True when the audio is headed for standard output, by "-" or by a path
// such as /dev/stdout that names the same file.
bool writes_to_standard_output(const char* output_path) {
  if (output_path == k_standard_stream) return true;
  struct stat named {};
  struct stat standard {};
  return ::stat(output_path, &named) == 0 && ::fstat(STDOUT_FILENO, &standard) == 0 &&
         named.st_dev == standard.st_dev && named.st_ino == standard.st_ino;
}

// The output file while this run owns its contents. If the run fails or is
// interrupted, a file the run created or truncated is removed; standard
// output, which the caller opened, is cut back to where the run started.
// Devices and pipes are never touched. Everything here is async-signal-safe.
struct OwnedOutput {
  bool named = false;                 // false: standard output
  std::array<char, PATH_MAX> path{};  // where the file really is, links resolved
  dev_t device = 0;
  ino_t inode = 0;
  int fd = -1;
  off_t start = 0;
};
OwnedOutput g_owned;
volatile std::sig_atomic_t g_owns_output = 0;

void discard_output() {
  if (g_owns_output == 0) return;
  g_owns_output = 0;
  if (!g_owned.named) {
    (void)::ftruncate(g_owned.fd, g_owned.start);
    return;
  }
  struct stat st {};
  if (::lstat(g_owned.path.data(), &st) == 0 && st.st_dev == g_owned.device &&
      st.st_ino == g_owned.inode) {
    (void)::unlink(g_owned.path.data());
  }
}

extern "C" void on_terminating_signal(int signal_number) {
  discard_output();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

// `path` is null for standard output.
void own_output(const char* path, int fd, const FileInfo& info) {
  g_owned.named = path != nullptr;
  if (g_owned.named) {
    // Through a symbolic link the data lands in the link's target, so that
    // is the file to remove; the kernel knows where it is.
    const ssize_t n = ::readlink(wavwrap::descriptor_path(fd).data(), g_owned.path.data(),
                                 g_owned.path.size() - 1);
    const std::size_t length =
        n > 0 ? static_cast<std::size_t>(n) : std::min(std::strlen(path), g_owned.path.size() - 1);
    if (n <= 0) std::copy_n(path, length, g_owned.path.data());
    g_owned.path[length] = '\0';
  }
  // Appending writes land at the end, whatever the offset says.
  const std::uint64_t start =
      info.appends ? info.position + info.length.value_or(0) : info.position;
  g_owned.device = info.device;
  g_owned.inode = info.inode;
  g_owned.fd = fd;
  g_owned.start = static_cast<off_t>(start);
  g_owns_output = 1;
  for (int signal_number : {SIGHUP, SIGINT, SIGTERM})
    ::signal(signal_number, on_terminating_signal);
}

// A failure once the header may be on its way: the reason alone, and the output goes.
int fail_writing(std::string_view what, int error) {
  discard_output();
  say_failure(what, error);
  return k_exit_failure;
}

int fail_copying(const wavwrap::CopyError& error) {
  const bool reading = error.side == wavwrap::Side::input;
  return fail_writing(reading ? "Can't read input" : "Can't write output", error.error);
}

// Header and data for an input whose length is not known until it ends. A
// seekable output gets placeholder sizes that are mended at the end, with
// the data moved on if it outgrew RIFF; anything else keeps the streaming
// header, whose sizes say "read to the end".
int write_stream(std::uint32_t rate, int input, int output, const FileInfo& output_info) {
  const auto placeholder = wavwrap::streaming_header(rate);
  if (auto written = wavwrap::write_all(output, placeholder.bytes()); !written) {
    return fail_writing("Can't write output", written.error());
  }
  const auto copied = wavwrap::copy_to_end(input, output);
  if (!copied) return fail_copying(copied.error());
  const bool seekable = output_info.kind == FileKind::regular && !output_info.appends;
  if (!seekable) return k_exit_success;

  const wavwrap::WavHeader header{.sample_rate = rate, .data_length = *copied};
  const std::uint64_t start = output_info.position;
  if (header.needs_rf64()) {
    auto reader = wavwrap::reopen_for_reading(output);
    if (!reader) return fail_writing("Can't write output", reader.error());
    const std::uint64_t growth = wavwrap::k_rf64_header_size - wavwrap::k_riff_header_size;
    if (auto moved = wavwrap::shift_forward(reader->get(), output,
                                            start + placeholder.bytes().size(), *copied, growth);
        !moved) {
      return fail_writing("Can't write output", moved.error());
    }
  }
  if (auto mended = wavwrap::write_all_at(output, header.to_bytes().bytes(), start); !mended) {
    return fail_writing("Can't write output", mended.error());
  }
  return k_exit_success;
}

// "-" names the standard streams, which the caller opened.
std::expected<FileDescriptor, int> open_input(const char* path) {
  if (path == k_standard_stream) {
    if (g_standard_closed[STDIN_FILENO]) return std::unexpected(EBADF);
    return FileDescriptor(STDIN_FILENO);
  }
  return wavwrap::open_for_reading(path);
}

std::expected<wavwrap::OpenedOutput, int> open_output(const char* path) {
  if (path == k_standard_stream) {
    if (g_standard_closed[STDOUT_FILENO]) return std::unexpected(EBADF);
    return wavwrap::OpenedOutput{FileDescriptor(STDOUT_FILENO)};
  }
  return wavwrap::open_for_writing(path);
}

}  // namespace

int main(int argc, char** argv) {
  keep_standard_descriptors_open();
  const std::span<char*> args(argv, static_cast<std::size_t>(argc));

  if (args.size() == 2) {
    const std::string_view option = args[1];
    if (option == "--help" || option == "-h") {
      usage();
      return k_exit_success;
    }
    if (option == "--version") {
      say("wavwrap " WAVWRAP_VERSION "\n");
      return k_exit_success;
    }
  }
  if (args.size() != 4) {
    usage();
    return k_exit_usage;
  }
  const char* const input_path = args[1];
  const char* const output_path = args[2];
  if (writes_to_standard_output(output_path)) g_message_fd = STDERR_FILENO;

  const auto rate = wavwrap::parse_rate(args[3]);
  if (!rate)
    return refuse("Invalid rate: expected a whole number from 1 to 2147483647\n", k_exit_usage);

  auto input = open_input(input_path);
  if (!input) return refuse("Can't open input\n");
  const auto input_info = wavwrap::describe(input->get());
  if (!input_info) return refuse_with_reason("Can't read input", input_info.error());
  if (input_info->kind == FileKind::directory) return refuse("Can't open input\n");

  auto opened = open_output(output_path);
  if (!opened) return refuse("Can't open output\n");
  FileDescriptor output = std::move(opened->fd);
  // Until the output is truncated, a failure may remove only a file this run created.
  const auto abandon_output = [&](int error) {
    if (opened->created) (void)::unlink(output_path);
    return refuse_with_reason("Can't write output", error);
  };
  const auto output_info = wavwrap::describe(output.get());
  if (!output_info) return abandon_output(output_info.error());
  if (output_info->kind == FileKind::terminal)
    return refuse("Refusing to write audio to a terminal\n");
  if (output_info->same_file_as(*input_info)) return refuse("Input and output are the same file\n");
  if (output_info->kind == FileKind::regular) {
    // Standard output was opened, and truncated if need be, by the caller.
    const bool named_output = output_path != k_standard_stream;
    if (named_output) {
      if (auto truncated = wavwrap::truncate_to(output.get(), 0); !truncated) {
        return abandon_output(truncated.error());
      }
    }
    own_output(named_output ? output_path : nullptr, output.get(), *output_info);
  }

  if (input_info->length) {
    const wavwrap::WavHeader header{.sample_rate = *rate, .data_length = *input_info->length};
    if (auto written = wavwrap::write_all(output.get(), header.to_bytes().bytes()); !written) {
      return fail_writing("Can't write output", written.error());
    }
    if (auto copied = wavwrap::copy_exact(input->get(), output.get(), header.data_length);
        !copied) {
      return fail_copying(copied.error());
    }
  } else if (int status = write_stream(*rate, input->get(), output.get(), *output_info);
             status != k_exit_success) {
    return status;
  }
  if (auto closed = output.close(); !closed)
    return fail_writing("Can't write output", closed.error());
  return k_exit_success;
}
