#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include "rtl/export.h"
#include "rtl/properties.h"
#include "rtl/sysutils.h"
#include "rtl/types.h"

namespace rtl {

class TObject;
class TComponent;

// A published method is reached by name at run time. Its code is a plain function
// that takes the object first; Type is the typeid of that function's pointer type,
// so a caller can refuse to call it with the wrong arguments.
struct TPublishedMethod {
  const char* Name = nullptr;
  void* Code = nullptr;
  const std::type_info* Type = nullptr;
};

// The static descriptor of a class. A class reference (TClass) points to one; it
// lives in the module that defines the class.
struct TClassInfo {
  const char* Name = nullptr;
  const TClassInfo* Parent = nullptr;
  const TPublishedMethod* Methods = nullptr;
  std::size_t MethodCount = 0;
  // Creates an instance for component classes that can be built from an owner.
  TComponent* (*Create)(TComponent* owner) = nullptr;
  // The properties this class publishes itself or publishes again.
  const TPublishedProperty* Properties = nullptr;
  std::size_t PropertyCount = 0;
};
using TClass = const TClassInfo*;

// A method reference: code and the object it runs on.
struct TMethod {
  void* Code = nullptr;
  TObject* Data = nullptr;
};

class RTL_API TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject();

  using RtlSelf = TObject;
  static TClass StaticClass();
  virtual TClass ClassType() const { return StaticClass(); }
  ShortString ClassName() const;
  bool InheritsFrom(TClass ancestor) const;
};

RTL_API ShortString ClassName(TClass cls);
RTL_API bool InheritsFrom(TClass cls, TClass ancestor);
// The published method of that exact name in the class or its nearest ancestor.
RTL_API const TPublishedMethod* FindPublishedMethod(TClass cls, const ShortString& name);
RTL_API void* MethodAddress(TClass cls, const ShortString& name);
// The published method whose code this is, searched in the class and its ancestors.
RTL_API const TPublishedMethod* PublishedMethodOf(TClass cls, const void* code);
// Calls the object's published method of that name, as a user's button would: one
// published with parameters or a result would read arguments that are not there, so
// it is refused by its signature, as a name the class does not publish is, before
// anything runs ("TGauge has no published method Reste").
RTL_API void CallPublishedMethod(TObject& object, const ShortString& name);
// Whether CallPublishedMethod would call it: it takes the object alone.
RTL_API bool CallableByName(const TPublishedMethod& method);

namespace detail {

template <auto Member>
struct MethodThunk;

template <class C, class R, class... A, R (C::*Member)(A...)>
struct MethodThunk<Member> {
  using Function = R (*)(TObject*, A...);
  static R Call(TObject* self, A... args) {
    return (static_cast<C*>(self)->*Member)(std::forward<A>(args)...);
  }
};

template <class Self>
TComponent* CreateInstance(TComponent* owner) {
  if constexpr (std::is_constructible_v<Self, TComponent*>) {
    return new Self(owner);
  } else {
    (void)owner;
    return nullptr;
  }
}

// The items of one kind among RTL_DEFINE_CLASS's, in their order.
template <class Item, class... A>
auto ItemsOf(const A&... items) {
  static_assert(
      ((std::is_same_v<A, TPublishedMethod> || std::is_same_v<A, TPublishedProperty>)&&...),
      "RTL_DEFINE_CLASS takes RTL_PUBLISH and RTL_PROPERTY items");
  constexpr std::size_t count = (std::size_t{std::is_same_v<A, Item>} + ... + 0);
  std::array<Item, count> result{};
  std::size_t next = 0;
  [[maybe_unused]] const auto take = [&](const auto& item) {
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(item)>, Item>) result[next++] = item;
  };
  (take(items), ...);
  return result;
}

template <class Self>
constexpr auto Factory() -> TComponent* (*)(TComponent*) {
  if constexpr (std::is_base_of_v<TComponent, Self> && std::is_constructible_v<Self, TComponent*>) {
    return &CreateInstance<Self>;
  } else {
    return nullptr;
  }
}

}  // namespace detail

