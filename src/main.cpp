// wavwrap [OPTIONS] INPUT OUTPUT RATE: puts a RIFF/WAVE header in front of
// raw samples, converting them on the way where WAV stores them otherwise.
//
// One run is one straight road: arguments, layout, input, output, header,
// copy, close. Every failure ends the run with a message and a non-zero
// status, and never leaves a partial output file behind.
//
// Exit statuses: 0 the output is complete; 1 a file could not be used; 2 the
// command line was refused. Refusals come before any output exists and are
// followed by the usage text; failures later print their line alone.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstring>
#include <initializer_list>
#include <span>
#include <string_view>

#include "file_copy.hpp"
#include "options.hpp"
#include "rate.hpp"
#include "sample_format.hpp"
#include "wav_header.hpp"

namespace {

using wavwrap::FileDescriptor;
using wavwrap::FileInfo;
using wavwrap::FileKind;
using wavwrap::Layout;

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

// One line of text, built without the heap and said in one write.
class Line {
 public:
  Line& operator<<(std::string_view text) {
    const std::size_t n = std::min(text.size(), text_.size() - 1 - length_);
    std::copy_n(text.data(), n, text_.data() + length_);
    length_ += n;
    return *this;
  }
  Line& operator<<(std::uint64_t number) {
    std::array<char, 24> digits{};
    const auto end = std::to_chars(digits.begin(), digits.end(), number).ptr;
    return *this << std::string_view(digits.data(), end);
  }
  // Spaces up to `column`, for tables.
  Line& pad_to(std::size_t column) {
    while (length_ < std::min(column, text_.size() - 1)) text_[length_++] = ' ';
    return *this;
  }
  void say_it() {
    text_[length_++] = '\n';
    say({text_.data(), length_});
  }

