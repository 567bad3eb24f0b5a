#include "rtl/properties.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "module_internal.h"
#include "rtl/object.h"
#include "rtl/package.h"

namespace rtl {

namespace {

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The whole text must be the number: "12 " or "0x1" are no integers.
template <class N>
std::optional<N> ParseNumber(std::string_view text, int base = 10) {
  N number{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number, base);
  if (text.empty() || error != std::errc{} || stop != end) return std::nullopt;
  return number;
}

std::optional<int> OrdinalOf(const TEnumInfo& type, std::string_view name) {
  for (std::size_t i = 0; i < type.Names.size(); ++i) {
    if (SameText(type.Names[i], name)) return static_cast<int>(i);
  }
  return std::nullopt;
}

std::optional<std::uint64_t> ParseSet(const TEnumInfo& type, std::string_view text) {
  if (text.size() < 2 || text.front() != '[' || text.back() != ']') return std::nullopt;
  const std::string inner = Trim(text.substr(1, text.size() - 2));
  std::uint64_t bits = 0;
  for (std::string_view rest = inner; !inner.empty();) {
    const std::size_t comma = rest.find(',');
    const auto ordinal = OrdinalOf(type, Trim(rest.substr(0, comma)));
    if (!ordinal) return std::nullopt;
    bits |= std::uint64_t{1} << *ordinal;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return bits;
}

std::optional<TColor> ParseColour(std::string_view text) {
  const std::optional<std::uint32_t> value = text.starts_with('#') && text.size() == 7
                                                 ? ParseNumber<std::uint32_t>(text.substr(1), 16)
                                                 : ParseNumber<std::uint32_t>(text);
  if (!value || *value > 0xFFFFFF) return std::nullopt;
  return TColor{*value};
}

TTextList SplitLines(std::string_view text) {
  TTextList lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    lines.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::optional<TValue> ParseValue(const TPropertyType& type, std::string_view text) {
  switch (type.Kind) {
    case TTypeKind::Integer:
      if (auto n = ParseNumber<int>(text)) return TValue(*n);
      return std::nullopt;
    case TTypeKind::Boolean:
      if (SameText(text, "True")) return TValue(true);
      if (SameText(text, "False")) return TValue(false);
      return std::nullopt;
    case TTypeKind::Text:
      return TValue(std::string(text));
    case TTypeKind::Enumeration:
      if (auto ordinal = OrdinalOf(*type.Enum, text)) return TEnumValue{type.Enum, *ordinal};
      return std::nullopt;
    case TTypeKind::Set:
      if (auto bits = ParseSet(*type.Enum, text)) return TSetValue{type.Enum, *bits};
      return std::nullopt;
    case TTypeKind::Colour:
      if (auto colour = ParseColour(text)) return TValue(*colour);
      return std::nullopt;
    case TTypeKind::TextList:
      return TValue(SplitLines(text));
  }
  return std::nullopt;
}

// Enumerations declared in two modules are the same when their names are: an inline
// function's static need not be one object across shared libraries.
bool SameEnum(const TEnumInfo* a, const TEnumInfo* b) {
  return a == b || (a != nullptr && b != nullptr && a->Name == b->Name && a->Names == b->Names);
}

// Whether the value may be handed to the property's setter as it is.
bool Fits(const TPropertyType& type, const TValue& value) {
  if (KindOf(value) != type.Kind) return false;
  if (const auto* e = std::get_if<TEnumValue>(&value)) {
    return SameEnum(e->Type, type.Enum) && e->Ordinal >= 0 &&
           static_cast<std::size_t>(e->Ordinal) < type.Enum->Names.size();
  }
  if (const auto* s = std::get_if<TSetValue>(&value)) {
    const std::size_t count = type.Enum->Names.size();
    return SameEnum(s->Type, type.Enum) && (count >= 64 || (s->Bits >> count) == 0);
  }
  if (const auto* c = std::get_if<TColor>(&value)) return c->Value <= 0xFFFFFF;
  return true;
}

// A value is shown for an error even when it is out of its own type's range.
std::string Describe(const TValue& value) {
  if (const auto* e = std::get_if<TEnumValue>(&value)) {
    if (e->Type == nullptr || e->Ordinal < 0 ||
        static_cast<std::size_t>(e->Ordinal) >= e->Type->Names.size()) {
      return "ordinal " + std::to_string(e->Ordinal);
    }
  }
  if (const auto* s = std::get_if<TSetValue>(&value); s != nullptr && s->Type == nullptr) {
    return "bits " + std::to_string(s->Bits);
  }
  if (const auto* c = std::get_if<TColor>(&value); c != nullptr && c->Value > 0xFFFFFF) {
    return std::to_string(c->Value);
  }
  return ToText(value);
}

TPropertyType TypeOfValue(const TValue& value) {
  TPropertyType type{KindOf(value), nullptr};
  if (const auto* e = std::get_if<TEnumValue>(&value)) type.Enum = e->Type;
  if (const auto* s = std::get_if<TSetValue>(&value)) type.Enum = s->Type;
  return type;
}

const TPublishedProperty& PropOf(const TObject& object, std::string_view name) {
  const TPublishedProperty* prop = FindProp(object.ClassType(), name);
  if (prop == nullptr) {
    throw Exception("Class %s has no published property '%s'", {object.ClassName(), name});
  }
  return *prop;
}

// The class and its ancestors, each as it declares its properties.
std::vector<const TPublishedProperty*> WalkPropList(const TClassInfo* cls) {
  if (cls == nullptr) return {};
  std::vector<const TPublishedProperty*> list = WalkPropList(cls->Parent);
  for (std::size_t i = 0; i < cls->PropertyCount; ++i) {
    const TPublishedProperty* own = &cls->Properties[i];
    auto same = [&](const TPublishedProperty* p) { return std::string_view(p->Name) == own->Name; };
    if (auto it = std::find_if(list.begin(), list.end(), same); it != list.end()) {
      *it = own;
    } else {
      list.push_back(own);
    }
  }
  return list;
}

const TPublishedProperty* WalkFindProp(const TClassInfo* cls, std::string_view name) {
  for (const TClassInfo* c = cls; c != nullptr; c = c->Parent) {
    for (std::size_t i = 0; i < c->PropertyCount; ++i) {
      if (c->Properties[i].Name == name) return &c->Properties[i];
    }
  }
  return nullptr;
}

// What GetPropList and FindProp answer for one class, worked out once: the form
// reader and the property editor ask for every property they write or show, and a
// walk up the ancestors compares names all the way.
struct PropTable {
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view name) const noexcept {
      return std::hash<std::string_view>{}(name);
    }
  };

  explicit PropTable(const TClassInfo* cls) : list(WalkPropList(cls)) {
    // The nearest class first, and the first of a name within it, as the walk finds.
    for (const TClassInfo* c = cls; c != nullptr; c = c->Parent) {
      for (std::size_t i = 0; i < c->PropertyCount; ++i) {
        byName.emplace(c->Properties[i].Name, &c->Properties[i]);
      }
    }
  }

  const TPublishedProperty* Find(std::string_view name) const {
    const auto it = byName.find(name);
    return it != byName.end() ? it->second : nullptr;
  }

  std::vector<const TPublishedProperty*> list;
  std::unordered_map<std::string, const TPublishedProperty*, NameHash, std::equal_to<>> byName;
};

// A module that stays mapped until it leaves the module list, which clears the
// cache: the main program, or a module in the list.
bool StaysUntilUnlisted(const void* address) {
  const HMODULE module = ModuleFromAddress(address);
  return module != 0 && (module == MainInstance() || detail::IsRegisteredModule(module));
}

// Only a class whose descriptors and property tables all lie in such modules is
// cached. A descriptor on the stack or the heap, or in a library opened behind the
// loader's back, can be gone without a word, and another class can take its address
// with other properties: such classes are walked every time.
bool Cacheable(const TClassInfo* cls) {
  for (const TClassInfo* c = cls; c != nullptr; c = c->Parent) {
    if (!StaysUntilUnlisted(c)) return false;
    if (c->PropertyCount != 0 && !StaysUntilUnlisted(c->Properties)) return false;
  }
  return true;
}

// The tables by descriptor address. Any change to the module list clears them all:
// loads and unloads are rare, and a cleared table is rebuilt on its next use.
class PropTableCache {
 public:
  // Calls use with the class's table and returns true; false when the class is not
  // cached and has to be walked.
  template <class F>
  bool Use(const TClassInfo* cls, F&& use) {
    std::uint64_t generation = 0;
    {
      const std::lock_guard lock(mutex_);
      if (const auto it = tables_.find(cls); it != tables_.end()) {
        if (it->second == nullptr) return false;
        use(*it->second);
        return true;
      }
      generation = generation_;
    }
    // Not under the lock: dladdr takes the dynamic linker's lock, which is held while
    // an unmapped library's destructor takes it out of the module list and so clears
    // this cache.
    auto table = Cacheable(cls) ? std::make_unique<const PropTable>(cls) : nullptr;
    const std::lock_guard lock(mutex_);
    // A module that left the list meanwhile may have taken the class with it.
    if (generation != generation_) return false;
    const auto& entry = tables_.try_emplace(cls, std::move(table)).first->second;
    if (entry == nullptr) return false;
    use(*entry);
    return true;
  }

