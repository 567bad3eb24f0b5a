#include "rtl/classes.h"

#include <limits>
#include <utility>

namespace rtl {

RTL_DEFINE_CLASS(TStringList)

int TStringList::Add(std::string text) {
  strings_.push_back(std::move(text));
  return Count() - 1;
}

const std::string& TStringList::Strings(int index) const {
  if (index < 0 || index >= Count()) throw Exception("List index out of bounds (%d)", {index});
  return strings_[static_cast<std::size_t>(index)];
}

TRegisterComponentsProc RegisterComponentsProc = nullptr;

void RegisterComponents(const std::string& page, std::span<const TClass> classes) {
  if (RegisterComponentsProc == nullptr) {
    throw Exception(
        "RegisterComponents: no component registration handler is installed (page \"%s\")", {page});
  }
  // The handler takes the high index as a 32-bit integer.
  if (classes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw Exception("RegisterComponents: too many classes for page \"%s\"", {page});
  }
  const auto high = static_cast<std::int32_t>(classes.size()) - 1;
  RegisterComponentsProc(page, classes.data(), high);
}

void ListAndRegisterClasses(const char* hook, const std::string& page, const TClass* classes,
                            std::int32_t high,
                            const std::function<void(const ShortString& name)>& list) {
  if (high >= 0 && classes == nullptr) {
    throw Exception("%s: page \"%s\" was given %d classes but no array", {hook, page, high + 1});
  }
  for (std::int32_t index = 0; index <= high; ++index) {
    const TClass cls = classes[index];
    if (cls == nullptr) throw Exception("%s: class %d of page \"%s\" is null", {hook, index, page});
    if (list) list(ClassName(cls));
    RegisterClass(cls);
  }
}

}  // namespace rtl