// Publishes a member function: a wrong member pointer is a compile error.
template <auto Member>
TPublishedMethod Publish(const char* name) {
  using Thunk = detail::MethodThunk<Member>;
  return TPublishedMethod{name, reinterpret_cast<void*>(&Thunk::Call),
                          &typeid(typename Thunk::Function)};
}

// The class's descriptor, as T::StaticClass() gives it; but a class that declares no
// descriptor of its own (no RTL_CLASS in its body) does not compile, where
// StaticClass() would quietly give its parent's and the class would register under
// its parent's name.
template <class T>
TClass ClassOf() {
  static_assert(std::is_same_v<typename T::RtlSelf, T>,
                "the class declares no descriptor of its own: put RTL_CLASS(Class, Parent) in "
                "its body and RTL_DEFINE_CLASS(Class, ...) in one source file");
  return T::StaticClass();
}

// Calls a method reference with these arguments, after checking that its code was
// published with exactly this signature. Raises Exception otherwise.
template <class... A>
void InvokeMethod(const TMethod& method, A... args) {
  using Function = void (*)(TObject*, A...);
  if (method.Code == nullptr || method.Data == nullptr) {
    throw Exception("InvokeMethod: empty method reference");
  }
  const TPublishedMethod* published = PublishedMethodOf(method.Data->ClassType(), method.Code);
  if (published == nullptr || published->Type == nullptr || *published->Type != typeid(Function)) {
    throw Exception("Method %s::%s cannot be called with these arguments",
                    {method.Data->ClassName(), published ? published->Name : "?"});
  }
  reinterpret_cast<Function>(method.Code)(method.Data, std::forward<A>(args)...);
}

// Inside a class body: declares the class descriptor.
#define RTL_CLASS(Self, Parent)              \
 public:                                     \
  using inherited = Parent;                  \
  using RtlSelf = Self;                      \
  static ::rtl::TClass StaticClass();        \
  ::rtl::TClass ClassType() const override { \
    return StaticClass();                    \
  }

// In one source file of the module that defines the class: the descriptor with its
// published methods and properties, in any order, e.g.
//   RTL_DEFINE_CLASS(TForm1, RTL_PUBLISH(TForm1, Button1Click),
//                    RTL_PROPERTY(TForm1, Caption, GetCaption, SetCaption, "Form1"))
#define RTL_PUBLISH(Self, Method) ::rtl::Publish<&Self::Method>(#Method)
#define RTL_DEFINE_CLASS(Self, ...)                                                                \
  ::rtl::TClass Self::StaticClass() {                                                              \
    static const auto methods = ::rtl::detail::ItemsOf<::rtl::TPublishedMethod>(__VA_ARGS__);      \
    static const auto properties = ::rtl::detail::ItemsOf<::rtl::TPublishedProperty>(__VA_ARGS__); \
    static const ::rtl::TClassInfo info{#Self,                                                     \
                                        Self::inherited::StaticClass(),                            \
                                        methods.data(),                                            \
                                        methods.size(),                                            \
                                        ::rtl::detail::Factory<Self>(),                            \
                                        properties.data(),                                         \
                                        properties.size()};                                        \
    return &info;                                                                                  \
  }

// The class registry: by exact name (case and blanks count), constant time.
// Registering the same class again changes nothing; a different class under a
// name already taken raises Exception naming the class and both modules.
RTL_API void RegisterClass(TClass cls);
RTL_API void UnRegisterClass(TClass cls);
RTL_API TClass GetClass(std::string_view name);
RTL_API TClass FindClass(std::string_view name);  // raises when unknown
RTL_API std::size_t RegisteredClassCount();
// Removes every registered class whose descriptor lives in that module: called when
// the module is about to be unmapped.
RTL_API void UnRegisterModuleClasses(std::uintptr_t module);

class RTL_API TClassList : public TObject {
  RTL_CLASS(TClassList, TObject)
 public:
  int Add(TClass cls);
  int Count() const noexcept { return static_cast<int>(items_.size()); }
  TClass Items(int index) const;  // raises on an index out of range

 private:
  std::vector<TClass> items_;
};

}  // namespace rtl