 private:
  std::array<char, 256> text_{};
  std::size_t length_ = 0;
};

// "WHAT: REASON\n"; error 0 is an input that ended early.
void say_failure(std::string_view what, int error) {
  const std::string_view reason = error == 0 ? "input ended early" : std::strerror(error);
  (Line() << what << ": " << reason).say_it();
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
// header, whose sizes say "read to the end". Sets `copied` to the data length.
int write_stream(const Layout& layout, wavwrap::Transform transform, int input, int output,
                 const FileInfo& output_info, std::uint64_t& copied) {
  const auto placeholder = wavwrap::streaming_header(layout);
  if (auto written = wavwrap::write_all(output, placeholder.bytes()); !written) {
    return fail_writing("Can't write output", written.error());
  }
  const auto data = wavwrap::copy_to_end(input, output, wavwrap::CopyMethod::fastest, transform);
  if (!data) return fail_copying(data.error());
  copied = *data;
  const bool seekable = output_info.kind == FileKind::regular && !output_info.appends;
  if (!seekable) return k_exit_success;

  const wavwrap::WavHeader header{.layout = layout, .data_length = *data};
  const std::uint64_t start = output_info.position;
  if (header.needs_rf64()) {
    auto reader = wavwrap::reopen_for_reading(output);
    if (!reader) return fail_writing("Can't write output", reader.error());
    if (auto moved =
            wavwrap::shift_forward(reader->get(), output, start + placeholder.bytes().size(), *data,
                                   wavwrap::k_ds64_chunk_length);
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

// What a refused command line is told.
int refuse_options(const wavwrap::OptionError& error) {
  using wavwrap::OptionProblem;
  Line line;
  switch (error.problem) {
    case OptionProblem::unknown_option:
      line << "Unknown option: " << error.argument;
      break;
    case OptionProblem::missing_value:
      line << "Missing value for " << error.argument;
      break;
    case OptionProblem::unexpected_value:
      line << "Option " << error.argument << " takes no value";
      break;
    case OptionProblem::unknown_format:
      line << "Unknown format: " << error.argument << " (wavwrap --help lists the formats)";
      break;
    case OptionProblem::invalid_channels:
      line << "Invalid channel count: expected a whole number from 1 to "
           << std::uint64_t{wavwrap::k_max_channels};
      break;
  }
  line.say_it();
  usage();
  return k_exit_usage;
}

int refuse_layout(wavwrap::LayoutError error, const Layout& layout) {
  Line line;
  if (error == wavwrap::LayoutError::frame_too_large) {
    line << "Frames too large: " << layout.block_align() << " bytes (a WAV header holds at most "
         << wavwrap::k_max_block_align << ")";
  } else {
    line << "Byte rate too high: " << layout.byte_rate()
         << " bytes per second (a WAV header holds at most " << wavwrap::k_max_byte_rate << ")";
  }
  line.say_it();
  usage();
  return k_exit_usage;
}

void help() {
  usage();
  say(wavwrap::options_help());
  for (const auto& format : wavwrap::sample_formats()) {
    Line line;
    line << "  " << format.name;
    line.pad_to(10) << format.description;
    line.pad_to(42);
    if (format.is_stored()) {
      line << "stored";
    } else {
      line << "converted to " << format.wav_form;
    }
    line.say_it();
  }
}

}  // namespace

int main(int argc, char** argv) {
  keep_standard_descriptors_open();

  const auto options =
      wavwrap::parse_options(std::span<char*>(argv, static_cast<std::size_t>(argc)));
  if (!options) {
    if (options.error().output_path != nullptr &&
        writes_to_standard_output(options.error().output_path))
      g_message_fd = STDERR_FILENO;
    return refuse_options(options.error());
  }
  if (options->action == wavwrap::Action::help) {
    help();
    return k_exit_success;
  }
  if (options->action == wavwrap::Action::version) {
    say("wavwrap " WAVWRAP_VERSION "\n");
    return k_exit_success;
  }
  const std::span<char*> args = options->positionals;
  if (args.size() != 3) {
    usage();
    return k_exit_usage;
  }
  const char* const input_path = args[0];
  const char* const output_path = args[1];
  if (writes_to_standard_output(output_path)) g_message_fd = STDERR_FILENO;

  const auto rate = wavwrap::parse_rate(args[2]);
  if (!rate)
    return refuse("Invalid rate: expected a whole number from 1 to 2147483647\n", k_exit_usage);
  const wavwrap::SampleFormat& format = options->format;
  const Layout layout{.encoding = format.encoding,
                      .sample_bytes = format.bytes,
                      .channels = options->channels,
                      .sample_rate = *rate};
  if (auto fits = wavwrap::check_layout(layout); !fits) return refuse_layout(fits.error(), layout);
  const wavwrap::Transform transform{.unit = format.bytes,
                                     .apply = wavwrap::kernel_for(format.conversion)};

  auto input = open_input(input_path);
  if (!input) return refuse("Can't open input\n");
  const auto input_info = wavwrap::describe(input->get());
  if (!input_info) return refuse_with_reason("Can't read input", input_info.error());
  if (input_info->kind == FileKind::directory) return refuse("Can't open input\n");
  // A length that is not whole frames is almost always a wrong format or
  // channel count, and a file can be converted again once that is put right.
  if (input_info->length && *input_info->length % layout.block_align() != 0) {
    (Line() << "Input length " << *input_info->length << " bytes is not a whole number of "
            << layout.block_align() << "-byte frames")
        .say_it();
    usage();
    return k_exit_failure;
  }

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
    const wavwrap::WavHeader header{.layout = layout, .data_length = *input_info->length};
    if (auto written = wavwrap::write_all(output.get(), header.to_bytes().bytes()); !written) {
      return fail_writing("Can't write output", written.error());
    }
    if (auto copied = wavwrap::copy_exact(input->get(), output.get(), header.data_length,
                                          wavwrap::CopyMethod::fastest, transform);
        !copied) {
      return fail_copying(copied.error());
    }
  } else {
    std::uint64_t copied = 0;
    if (int status =
            write_stream(layout, transform, input->get(), output.get(), *output_info, copied);
        status != k_exit_success) {
      return status;
    }
    // The stream's bytes cannot be read again: every one is kept, and the
    // user is told that the last frame is incomplete.
    if (const std::uint64_t rest = copied % layout.block_align(); rest != 0) {
      (Line() << "Warning: input ended within a frame: the last " << rest
              << " bytes are less than one " << layout.block_align() << "-byte frame")
          .say_it();
    }
  }
  if (auto closed = output.close(); !closed)
    return fail_writing("Can't write output", closed.error());
  return k_exit_success;
}
