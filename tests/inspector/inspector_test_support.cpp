#include "inspector_test_support.h"

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

PackageCopy::PackageCopy(const std::string& package, std::size_t dirLength,
                         const std::string& fileName)
    : source_(wbtest::PackageFile(package)) {
  dir_ = RealPath(root_.Path());
  if (dirLength > dir_.size() + 1) {
    dir_ += "/" + std::string(dirLength - dir_.size() - 1, 'd');
    std::filesystem::create_directory(dir_);
  }
  path_ = dir_ + "/" + (fileName.empty() ? "lib" + package + ".so" : fileName);
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

namespace {
void PrintLines(const std::vector<std::string>& lines, std::ostream* out) {
  *out << "[";
  for (std::size_t i = 0; i < lines.size(); ++i) *out << (i ? ", \"" : "\"") << lines[i] << "\"";
  *out << "]";
}
}  // namespace

void PrintTo(const MemoLines& lines, std::ostream* out) {
  *out << "Memo2 ";
  PrintLines(lines.containsUnit, out);
  *out << ", Memo1 ";
  PrintLines(lines.requiresPackage, out);
  *out << ", Memo3 ";
  PrintLines(lines.dcpBpiName, out);
}

void Select(toolkit::TListBox* list, int row) {
  auto* widget = qobject_cast<QListWidget*>(list->Widget());
  if (widget == nullptr) throw rtl::Exception("Select: " + list->Name() + " has no list widget");
  widget->setCurrentRow(row);
}

}  // namespace inspectortest