  void Clear() {
    const std::lock_guard lock(mutex_);
    tables_.clear();
    ++generation_;
  }

 private:
  std::mutex mutex_;
  // Null for a class that is walked every time.
  std::unordered_map<const TClassInfo*, std::unique_ptr<const PropTable>> tables_;
  std::uint64_t generation_ = 0;
};

// Never destroyed: libraries leave the module list from their destructors, which may
// run after this library's static destructors.
PropTableCache& PropertyTables() {
  static auto* cache = new PropTableCache();
  return *cache;
}

}  // namespace

namespace detail {

void ForgetPropertyTables() {
  PropertyTables().Clear();
}

}  // namespace detail

std::string TypeName(const TPropertyType& type) {
  const std::string enumName = type.Enum != nullptr ? type.Enum->Name : "?";
  switch (type.Kind) {
    case TTypeKind::Integer:
      return "Integer";
    case TTypeKind::Boolean:
      return "Boolean";
    case TTypeKind::Text:
      return "Text";
    case TTypeKind::Enumeration:
      return enumName;
    case TTypeKind::Set:
      return "set of " + enumName;
    case TTypeKind::Colour:
      return "Colour";
    case TTypeKind::TextList:
      return "Text list";
  }
  return "?";
}

std::string ToText(const TValue& value) {
  struct Visitor {
    std::string operator()(int n) const { return std::to_string(n); }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(const TEnumValue& e) const {
      const bool known = e.Type != nullptr && e.Ordinal >= 0 &&
                         static_cast<std::size_t>(e.Ordinal) < e.Type->Names.size();
      return known ? e.Type->Names[static_cast<std::size_t>(e.Ordinal)] : std::to_string(e.Ordinal);
    }
    std::string operator()(const TSetValue& s) const {
      std::string text = "[";
      for (std::size_t i = 0; s.Type != nullptr && i < s.Type->Names.size() && i < 64; ++i) {
        if ((s.Bits >> i & 1) == 0) continue;
        if (text.size() > 1) text += ',';
        text += s.Type->Names[i];
      }
      return text + "]";
    }
    std::string operator()(TColor c) const {
      char text[16];
      std::snprintf(text, sizeof text, "#%06X", static_cast<unsigned>(c.Value));
      return text;
    }
    std::string operator()(const TTextList& lines) const {
      std::string text;
      for (const std::string& line : lines) text += (text.empty() ? "" : "\n") + line;
      return text;
    }
  };
  return std::visit(Visitor{}, value);
}

TValue FromText(const TPropertyType& type, std::string_view text) {
  if (std::optional<TValue> value = ParseValue(type, text)) return *std::move(value);
  throw Exception("'%s' is not a valid %s", {text, TypeName(type)});
}

std::vector<const TPublishedProperty*> GetPropList(const TClassInfo* cls) {
  if (cls == nullptr) return {};
  std::vector<const TPublishedProperty*> list;
  if (PropertyTables().Use(cls, [&](const PropTable& table) { list = table.list; })) return list;
  return WalkPropList(cls);
}

const TPublishedProperty* FindProp(const TClassInfo* cls, std::string_view name) {
  if (cls == nullptr) return nullptr;
  const TPublishedProperty* found = nullptr;
  if (PropertyTables().Use(cls, [&](const PropTable& table) { found = table.Find(name); })) {
    return found;
  }
  return WalkFindProp(cls, name);
}

TValue GetPropValue(const TObject& object, std::string_view name) {
  return PropOf(object, name).Get(&object);
}

void SetPropValue(TObject& object, std::string_view name, const TValue& value) {
  const TPublishedProperty& prop = PropOf(object, name);
  if (Fits(prop.Type, value)) return prop.Set(&object, value);
  const auto* text = std::get_if<std::string>(&value);
  if (text == nullptr) {
    throw Exception("Cannot set %s.%s: expected %s, got the %s %s",
                    {object.ClassName(), prop.Name, TypeName(prop.Type),
                     TypeName(TypeOfValue(value)), Describe(value)});
  }
  std::optional<TValue> parsed = ParseValue(prop.Type, *text);
  if (!parsed) {
    throw Exception("Cannot set %s.%s: '%s' is not a valid %s",
                    {object.ClassName(), prop.Name, *text, TypeName(prop.Type)});
  }
  prop.Set(&object, *parsed);
}

namespace detail {

TEnumInfo MakeEnumInfo(const char* name, const char* names, std::initializer_list<int> ordinals) {
  TEnumInfo info{name, {}};
  std::string_view rest(names);
  for (int expected = 0; !rest.empty(); ++expected) {
    const std::size_t comma = rest.find(',');
    info.Names.push_back(Trim(rest.substr(0, comma)));
    const bool counts = static_cast<std::size_t>(expected) < ordinals.size() &&
                        ordinals.begin()[expected] == expected;
    if (!counts || info.Names.back().find('=') != std::string::npos) {
      throw Exception("RTL_ENUM %s: value '%s' is not %d; published values count from 0",
                      {name, info.Names.back(), expected});
    }
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  return info;
}

}  // namespace detail

}  // namespace rtl
