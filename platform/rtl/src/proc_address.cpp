// GetProcAddress: a module's own exports, by exact name; the names of registration
// procedures.

#include <dlfcn.h>
#include <link.h>

#include "module_internal.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace rtl {

namespace {

// A dlopen handle for a module that is already mapped, without loading anything.
class HandleFor {
 public:
  explicit HandleFor(const detail::MappedObject& object) {
    if (void* held = detail::LoadedPackageHandle(object.base)) {
      handle_ = held;
    } else if (object.isMainProgram) {
      handle_ = dlopen(nullptr, RTLD_LAZY);
      owned_ = handle_ != nullptr;
    } else if (!object.name.empty()) {
      handle_ = dlopen(object.name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
      owned_ = handle_ != nullptr;
    }
  }
  ~HandleFor() {
    if (owned_) dlclose(handle_);
  }
  HandleFor(const HandleFor&) = delete;
  HandleFor& operator=(const HandleFor&) = delete;

  void* get() const noexcept { return handle_; }

 private:
  void* handle_ = nullptr;
  bool owned_ = false;
};

}  // namespace

namespace {

constexpr std::string_view kRegistrationSuffix = "@Register$qqrv";

}  // namespace

std::string RegistrationProcName(std::string_view unit) {
  std::string name;
  name.reserve(1 + unit.size() + kRegistrationSuffix.size());
  return name.append("@").append(unit).append(kRegistrationSuffix);
}

bool IsRegistrationProcName(std::string_view name) {
  if (name.size() <= 1 + kRegistrationSuffix.size() || name.front() != '@') return false;
  if (!name.ends_with(kRegistrationSuffix)) return false;
  return name.find('@', 1) == name.size() - kRegistrationSuffix.size();
}

void* GetProcAddress(HMODULE module, const char* name) {
  if (name == nullptr) return nullptr;
  const auto object = detail::FindMappedObject(module);
  if (!object) return nullptr;
  HandleFor handle(*object);
  if (handle.get() == nullptr) return nullptr;

  std::optional<TPackageRecord> record;
  try {
    record = detail::ReadMappedRecord(*object);
  } catch (const Exception&) {
    // A module whose notes cannot be read has no usable export table; its own
    // function symbols still count.
  }
  const detail::OwnSymbols symbols(handle.get());
  if (record) {
    for (const TPackageExport& entry : record->exports) {
      if (entry.name == name) return symbols.Function(entry.symbol.c_str());
    }
  }
  return symbols.Function(name);
}

}  // namespace rtl
