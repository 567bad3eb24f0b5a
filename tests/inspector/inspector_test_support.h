#pragma once

#include <string>
#include <vector>

#include "Unit2.h"
#include "rtl/package.h"
#include "workbench_test_support.h"

namespace inspectortest {

// The executable in the module list for the test's lifetime, as start-up puts it.
class ScopedExecutableModule {
 public:
  ScopedExecutableModule();
  ~ScopedExecutableModule();
  ScopedExecutableModule(const ScopedExecutableModule&) = delete;
  ScopedExecutableModule& operator=(const ScopedExecutableModule&) = delete;

 private:
  rtl::TLibModule record_;
};

using testsupport::CopyFile;
using testsupport::ExecutablePath;
using testsupport::RealPath;
using testsupport::ScopedPackage;

// A copy of a test package in a directory of its own, removed with this object.
// Spoil() puts garbage at the copy's path while a loaded copy stays mapped (a new
// file, never the mapped one rewritten); Restore() puts the package back.
class PackageCopy {
 public:
  explicit PackageCopy(const std::string& package);
  PackageCopy(const PackageCopy&) = delete;
  PackageCopy& operator=(const PackageCopy&) = delete;

  const std::string& Path() const noexcept { return path_; }
  void Spoil();
  void Restore();

 private:
  std::string source_;
  testsupport::TempDir root_;
  std::string path_;
};

std::vector<std::string> Items(const toolkit::TListBox* list);
std::vector<rtl::HMODULE> Handles(const toolkit::TListBox* list);
int IndexOf(const toolkit::TListBox* list, rtl::HMODULE module);

// The three memos as the user reads them: Memo2, Memo1, Memo3.
struct MemoLines {
  std::vector<std::string> containsUnit, requiresPackage, dcpBpiName;
  friend bool operator==(const MemoLines&, const MemoLines&) = default;
};
MemoLines Memos(const TForm2* form);
void PrintTo(const MemoLines& lines, std::ostream* out);

// Selects the row as the keyboard does, so the list box runs its OnClick.
void Select(toolkit::TListBox* list, int row);

}  // namespace inspectortest
