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

// Where the tool's own words go.
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
// it: our messages could then land in the output file. Keep 0, 1 and 2 taken.
void keep_standard_descriptors_open() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) (void)::open("/dev/null", O_RDWR);
  }
}

// The output file while this run owns its contents. If the run fails or is
// interrupted, the file goes again, so nothing is left that could pass for a
// finished conversion; devices and pipes are never removed.
const char* volatile g_owned_path = nullptr;
dev_t g_owned_device = 0;
ino_t g_owned_inode = 0;

// Removes the owned file, if the path still names it. Async-signal-safe.
void remove_owned_output() {
  const char* const path = g_owned_path;
  g_owned_path = nullptr;
  struct stat st {};
  if (path != nullptr && ::lstat(path, &st) == 0 && st.st_dev == g_owned_device &&
      st.st_ino == g_owned_inode) {
    (void)::unlink(path);
  }
}

extern "C" void on_terminating_signal(int signal_number) {
  remove_owned_output();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

void own_output(const char* path, const FileInfo& info) {
  g_owned_device = info.device;
  g_owned_inode = info.inode;
  g_owned_path = path;
  for (int signal_number : {SIGHUP, SIGINT, SIGTERM})
    ::signal(signal_number, on_terminating_signal);
}

// A failure once the header may be on its way: the reason alone, and the output goes.
int fail_writing(std::string_view what, int error) {
  remove_owned_output();
  say_failure(what, error);
  return k_exit_failure;
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

  const auto rate = wavwrap::parse_rate(args[3]);
  if (!rate)
    return refuse("Invalid rate: expected a whole number from 1 to 2147483647\n", k_exit_usage);

  auto input = wavwrap::open_for_reading(input_path);
  if (!input) return refuse("Can't open input\n");
  const auto input_info = wavwrap::describe(input->get());
  if (!input_info) return refuse_with_reason("Can't read input", input_info.error());
  if (input_info->kind == FileKind::directory) return refuse("Can't open input\n");
  if (input_info->kind != FileKind::regular)
    return refuse("Can't read input: not a regular file\n");
  if (input_info->size > wavwrap::k_riff_max_data_length) return refuse("Input too large\n");

  auto opened = wavwrap::open_for_writing(output_path);
  if (!opened) return refuse("Can't open output\n");
  FileDescriptor output = std::move(opened->fd);
  const auto output_info = wavwrap::describe(output.get());
  if (!output_info) {
    if (opened->created) (void)::unlink(output_path);
    return refuse_with_reason("Can't write output", output_info.error());
  }
  if (output_info->same_file_as(*input_info)) return refuse("Input and output are the same file\n");
  if (output_info->kind == FileKind::regular) {
    if (auto truncated = wavwrap::truncate_to(output.get(), 0); !truncated) {
      if (opened->created) (void)::unlink(output_path);
      return refuse_with_reason("Can't write output", truncated.error());
    }
    own_output(output_path, *output_info);
  }

  const wavwrap::WavHeader header{.sample_rate = *rate,
                                  .data_length = static_cast<std::uint32_t>(input_info->size)};
  if (auto written = wavwrap::write_all(output.get(), header.to_bytes()); !written) {
    return fail_writing("Can't write output", written.error());
  }
  if (auto copied = wavwrap::copy_exact(input->get(), output.get(), input_info->size); !copied) {
    const bool reading = copied.error().side == wavwrap::Side::input;
    return fail_writing(reading ? "Can't read input" : "Can't write output", copied.error().error);
  }
  if (auto closed = output.close(); !closed)
    return fail_writing("Can't write output", closed.error());
  return k_exit_success;
}
