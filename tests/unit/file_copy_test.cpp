#include "file_copy.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using wavwrap::CopyMethod;
using wavwrap::FileDescriptor;
using wavwrap::Side;

std::vector<std::byte> pattern(std::size_t n) {
  std::vector<std::byte> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::byte>((i * 7 + (i >> 9)) & 0xFF);
  return out;
}

class CopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = ::testing::TempDir() + "wavwrap-copy-XXXXXX";
    ASSERT_NE(::mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override { (void)std::system(("rm -rf '" + dir_ + "'").c_str()); }

  std::string path(const char* name) const { return dir_ + "/" + name; }

  FileDescriptor file_with(const std::vector<std::byte>& bytes) {
    FileDescriptor fd(::open(path("in").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
    EXPECT_TRUE(wavwrap::write_all(fd.get(), bytes).has_value());
    ::lseek(fd.get(), 0, SEEK_SET);
    return fd;
  }
  FileDescriptor empty_file(const char* name = "out") {
    return FileDescriptor(::open(path(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600));
  }
  static std::vector<std::byte> contents(int fd) {
    std::vector<std::byte> out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(::pread(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    return out;
  }

  std::string dir_;
};

struct Pipe {
  FileDescriptor read_end, write_end;
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_end = FileDescriptor(fds[0]);
    write_end = FileDescriptor(fds[1]);
  }
};

// Sizes that straddle the plain loop's buffer and the pipe's capacity.
constexpr std::size_t k_sizes[] = {0, 1, 4095, 65536, 131073, 1 << 20};

// Both ways to copy, exactly a count after a header and to the end of input.
TEST_F(CopyTest, FileToFileOnEveryMethod) {
  for (CopyMethod method : {CopyMethod::fastest, CopyMethod::plain_only}) {
    for (std::size_t n : k_sizes) {
      SCOPED_TRACE(std::to_string(n) + " bytes, method " + std::to_string(int(method)));
      const auto data = pattern(n);
      auto in = file_with(data);
      auto out = empty_file();
      ASSERT_TRUE(wavwrap::write_all(out.get(), std::as_bytes(std::span("hdr", 3))).has_value());
      ASSERT_TRUE(wavwrap::copy_exact(in.get(), out.get(), n, method).has_value());
      auto got = contents(out.get());
      ASSERT_EQ(got.size(), n + 3);
      EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + 3));

      ::lseek(in.get(), 0, SEEK_SET);
      auto whole = empty_file("whole");
      const auto copied = wavwrap::copy_to_end(in.get(), whole.get(), method);
      ASSERT_TRUE(copied.has_value());
      EXPECT_EQ(*copied, n);
      EXPECT_EQ(contents(whole.get()), data);
    }
  }
}

// File into a pipe (sendfile), pipe into a file (splice), pipe into a pipe.
TEST_F(CopyTest, ThroughPipesOnEveryMethod) {
  for (CopyMethod method : {CopyMethod::fastest, CopyMethod::plain_only}) {
    for (const bool from_pipe : {false, true}) {
      for (const bool to_pipe : {false, true}) {
        if (!from_pipe && !to_pipe) continue;
        SCOPED_TRACE(std::string(from_pipe ? "pipe" : "file") + " to " +
                     (to_pipe ? "pipe" : "file") + ", method " + std::to_string(int(method)));
        const auto data = pattern(1 << 20);
        Pipe in_pipe, out_pipe;
        auto in_file = file_with(data);
        auto out_file = empty_file();
        std::thread feeder, drainer;
        std::vector<std::byte> drained;
        if (from_pipe) {
          feeder = std::thread([&] {
            EXPECT_TRUE(wavwrap::write_all(in_pipe.write_end.get(), data).has_value());
            (void)in_pipe.write_end.close();
          });
        }
        if (to_pipe) {
          drainer = std::thread([&] {
            std::byte block[65536];
            ssize_t n;
            while ((n = ::read(out_pipe.read_end.get(), block, sizeof block)) > 0) {
              drained.insert(drained.end(), block, block + n);
            }
          });
        }
        const int in = from_pipe ? in_pipe.read_end.get() : in_file.get();
        const int out = to_pipe ? out_pipe.write_end.get() : out_file.get();
        EXPECT_TRUE(wavwrap::copy_exact(in, out, data.size(), method).has_value());
        (void)out_pipe.write_end.close();
        if (feeder.joinable()) feeder.join();
        if (drainer.joinable()) drainer.join();
        EXPECT_EQ(to_pipe ? drained : contents(out_file.get()), data);
      }
    }
  }
}

TEST_F(CopyTest, FailuresNameTheSideThatFailed) {
  for (CopyMethod method : {CopyMethod::fastest, CopyMethod::plain_only}) {
    SCOPED_TRACE("method " + std::to_string(int(method)));
    const auto data = pattern(1000);

    auto in = file_with(data);
    auto out = empty_file();
    auto ended = wavwrap::copy_exact(in.get(), out.get(), data.size() + 1, method);
    ASSERT_FALSE(ended.has_value());
    EXPECT_EQ(ended.error().side, Side::input);
    EXPECT_EQ(ended.error().error, 0);  // ended early, not an errno

    FileDescriptor full(::open("/dev/full", O_WRONLY));
    ASSERT_GE(full.get(), 0);
    ::lseek(in.get(), 0, SEEK_SET);
    auto no_space = wavwrap::copy_exact(in.get(), full.get(), data.size(), method);
    ASSERT_FALSE(no_space.has_value());
    EXPECT_EQ(no_space.error().side, Side::output);
    EXPECT_EQ(no_space.error().error, ENOSPC);

    FileDescriptor write_only(::open(path("in").c_str(), O_WRONLY));
    auto unreadable = wavwrap::copy_exact(write_only.get(), out.get(), 10, method);
    ASSERT_FALSE(unreadable.has_value());
    EXPECT_EQ(unreadable.error().side, Side::input);
    EXPECT_EQ(unreadable.error().error, EBADF);
  }
}

TEST_F(CopyTest, ShiftForwardMovesEveryByteWithoutLosingAny) {
  // Lengths below, at and across the block size, so the last block is partial.
  for (std::size_t n :
       {std::size_t{1}, std::size_t{35}, std::size_t{131072}, std::size_t{131072 * 3 + 17}}) {
    SCOPED_TRACE(std::to_string(n) + " bytes");
    auto data = pattern(44 + n);
    auto file = file_with(data);
    auto writer = FileDescriptor(::open(path("in").c_str(), O_WRONLY));
    ASSERT_TRUE(wavwrap::shift_forward(file.get(), writer.get(), 44, n, 36).has_value());
    const auto got = contents(file.get());
    ASSERT_EQ(got.size(), 80 + n);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 44, data.begin()));  // the header's room
    EXPECT_TRUE(std::equal(got.begin() + 80, got.end(), data.begin() + 44));
  }
}

