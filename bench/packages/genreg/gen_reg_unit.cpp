// A package whose classes are made at run time: genreg_generate(count, pages) makes
// count class descriptors named TGenReg0, TGenReg1, ..., and the registration
// procedure puts them on pages GenPage0 .. GenPage<pages-1>, in turn, one call of
// the registration routine per page. Used to time registration runs of any size.

#include <memory>
#include <string>
#include <vector>

#include "rtl/package_sdk.h"

namespace {

struct Generated {
  // The registry keeps pointers to the names and descriptors: neither may move.
  std::string names;
  std::vector<rtl::TClassInfo> classes;
  std::vector<std::vector<rtl::TClass>> pages;
};

std::unique_ptr<Generated> generated;

// Descriptors on the heap are not in the package's image, so unloading the package
// would not take them out of the registry: that is done here.
void Forget() {
  if (generated == nullptr) return;
  for (const rtl::TClassInfo& info : generated->classes) rtl::UnRegisterClass(&info);
  generated.reset();
}

}  // namespace

RTL_PACKAGE_SYMBOL void genreg_generate(int count, int pages) {
  Forget();
  if (count < 0 || pages <= 0) return;
  auto made = std::make_unique<Generated>();
  std::vector<std::size_t> offsets;
  for (int i = 0; i < count; ++i) {
    offsets.push_back(made->names.size());
    made->names += "TGenReg" + std::to_string(i);
    made->names += '\0';
  }
  made->classes.reserve(static_cast<std::size_t>(count));
  for (std::size_t offset : offsets) {
    made->classes.push_back(rtl::TClassInfo{made->names.data() + offset,
                                            rtl::TComponent::StaticClass(), nullptr, 0, nullptr});
  }
  made->pages.resize(static_cast<std::size_t>(pages));
  for (std::size_t i = 0; i < made->classes.size(); ++i) {
    made->pages[i % made->pages.size()].push_back(&made->classes[i]);
  }
  generated = std::move(made);
}

RTL_UNIT_FINALIZATION(GenReg) {
  Forget();
}

RTL_UNIT_REGISTER(GenReg) {
  if (generated == nullptr) return;
  for (std::size_t page = 0; page < generated->pages.size(); ++page) {
    rtl::RegisterComponents("GenPage" + std::to_string(page), generated->pages[page]);
  }
}
