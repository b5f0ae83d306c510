#include "options.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using wavwrap::Action;
using wavwrap::OptionProblem;

// getopt wants writable strings; these live as long as the parse result.
struct CommandLine {
  explicit CommandLine(std::vector<std::string> words) : words_(std::move(words)) {
    pointers_.push_back(program_.data());
    for (auto& w : words_) pointers_.push_back(w.data());
    pointers_.push_back(nullptr);
  }
  auto parse() {
    return wavwrap::parse_options(std::span<char*>(pointers_.data(), pointers_.size() - 1));
  }

 private:
  std::string program_ = "wavwrap";
  std::vector<std::string> words_;
  std::vector<char*> pointers_;
};

std::string joined(const std::vector<std::string>& words) {
  std::string out;
  for (const auto& w : words) out += "[" + w + "]";
  return out;
}

TEST(Options, AcceptedForms) {
  struct Case {
    std::vector<std::string> words;
    std::string_view format;
    std::uint16_t channels;
    std::vector<std::string> positionals;
  };
  const Case cases[] = {
      {{"in", "out", "8000"}, "u8", 1, {"in", "out", "8000"}},
      {{"-c", "2", "-f", "s16le", "in", "out", "48000"}, "s16le", 2, {"in", "out", "48000"}},
      {{"-c2", "-fs16be", "in", "out", "1"}, "s16be", 2, {"in", "out", "1"}},
      {{"--channels=6", "--format", "f32le", "a", "b", "c"}, "f32le", 6, {"a", "b", "c"}},
      {{"--chan", "3", "--form=alaw", "a", "b", "c"}, "alaw", 3, {"a", "b", "c"}},  // prefixes
      {{"-c", "65535", "a", "b", "c"}, "u8", 65535, {"a", "b", "c"}},
      {{"-c", " +7", "a", "b", "c"}, "u8", 7, {"a", "b", "c"}},
      {{"-f", "s8", "-f", "mulaw", "a", "b", "c"}, "mulaw", 1, {"a", "b", "c"}},  // last wins
      // Options end at the first argument that is not one, and at "--".
      {{"in", "out", "-5"}, "u8", 1, {"in", "out", "-5"}},
      {{"in", "-c", "2"}, "u8", 1, {"in", "-c", "2"}},
      {{"--", "-c.raw", "out", "8000"}, "u8", 1, {"-c.raw", "out", "8000"}},
      {{"-", "-", "8000"}, "u8", 1, {"-", "-", "8000"}},
      {{"-c", "2", "-", "out", "8000"}, "u8", 2, {"-", "out", "8000"}},
      {{}, "u8", 1, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.words));
    CommandLine line(c.words);
    const auto parsed = line.parse();
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->action, Action::convert);
    EXPECT_EQ(parsed->format.name, c.format);
    EXPECT_EQ(parsed->channels, c.channels);
    EXPECT_EQ(std::vector<std::string>(parsed->positionals.begin(), parsed->positionals.end()),
              c.positionals);
  }
}

TEST(Options, HelpAndVersion) {
  const std::pair<std::vector<std::string>, Action> cases[] = {
      {{"-h"}, Action::help},
      {{"--help"}, Action::help},
      {{"-c", "2", "--help", "in"}, Action::help},
      {{"--version"}, Action::version},
      {{"--vers"}, Action::version},
  };
  for (const auto& [words, action] : cases) {
    SCOPED_TRACE(joined(words));
    CommandLine line(words);
    const auto parsed = line.parse();
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->action, action);
  }
}

TEST(Options, RefusedFormsSayWhatAndWhere) {
  struct Case {
    std::vector<std::string> words;
    OptionProblem problem;
    std::string argument;
    const char* output;  // OUTPUT as the error reports it
  };
  const Case cases[] = {
      {{"-x", "in", "out", "8000"}, OptionProblem::unknown_option, "-x", "out"},
      {{"--bogus", "in", "-", "8000"}, OptionProblem::unknown_option, "--bogus", "-"},
      {{"--bogus=1"}, OptionProblem::unknown_option, "--bogus", nullptr},
      {{"--help=yes"}, OptionProblem::unexpected_value, "--help", nullptr},
      {{"-c"}, OptionProblem::missing_value, "-c", nullptr},
      {{"-c", "2", "-f"}, OptionProblem::missing_value, "-f", nullptr},
      {{"--format"}, OptionProblem::missing_value, "--format", nullptr},
      {{"-f", "s16", "in", "out", "8000"}, OptionProblem::unknown_format, "s16", "out"},
      {{"-f", "S16LE", "a", "b", "c"}, OptionProblem::unknown_format, "S16LE", "b"},
      {{"-f", "", "a", "b", "c"}, OptionProblem::unknown_format, "", "b"},
      {{"-c", "0", "a", "b", "c"}, OptionProblem::invalid_channels, "0", "b"},
      {{"-c", "65536", "a", "b", "c"}, OptionProblem::invalid_channels, "65536", "b"},
      {{"-c", "2x", "a", "b", "c"}, OptionProblem::invalid_channels, "2x", "b"},
      {{"-c", "-1", "a", "b", "c"}, OptionProblem::invalid_channels, "-1", "b"},
      {{"-c", "", "a", "b", "c"}, OptionProblem::invalid_channels, "", "b"},
      // The first problem is the one reported; OUTPUT is still found.
      {{"-c", "0", "-x", "a", "b", "c"}, OptionProblem::invalid_channels, "0", "b"},
      {{"-x", "-h"}, OptionProblem::unknown_option, "-x", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(joined(c.words));
    CommandLine line(c.words);
    const auto parsed = line.parse();
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().problem, c.problem);
    EXPECT_EQ(parsed.error().argument, c.argument);
    if (c.output == nullptr) {
      EXPECT_EQ(parsed.error().output_path, nullptr);
    } else {
      ASSERT_NE(parsed.error().output_path, nullptr);
      EXPECT_STREQ(parsed.error().output_path, c.output);
    }
  }
}

}  // namespace
