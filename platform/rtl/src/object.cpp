#include "rtl/object.h"

#include <string_view>
#include <typeinfo>

#include "rtl/sysutils.h"

namespace rtl {

namespace {

// Published names are short names like every other name the object model hands out,
// so a longer entry in a method table matches by its first 255 bytes, the same cut
// a caller's name gets.
std::string_view PublishedName(const TPublishedMethod& method) {
  std::string_view name(method.Name);
  return name.substr(0, std::min(name.size(), ShortString::MaxLength));
}

}  // namespace

TObject::~TObject() = default;

TClass TObject::StaticClass() {
  static const TPublishedMethod methods[] = {TPublishedMethod{}};
  static const TClassInfo info{"TObject", nullptr, methods, 0, nullptr};
  return &info;
}

ShortString TObject::ClassName() const {
  return rtl::ClassName(ClassType());
}

bool TObject::InheritsFrom(TClass ancestor) const {
  return rtl::InheritsFrom(ClassType(), ancestor);
}

ShortString ClassName(TClass cls) {
  if (cls == nullptr) throw Exception("ClassName: no class given (null class reference)");
  return ShortString(cls->Name);
}

bool InheritsFrom(TClass cls, TClass ancestor) {
  if (ancestor == nullptr) return false;
  for (TClass c = cls; c != nullptr; c = c->Parent) {
    if (c == ancestor) return true;
  }
  return false;
}

const TPublishedMethod* FindPublishedMethod(TClass cls, const ShortString& name) {
  const std::string_view wanted = name.View();
  for (TClass c = cls; c != nullptr; c = c->Parent) {
    for (std::size_t i = 0; i < c->MethodCount; ++i) {
      const TPublishedMethod& method = c->Methods[i];
      if (method.Name != nullptr && PublishedName(method) == wanted) return &method;
    }
  }
  return nullptr;
}

void* MethodAddress(TClass cls, const ShortString& name) {
  const TPublishedMethod* method = FindPublishedMethod(cls, name);
  return method != nullptr ? method->Code : nullptr;
}

void CallPublishedMethod(TObject& object, const ShortString& name) {
  const TPublishedMethod* method = FindPublishedMethod(object.ClassType(), name);
  if (method == nullptr) {
    throw Exception("%s has no published method %s", {object.ClassName(), name});
  }
  if (!CallableByName(*method)) {
    throw Exception(
        "%s.%s takes parameters or returns a value: only a method without either can be "
        "called by name alone",
        {object.ClassName(), name});
  }
  InvokeMethod(TMethod{method->Code, &object});
}

bool CallableByName(const TPublishedMethod& method) {
  return method.Type != nullptr && *method.Type == typeid(void (*)(TObject*));
}

const TPublishedMethod* PublishedMethodOf(TClass cls, const void* code) {
  if (code == nullptr) return nullptr;
  for (TClass c = cls; c != nullptr; c = c->Parent) {
    for (std::size_t i = 0; i < c->MethodCount; ++i) {
      if (c->Methods[i].Code == code) return &c->Methods[i];
    }
  }
  return nullptr;
}

RTL_DEFINE_CLASS(TClassList)

int TClassList::Add(TClass cls) {
  items_.push_back(cls);
  return Count() - 1;
}

TClass TClassList::Items(int index) const {
  if (index < 0 || index >= Count()) throw Exception("List index out of bounds (%d)", {index});
  return items_[static_cast<std::size_t>(index)];
}

}  // namespace rtl
