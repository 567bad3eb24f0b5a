#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "rtl/export.h"
#include "rtl/sysutils.h"

namespace rtl {

class TObject;
struct TClassInfo;

// The kinds a published property can have; a property of any other C++ type does
// not compile.
enum class TTypeKind { Integer, Boolean, Text, Enumeration, Set, Colour, TextList };

// The names of an enumeration's values, by ordinal. Made once per type by RTL_ENUM.
struct TEnumInfo {
  std::string Name;
  std::vector<std::string> Names;
};

// An RGB colour, 0xRRGGBB; its text is "#RRGGBB".
struct TColor {
  std::uint32_t Value = 0;
  friend bool operator==(TColor, TColor) = default;
};

using TTextList = std::vector<std::string>;

namespace detail {
template <class E>
concept PublishedEnum = std::is_enum_v<E> && requires(E* e) {
  { RtlEnumInfoOf(e) } -> std::same_as<const TEnumInfo&>;
  { RtlEnumCountOf(e) } -> std::same_as<std::size_t>;
};
}  // namespace detail

// A set of an enumeration's values, one bit per ordinal.
template <detail::PublishedEnum E>
class TSet {
 public:
  static_assert(RtlEnumCountOf(static_cast<E*>(nullptr)) <= 64,
                "a set holds enumerations of at most 64 values");
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> items) {
    for (E item : items) Include(item);
  }
  static constexpr TSet FromBits(std::uint64_t bits) {
    TSet set;
    set.bits_ = bits;
    return set;
  }
  constexpr TSet& Include(E item) {
    bits_ |= Bit(item);
    return *this;
  }
  constexpr TSet& Exclude(E item) {
    bits_ &= ~Bit(item);
    return *this;
  }
  constexpr bool Contains(E item) const { return (bits_ & Bit(item)) != 0; }
  constexpr std::uint64_t Bits() const { return bits_; }
  friend bool operator==(const TSet&, const TSet&) = default;

 private:
  static constexpr std::uint64_t Bit(E item) {
    return std::uint64_t{1} << static_cast<unsigned>(item);
  }
  std::uint64_t bits_ = 0;
};

// An enumeration value or a set travels with its enumeration, so it can be shown
// by name and refused by a property of another enumeration.
struct TEnumValue {
  const TEnumInfo* Type = nullptr;
  int Ordinal = 0;
  friend bool operator==(const TEnumValue&, const TEnumValue&) = default;
};
struct TSetValue {
  const TEnumInfo* Type = nullptr;
  std::uint64_t Bits = 0;
  friend bool operator==(const TSetValue&, const TSetValue&) = default;
};

// A property's value; the alternatives are in TTypeKind's order.
using TValue = std::variant<int, bool, std::string, TEnumValue, TSetValue, TColor, TTextList>;

inline TTypeKind KindOf(const TValue& value) {
  return static_cast<TTypeKind>(value.index());
}

// The type of a published property: its kind and, for an enumeration or a set, the
// enumeration.
struct TPropertyType {
  TTypeKind Kind = TTypeKind::Integer;
  const TEnumInfo* Enum = nullptr;
};

// "Integer", "Boolean", "Text", "Colour", "Text list", the enumeration's name, or
// "set of" it.
RTL_API std::string TypeName(const TPropertyType& type);
// Integers in decimal, "True"/"False", enumerations by value name, sets as
// "[alTop,alClient]", colours as "#RRGGBB", text lists one line per item.
RTL_API std::string ToText(const TValue& value);
// The inverse of ToText for that type. Colours also take a plain integer; booleans
// and value names are matched without regard to case. Raises Exception naming the
// type and the text when the text is not one.
RTL_API TValue FromText(const TPropertyType& type, std::string_view text);

// A published property: read and written through the class's own getter and setter.
struct TPublishedProperty {
  const char* Name = nullptr;
  TPropertyType Type;
  TValue (*Get)(const TObject* self) = nullptr;
  // Called only with a value of the property's type, checked in range.
  void (*Set)(TObject* self, const TValue& value) = nullptr;
  TValue Default;
};

// The class's properties, inherited ones first in declaration order; a property
// published again under the same name takes the inherited one's place.
RTL_API std::vector<const TPublishedProperty*> GetPropList(const TClassInfo* cls);
// The property of that exact name, or nullptr.
RTL_API const TPublishedProperty* FindProp(const TClassInfo* cls, std::string_view name);
// Raise Exception naming the class and the property when it is not published.
RTL_API TValue GetPropValue(const TObject& object, std::string_view name);
// A text value written to a property of another type is parsed as that type. A
// value of another type, a text that does not parse or an out-of-range value raises
// Exception naming the class, the property, the expected type and the value, and the
// setter is not called.
RTL_API void SetPropValue(TObject& object, std::string_view name, const TValue& value);

