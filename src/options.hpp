// The command line: options first, then INPUT OUTPUT RATE.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

#include "sample_format.hpp"

namespace wavwrap {

enum class Action { convert, help, version };

struct Options {
  Action action = Action::convert;
  SampleFormat format = *find_sample_format(k_default_format_name);
  std::uint16_t channels = 1;
  bool sync = false;             // --fsync
  std::span<char*> positionals;  // everything after the options
};

enum class OptionProblem {
  unknown_option,
  missing_value,
  unexpected_value,  // "--help=yes"
  unknown_format,
  invalid_channels,
};

struct OptionError {
  OptionProblem problem;
  std::string_view argument;  // the option, or the value that was refused
  // OUTPUT, where the arguments still tell it, so that the caller can keep
  // its message out of audio bound for standard output; null otherwise.
  const char* output_path = nullptr;
};

inline constexpr std::uint16_t k_max_channels = 0xFFFF;

// Parses `args` (the program name first) POSIX style, with getopt_long:
// options end at "--" or at the first argument that is not one, and "-"
// alone is an argument. Not reentrant: getopt keeps its state in globals.
[[nodiscard]] std::expected<Options, OptionError> parse_options(std::span<char*> args);

// The text after "Usage: ..." that --help prints: the options and the formats.
[[nodiscard]] std::string_view options_help();

}  // namespace wavwrap
