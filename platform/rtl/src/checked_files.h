#pragma once

// The records of the package files read before, kept by the identity of each file
// as it was read. Loading a package again while its file is unchanged then costs a
// stat instead of opening and reading it; any change to the file (a write, a cut,
// another file in its place) has it read and checked anew.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rtl/export.h"
#include "rtl/package_file.h"

namespace rtl::detail {

using Record = std::shared_ptr<const TPackageRecord>;

// Nanoseconds since the epoch, as file times count them.
using Clock = std::int64_t (*)();

// Only a file that has not changed for a while is kept. File times are coarse (a
// clock tick, on some file systems a second or two): a file written in the same
// tick as the one read, in its place, could look the same. Once the times are
// older than that, whatever changes the file later gives it later times.
class CheckedFiles {
 public:
  static constexpr std::size_t kKept = 16;
  static constexpr std::int64_t kSettledNanoseconds = 2'000'000'000;

  explicit CheckedFiles(Clock clock) : clock_(clock) {}

  // The record of the file as LoadPackage checks it; null for a file without
  // package information. Raises the reader's message for any other file.
  Record Read(const std::string& fileName);
  // The clock it judges file times by; returns the one before.
  Clock SetClock(Clock clock) { return std::exchange(clock_, clock); }

 private:
  bool Settled(const TFileIdentity& identity) const;
  Record Find(const TFileIdentity& identity);
  void Keep(const TFileIdentity& identity, Record record);

  Clock clock_;
  std::vector<std::pair<TFileIdentity, Record>> files_;  // the latest first
};

// The loader's, which every read of a package file to be loaded goes through.
CheckedFiles& LoaderCheckedFiles();

// Has the loader's checked files judge by another clock than the system's, and
// returns the one before: a test moves time on instead of waiting for it.
RTL_API Clock SetCheckedFilesClock(Clock clock);

}  // namespace rtl::detail