namespace detail {

template <class>
inline constexpr bool kUnsupported = false;

template <class T>
struct PropertyTraits {
  static_assert(kUnsupported<T>,
                "a published property is int, bool, std::string, an RTL_ENUM enumeration, "
                "an rtl::TSet of one, rtl::TColor or rtl::TTextList");
};
template <class T, TTypeKind K>
struct PlainTraits {
  static constexpr TPropertyType Type() { return {K, nullptr}; }
  static TValue ToValue(const T& v) { return TValue(std::in_place_index<std::size_t(K)>, v); }
  // By reference: a setter taking const std::string& or a list then copies nothing.
  static const T& FromValue(const TValue& v) { return std::get<std::size_t(K)>(v); }
};
template <>
struct PropertyTraits<int> : PlainTraits<int, TTypeKind::Integer> {};
template <>
struct PropertyTraits<bool> : PlainTraits<bool, TTypeKind::Boolean> {};
template <>
struct PropertyTraits<std::string> : PlainTraits<std::string, TTypeKind::Text> {};
template <>
struct PropertyTraits<TColor> : PlainTraits<TColor, TTypeKind::Colour> {};
template <>
struct PropertyTraits<TTextList> : PlainTraits<TTextList, TTypeKind::TextList> {};

template <PublishedEnum E>
struct PropertyTraits<E> {
  static TPropertyType Type() {
    return {TTypeKind::Enumeration, &RtlEnumInfoOf(static_cast<E*>(nullptr))};
  }
  static TValue ToValue(E v) { return TEnumValue{Type().Enum, static_cast<int>(v)}; }
  static E FromValue(const TValue& v) { return static_cast<E>(std::get<TEnumValue>(v).Ordinal); }
};
template <class E>
struct PropertyTraits<TSet<E>> {
  static TPropertyType Type() { return {TTypeKind::Set, PropertyTraits<E>::Type().Enum}; }
  static TValue ToValue(const TSet<E>& v) { return TSetValue{Type().Enum, v.Bits()}; }
  static TSet<E> FromValue(const TValue& v) {
    return TSet<E>::FromBits(std::get<TSetValue>(v).Bits);
  }
};

template <auto Getter>
struct GetterOf {
  static_assert(kUnsupported<decltype(Getter)>,
                "a property's getter is a const member function without arguments");
};
template <class C, class R, R (C::*Getter)() const>
struct GetterOf<Getter> {
  using Class = C;
  using Type = std::remove_cvref_t<R>;
  static TValue Call(const TObject* self) {
    return PropertyTraits<Type>::ToValue((static_cast<const C*>(self)->*Getter)());
  }
};

template <auto Setter>
struct SetterOf {
  static_assert(kUnsupported<decltype(Setter)>,
                "a property's setter is a member function returning void with one argument");
};
template <class C, class A, void (C::*Setter)(A)>
struct SetterOf<Setter> {
  using Type = std::remove_cvref_t<A>;
  template <class T>
  static void Call(TObject* self, const TValue& value) {
    (static_cast<C*>(self)->*Setter)(PropertyTraits<T>::FromValue(value));
  }
};

template <auto Getter, auto Setter, class... D>
TPublishedProperty MakeProperty(const char* name, D&&... initial) {
  using T = typename GetterOf<Getter>::Type;
  static_assert(std::is_same_v<T, typename SetterOf<Setter>::Type>,
                "a property's setter takes the type its getter returns");
  using Traits = PropertyTraits<T>;
  return TPublishedProperty{name, Traits::Type(), &GetterOf<Getter>::Call,
                            &SetterOf<Setter>::template Call<T>,
                            Traits::ToValue(T{std::forward<D>(initial)...})};
}

RTL_API TEnumInfo MakeEnumInfo(const char* name, const char* names,
                               std::initializer_list<int> ordinals);

}  // namespace detail

}  // namespace rtl

// Declares an enumeration a property can have, with its value names, at namespace
// scope: RTL_ENUM(TAlign, alNone, alTop, alClient). The values count from 0.
#define RTL_ENUM(Type, ...)                                              \
  enum Type : int { __VA_ARGS__ };                                       \
  constexpr std::size_t RtlEnumCountOf(Type*) {                          \
    return std::initializer_list<Type>{__VA_ARGS__}.size();              \
  }                                                                      \
  inline const ::rtl::TEnumInfo& RtlEnumInfoOf(Type*) {                  \
    static const ::rtl::TEnumInfo info =                                 \
        ::rtl::detail::MakeEnumInfo(#Type, #__VA_ARGS__, {__VA_ARGS__}); \
    return info;                                                         \
  }

// An item of RTL_DEFINE_CLASS: a property published with its getter, its setter and
// its default (the arguments of the type's constructor; none for an empty value),
// e.g. RTL_PROPERTY(TGauge, Value, GetValue, SetValue, 0). The type is the getter's;
// a getter or setter of another type or signature, or a type that is not published,
// fails to compile with a static_assert saying what is expected.
#define RTL_PROPERTY(Self, Name, Getter, Setter, ...) \
  RTL_PROPERTY_NAMED(Self, #Name, Getter, Setter __VA_OPT__(, ) __VA_ARGS__)
// The same under a name that is no identifier, such as "Font.Height".
#define RTL_PROPERTY_NAMED(Self, Name, Getter, Setter, ...) \
  ::rtl::detail::MakeProperty<&Self::Getter, &Self::Setter>(Name __VA_OPT__(, ) __VA_ARGS__)
