// The output file's whole life: opening or creating it, refusing to write
// over the input, putting a finished file in place, discarding a failed one,
// and what the terminating signals do.
//
// The rules:
// - A regular file written from an input of known length is built beside
//   the old one, unnamed (O_TMPFILE) or under a hidden name, and put in place
//   only once every byte is written and the file closed: a new name by
//   linking it, an existing one by exchanging the two (RENAME_EXCHANGE), after
//   which the old file is removed. Until then the old output is untouched,
//   and after any failure or signal it is still there and nothing else is.
//   The new file takes the old one's permission bits, and owner and group
//   where the process may set them. Through a symbolic link the link's target
//   is replaced.
// - Written in place instead, as a stream's output always is: a file with
//   more than one hard link (replacing it would split the links), a dangling
//   symbolic link, a folder where no file can be created beside the output.
//   The run opens the file without truncating it, checks it is not the input,
//   then truncates it, unless the run created it. A failure removes it.
// - Standard output was opened by the caller: a failure cuts a regular file
//   back to where the run started. Devices and pipes are written and left.
// - Signals (SIGINT, SIGTERM, SIGHUP): a run whose input has a known length
//   is abandoned as after a failure, and ends by the signal. A stream's first
//   signal ends its input instead: what was read is written and the header
//   mended as at the end of input; a second one ends the run at once, leaving
//   the file with its streaming header.
#pragma once

#include <expected>
#include <string_view>

#include "file_copy.hpp"

namespace wavwrap {

enum class OutputProblem {
  cant_open,  // cannot be created or opened for writing
  terminal,   // audio would go to a terminal
  same_file,  // it is the input
  failed,     // a system call failed once the output was open: see `error`
};

struct OutputError {
  OutputProblem problem;
  int error = 0;
};

struct OutputRequest {
  const char* path = nullptr;  // null: standard output
  FileInfo input;              // for the same-file check
  bool replace_whole = false;  // the input has a known length
  bool sync = false;           // flush data and folder to the disk before reporting success
};

// One per run: the signal handlers act on it.
class OutputFile {
 public:
  [[nodiscard]] static std::expected<OutputFile, OutputError> open(const OutputRequest& request);

  OutputFile(OutputFile&&) noexcept = default;
  OutputFile& operator=(OutputFile&&) = delete;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() = default;

  [[nodiscard]] int fd() const { return fd_.get(); }
  // The file written to: where the run's bytes start, whether it appends.
  [[nodiscard]] const FileInfo& info() const { return info_; }

  // From here on a first signal ends `input` (a stream) instead of the run.
  void end_input_on_signal(int input);

  // Defers the signals until the run ends: for steps that must not stop half-way.
  static void hold_signals();

  // Every byte is written: put the file in place, or close it. A failure
  // discards the output first, unless `in_place` says the new file was
  // already in place when it came (the folder's flush under --fsync).
  struct CommitError {
    int error;
    bool in_place = false;
  };
  [[nodiscard]] std::expected<void, CommitError> commit();

  // After a failure: the old output back as it was, or the partial one removed.
  void discard();

  // After a successful commit: the name under which the replaced file was
  // left, where it could not be removed (and leftover_error() says why); empty
  // otherwise.
  [[nodiscard]] std::string_view leftover() const;
  [[nodiscard]] int leftover_error() const { return leftover_error_; }

 private:
  OutputFile() = default;

  FileDescriptor fd_;
  FileInfo info_;
  bool sync_ = false;
  int leftover_error_ = 0;
};

}  // namespace wavwrap
