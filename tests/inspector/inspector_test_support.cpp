#include "inspector_test_support.h"

#include <gtest/gtest.h>

#include <QListWidget>
#include <filesystem>
#include <fstream>
#include <ostream>

namespace inspectortest {

ScopedExecutableModule::ScopedExecutableModule() {
  record_.Instance = rtl::MainInstance();
  rtl::RegisterModule(&record_);
}

ScopedExecutableModule::~ScopedExecutableModule() {
  rtl::UnregisterModule(&record_);
}

PackageCopy::PackageCopy(const std::string& package)
    : source_(wbtest::PackageFile(package)),
      path_(RealPath(root_.Path()) + "/lib" + package + ".so") {
  CopyFile(source_, path_);
}

void PackageCopy::Spoil() {
  std::filesystem::remove(path_);
  std::ofstream(path_, std::ios::binary) << "this is no longer a package";
}

void PackageCopy::Restore() {
  CopyFile(source_, path_);
}

std::vector<std::string> Items(const toolkit::TListBox* list) {
  return list->Items().ToVector();
}

std::vector<rtl::HMODULE> Handles(const toolkit::TListBox* list) {
  std::vector<rtl::HMODULE> handles;
  for (int i = 0; i < list->Items().Count(); ++i) handles.push_back(list->Items().Objects(i));
  return handles;
}

int IndexOf(const toolkit::TListBox* list, rtl::HMODULE module) {
  const std::vector<rtl::HMODULE> handles = Handles(list);
  for (std::size_t i = 0; i < handles.size(); ++i) {
    if (handles[i] == module) return static_cast<int>(i);
  }
  return -1;
}

MemoLines Memos(const TForm2* form) {
  return {form->Memo2->Lines().ToVector(), form->Memo1->Lines().ToVector(),
          form->Memo3->Lines().ToVector()};
}

void PrintTo(const MemoLines& lines, std::ostream* out) {
  *out << "Memo2 " << testing::PrintToString(lines.containsUnit) << ", Memo1 "
       << testing::PrintToString(lines.requiresPackage) << ", Memo3 "
       << testing::PrintToString(lines.dcpBpiName);
}

void Select(toolkit::TListBox* list, int row) {
  auto* widget = qobject_cast<QListWidget*>(list->Widget());
  if (widget == nullptr) throw rtl::Exception("Select: " + list->Name() + " has no list widget");
  widget->setCurrentRow(row);
}

}  // namespace inspectortest
