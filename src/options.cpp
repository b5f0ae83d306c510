#include "options.hpp"

#include <getopt.h>

#include <array>

#include "rate.hpp"

namespace wavwrap {
namespace {

// Long options without a short one.
constexpr int k_version = 256;
constexpr int k_fsync = 257;

constexpr std::array<option, 6> k_long_options = {{
    {"channels", required_argument, nullptr, 'c'},
    {"format", required_argument, nullptr, 'f'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, k_version},
    {"fsync", no_argument, nullptr, k_fsync},
    {nullptr, 0, nullptr, 0},
}};

// '+': stop at the first argument that is not an option. ':': report a
// missing value as ':' and print nothing; the caller words the messages.
constexpr const char* k_short_options = "+:c:f:h";

// The option as the user wrote it, without any "=value".
std::string_view written_option(std::string_view word, int short_option) {
  if (word.starts_with("--")) return word.substr(0, word.find('='));
  static std::array<char, 3> dash_letter{};
  dash_letter = {'-', static_cast<char>(short_option), '\0'};
  return {dash_letter.data(), 2};
}

}  // namespace

std::expected<Options, OptionError> parse_options(std::span<char*> args) {
  Options options;
  std::optional<OptionError> problem;
  const int argc = static_cast<int>(args.size());
  optind = 0;  // glibc: start afresh
  opterr = 0;
  int c = 0;
  while ((c = getopt_long(argc, args.data(), k_short_options, k_long_options.data(), nullptr)) !=
         -1) {
    if (problem) continue;  // read on to find OUTPUT, but report the first problem only
    const std::string_view word = args[static_cast<std::size_t>(optind - 1)];
    switch (c) {
      case 'c':
        if (auto n = parse_whole_number(optarg, k_max_channels)) {
          options.channels = static_cast<std::uint16_t>(*n);
        } else {
          problem = OptionError{OptionProblem::invalid_channels, optarg};
        }
        break;
      case 'f':
        if (auto format = find_sample_format(optarg)) {
          options.format = *format;
        } else {
          problem = OptionError{OptionProblem::unknown_format, optarg};
        }
        break;
      case 'h':
        options.action = Action::help;
        return options;
      case k_version:
        options.action = Action::version;
        return options;
      case k_fsync:
        options.sync = true;
        break;
      case ':':
        problem = OptionError{OptionProblem::missing_value, written_option(word, optopt)};
        break;
      default:
        // getopt names a known long option given a value it does not take in optopt.
        problem =
            OptionError{word.starts_with("--") && optopt != 0 ? OptionProblem::unexpected_value
                                                              : OptionProblem::unknown_option,
                        written_option(word, optopt)};
        break;
    }
  }
  options.positionals = args.subspan(static_cast<std::size_t>(std::min(optind, argc)));
  if (problem) {
    if (options.positionals.size() == 3) problem->output_path = options.positionals[1];
    return std::unexpected(*problem);
  }
  return options;
}

std::string_view options_help() {
  return R"(Puts a RIFF/WAVE header in front of raw audio samples.

  wavwrap [OPTIONS] INPUT OUTPUT RATE

INPUT and OUTPUT are files, or - for standard input and output. RATE is the
number of frames per second, a whole number from 1 to 2147483647.

Options:
  -c, --channels N     interleaved channels, from 1 to 65535 (default 1)
  -f, --format NAME    how INPUT's samples are stored (default u8)
      --fsync          flush the output to the disk before it is put in place
  -h, --help           print this help and exit
      --version        print the version and exit

Formats (stored as they are, or converted on the way to their WAV form):
)";
}

}  // namespace wavwrap
