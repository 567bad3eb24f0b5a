#include "checked_files.h"

#include <time.h>

#include <algorithm>

#include "elf_reader.h"

namespace rtl::detail {

namespace {

std::int64_t SystemClock() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

Record CheckedFiles::Read(const std::string& fileName) {
  if (const auto identity = IdentityOfFile(fileName)) {
    if (Record record = Find(*identity)) return record;
  }
  PackageFile file = ReadPackageFile(fileName, ElfCheck::Loading);
  if (!file.record) return nullptr;
  Record record = std::make_shared<const TPackageRecord>(std::move(*file.record));
  if (Settled(file.identity)) Keep(file.identity, record);
  return record;
}

bool CheckedFiles::Settled(const TFileIdentity& identity) const {
  const std::int64_t settled = clock_() - kSettledNanoseconds;
  return identity.modified < settled && identity.changed < settled;
}

Record CheckedFiles::Find(const TFileIdentity& identity) {
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (it->first == identity) {
      std::rotate(files_.begin(), it, it + 1);
      return files_.front().second;
    }
  }
  return nullptr;
}

void CheckedFiles::Keep(const TFileIdentity& identity, Record record) {
  if (files_.size() == kKept) files_.pop_back();
  files_.emplace(files_.begin(), identity, std::move(record));
}

// Never destroyed: packages still loaded at exit may be unloaded by the dynamic
// linker after this library's static destructors have run.
CheckedFiles& LoaderCheckedFiles() {
  static auto* files = new CheckedFiles(SystemClock);
  return *files;
}

Clock SetCheckedFilesClock(Clock clock) {
  return LoaderCheckedFiles().SetClock(clock != nullptr ? clock : SystemClock);
}

}  // namespace rtl::detail