TEST_F(CopyTest, OutputOpensWithoutTruncatingAndSaysWhetherItCreated) {
  auto first = wavwrap::open_for_writing(path("new").c_str());
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(first->created);
  ASSERT_TRUE(wavwrap::write_all(first->fd.get(), pattern(10)).has_value());
  auto again = wavwrap::open_for_writing(path("new").c_str());
  ASSERT_TRUE(again.has_value());
  EXPECT_FALSE(again->created);
  EXPECT_EQ(::lseek(again->fd.get(), 0, SEEK_END), 10);  // not truncated
  ASSERT_EQ(::symlink("missing-target", path("dangling").c_str()), 0);
  auto through_link = wavwrap::open_for_writing(path("dangling").c_str());
  ASSERT_TRUE(through_link.has_value());
  EXPECT_TRUE(through_link->created);
  EXPECT_EQ(::access(path("missing-target").c_str(), F_OK), 0);
}

// A transform sees whole units only, however the input arrives: here a pipe
// fed in pieces of sizes that split units, and a file. Bytes that end the
// input within a unit come out unchanged.
TEST_F(CopyTest, TransformCarriesUnitsAcrossReads) {
  const auto reverse_triples = [](std::span<std::byte> units) {
    ASSERT_EQ(units.size() % 3, 0u);
    for (std::size_t i = 0; i < units.size(); i += 3) std::swap(units[i], units[i + 2]);
  };
  const wavwrap::Transform transform{.unit = 3, .apply = +reverse_triples};
  for (std::size_t n : {std::size_t{0}, std::size_t{2}, std::size_t{3}, std::size_t{131072},
                        std::size_t{(1 << 20) + 2}}) {
    const auto data = pattern(n);
    auto expected = data;
    for (std::size_t i = 0; i + 3 <= n; i += 3) std::swap(expected[i], expected[i + 2]);
    for (const bool from_pipe : {false, true}) {
      SCOPED_TRACE(std::to_string(n) + " bytes from a " + (from_pipe ? "pipe" : "file"));
      Pipe in_pipe;
      auto in_file = file_with(data);
      std::thread feeder;
      if (from_pipe) {
        feeder = std::thread([&] {
          std::span<const std::byte> rest(data);
          for (std::size_t piece = 1; !rest.empty(); piece = piece * 3 + 1) {
            const std::size_t k = std::min(piece % 70001, rest.size());
            EXPECT_TRUE(wavwrap::write_all(in_pipe.write_end.get(), rest.first(k)).has_value());
            rest = rest.subspan(k);
          }
          (void)in_pipe.write_end.close();
        });
      }
      auto out = empty_file();
      const int in = from_pipe ? in_pipe.read_end.get() : in_file.get();
      const auto copied = wavwrap::copy_to_end(in, out.get(), CopyMethod::fastest, transform);
      if (feeder.joinable()) feeder.join();
      ASSERT_TRUE(copied.has_value());
      EXPECT_EQ(*copied, n);
      EXPECT_EQ(contents(out.get()), expected);
    }
    // An exact count through a transform.
    auto in = file_with(data);
    auto out = empty_file("exact");
    ASSERT_TRUE(wavwrap::copy_exact(in.get(), out.get(), n, CopyMethod::fastest, transform));
    EXPECT_EQ(contents(out.get()), expected);
  }
}

}  // namespace
