#include "rtl/package.h"
#include "rtl/package_file.h"
#include "rtl/sysutils.h"

namespace rtl {

// Reads the file with the ELF reader alone: a description is asked for before the
// user decides to load a package, so none of its code may run (no dlopen, whose
// constructors would).
std::string GetPackageDescription(const char* fileName) {
  if (fileName == nullptr) throw Exception("GetPackageDescription: no file name given");
  std::optional<TPackageRecord> record = ReadPackageFile(fileName);
  return record ? std::move(record->description) : std::string();
}

}  // namespace rtl
