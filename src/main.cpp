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
#include <cstring>
#include <span>
#include <string_view>

#include "file_copy.hpp"
#include "options.hpp"
#include "output_file.hpp"
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

int refuse(Line& line, int status) {
  line.say_it();
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

// A failure once the header may be on its way: the reason alone, and the output goes.
int fail_writing(wavwrap::OutputFile& output, std::string_view what, int error) {
  output.discard();
  say_failure(what, error);
  return k_exit_failure;
}

int fail_copying(wavwrap::OutputFile& output, const wavwrap::CopyError& error) {
  const bool reading = error.side == wavwrap::Side::input;
  return fail_writing(output, reading ? "Can't read input" : "Can't write output", error.error);
}

// Header and data for an input whose length is not known until it ends. A
// seekable output gets placeholder sizes that are mended at the end, with
// the data moved on if it outgrew RIFF; anything else keeps the streaming
// header, whose sizes say "read to the end". Sets `copied` to the data length.
int write_stream(const Layout& layout, wavwrap::Transform transform, int input,
                 wavwrap::OutputFile& output, std::uint64_t& copied) {
  const int out = output.fd();
  const auto placeholder = wavwrap::streaming_header(layout);
  if (auto written = wavwrap::write_all(out, placeholder.bytes()); !written) {
    return fail_writing(output, "Can't write output", written.error());
  }
  const auto data = wavwrap::copy_to_end(input, out, wavwrap::CopyMethod::fastest, transform);
  if (!data) return fail_copying(output, data.error());
  copied = *data;
  const FileInfo& info = output.info();
  const bool seekable = info.kind == FileKind::regular && !info.appends;
  if (!seekable) return k_exit_success;

  // Stopped half-way, the move below would leave bytes twice: let it finish.
  wavwrap::OutputFile::hold_signals();
  const wavwrap::WavHeader header{.layout = layout, .data_length = *data};
  const std::uint64_t start = info.position;
  if (header.needs_rf64()) {
    auto reader = wavwrap::reopen_for_reading(out);
    if (!reader) return fail_writing(output, "Can't write output", reader.error());
    if (auto moved = wavwrap::shift_forward(reader->get(), out, start + placeholder.bytes().size(),
                                            *data, wavwrap::k_ds64_chunk_length);
        !moved) {
      return fail_writing(output, "Can't write output", moved.error());
    }
  }
  if (auto mended = wavwrap::write_all_at(out, header.to_bytes().bytes(), start); !mended) {
    return fail_writing(output, "Can't write output", mended.error());
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
  return refuse(line, k_exit_usage);
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
  return refuse(line, k_exit_usage);
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
  auto input_info = wavwrap::describe(input->get());
  if (!input_info) return refuse_with_reason("Can't read input", input_info.error());
  if (input_info->kind == FileKind::directory) return refuse("Can't open input\n");
  // Files under /proc and the like say they are empty and are not: a regular
  // file of size 0 is read to its end, as a stream is.
  if (input_info->kind == FileKind::regular && input_info->length == 0u) input_info->length.reset();
  // A length that is not whole frames is almost always a wrong format or
  // channel count, and a file can be converted again once that is put right.
  if (input_info->length && *input_info->length % layout.block_align() != 0) {
    Line line;
    line << "Input length " << *input_info->length << " bytes is not a whole number of "
         << layout.block_align() << "-byte frames";
    return refuse(line, k_exit_failure);
  }

  const bool to_standard_output = output_path == k_standard_stream;
  if (to_standard_output && g_standard_closed[STDOUT_FILENO]) return refuse("Can't open output\n");
  auto output = wavwrap::OutputFile::open({.path = to_standard_output ? nullptr : output_path,
                                           .input = *input_info,
                                           .replace_whole = input_info->length.has_value(),
                                           .sync = options->sync});
  if (!output) {
    switch (output.error().problem) {
      case wavwrap::OutputProblem::cant_open:
        return refuse("Can't open output\n");
      case wavwrap::OutputProblem::terminal:
        return refuse("Refusing to write audio to a terminal\n");
      case wavwrap::OutputProblem::same_file:
        return refuse("Input and output are the same file\n");
      case wavwrap::OutputProblem::failed:
        return refuse_with_reason("Can't write output", output.error().error);
    }
  }
  if (!input_info->length) output->end_input_on_signal(input->get());

  if (input_info->length) {
    const wavwrap::WavHeader header{.layout = layout, .data_length = *input_info->length};
    if (auto written = wavwrap::write_all(output->fd(), header.to_bytes().bytes()); !written) {
      return fail_writing(*output, "Can't write output", written.error());
    }
    if (auto copied = wavwrap::copy_exact(input->get(), output->fd(), header.data_length,
                                          wavwrap::CopyMethod::fastest, transform);
        !copied) {
      return fail_copying(*output, copied.error());
    }
  } else {
    std::uint64_t copied = 0;
    if (int status = write_stream(layout, transform, input->get(), *output, copied);
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
  if (auto committed = output->commit(); !committed) {
    say_failure(committed.error().in_place ? "Can't flush the folder of the new output"
                                           : "Can't write output",
                committed.error().error);
    return k_exit_failure;
  }
  if (!output->leftover().empty()) {
    (Line() << "Warning: the replaced output is left as " << output->leftover() << ": "
            << std::strerror(output->leftover_error()))
        .say_it();
  }
  return k_exit_success;
}
