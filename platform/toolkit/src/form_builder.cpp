#include "form_builder.h"

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>

#include "form_parser.h"
#include "form_private.h"
#include "rtl/sysutils.h"
#include "toolkit/comctrls.h"
#include "toolkit/dialogs.h"
#include "toolkit/extctrls.h"
#include "toolkit/stdctrls.h"

namespace toolkit {

namespace {

using form::Position;
using form::Property;
using form::Value;

struct Context {
  const std::string& fileName;
  TForm& form;
  rtl::TClass formClass;

  [[noreturn]] void Fail(Position position, std::string_view message) const {
    form::RaiseAt(fileName, position, message);
  }
};

// The form is still being constructed: its own ClassName would say TForm.
std::string ClassOf(const Context& context, const rtl::TComponent& target) {
  if (&target == &context.form) return rtl::ClassName(context.formClass).ToString();
  return target.ClassName().ToString();
}

// ---------------------------------------------------------------------------
// Reading values: the description's values become the property's, with messages
// that speak of the description's kinds.

[[noreturn]] void WrongKind(const Context& context, const rtl::TComponent& target,
                            const Property& property, Value::Kind expected) {
  context.Fail(property.value.position,
               rtl::Format("%s of %s expects %s, found %s",
                           {property.name, ClassOf(context, target), Value::KindName(expected),
                            property.value.KindName()}));
}

// The character sets a description names; an integer is taken as it is.
std::optional<int> CharsetNamed(std::string_view name) {
  static const std::pair<std::string_view, int> charsets[] = {
      {"ANSI_CHARSET", 0},      {"DEFAULT_CHARSET", 1},    {"SYMBOL_CHARSET", 2},
      {"MAC_CHARSET", 77},      {"SHIFTJIS_CHARSET", 128}, {"HANGEUL_CHARSET", 129},
      {"JOHAB_CHARSET", 130},   {"GB2312_CHARSET", 134},   {"CHINESEBIG5_CHARSET", 136},
      {"GREEK_CHARSET", 161},   {"TURKISH_CHARSET", 162},  {"VIETNAMESE_CHARSET", 163},
      {"HEBREW_CHARSET", 177},  {"ARABIC_CHARSET", 178},   {"BALTIC_CHARSET", 186},
      {"RUSSIAN_CHARSET", 204}, {"THAI_CHARSET", 222},     {"EASTEUROPE_CHARSET", 238},
      {"OEM_CHARSET", 255}};
  for (const auto& [known, number] : charsets) {
    if (known == name) return number;
  }
  return std::nullopt;
}

int IntegerOf(const Context& context, const rtl::TComponent& target, const Property& property) {
  if (const form::Identifier* word = property.value.AsIdentifier();
      word != nullptr && property.name == "Font.Charset") {
    if (std::optional<int> number = CharsetNamed(word->name)) return *number;
    context.Fail(property.value.position,
                 rtl::Format("%s of %s: unknown character set %s",
                             {property.name, ClassOf(context, target), word->name}));
  }
  const std::int64_t* value = property.value.AsInteger();
  if (value == nullptr) WrongKind(context, target, property, Value::Kind::Integer);
  if (*value < INT_MIN || *value > INT_MAX) {
    context.Fail(property.value.position,
                 rtl::Format("%s of %s is out of range: %s",
                             {property.name, ClassOf(context, target), std::to_string(*value)}));
  }
  return static_cast<int>(*value);
}

bool BooleanOf(const Context& context, const rtl::TComponent& target, const Property& property) {
  const bool* value = property.value.AsBoolean();
  if (value == nullptr) WrongKind(context, target, property, Value::Kind::Boolean);
  return *value;
}

const std::string& StringOf(const Context& context, const rtl::TComponent& target,
                            const Property& property) {
  const std::string* value = property.value.AsString();
  if (value == nullptr) WrongKind(context, target, property, Value::Kind::String);
  return *value;
}

rtl::TTextList StringListOf(const Context& context, const rtl::TComponent& target,
                            const Property& property) {
  const form::List* list = property.value.AsList();
  if (list == nullptr) WrongKind(context, target, property, Value::Kind::List);
  rtl::TTextList items;
  for (const Value& item : list->items) {
    const std::string* text = item.AsString();
    if (text == nullptr) {
      context.Fail(item.position,
                   rtl::Format("%s of %s holds strings, found %s",
                               {property.name, ClassOf(context, target), item.KindName()}));
    }
    items.push_back(*text);
  }
  return items;
}

// "a, b, c" or, with a last word, "a, b or c".
std::string NamesOf(const rtl::TEnumInfo& type, std::string_view last = {}) {
  std::string names;
  for (std::size_t i = 0; i < type.Names.size(); ++i) {
    if (i > 0) names += !last.empty() && i + 1 == type.Names.size() ? std::string(last) : ", ";
    names += type.Names[i];
  }
  return names;
}

std::optional<int> OrdinalOf(const rtl::TEnumInfo& type, std::string_view name) {
  for (std::size_t i = 0; i < type.Names.size(); ++i) {
    if (type.Names[i] == name) return static_cast<int>(i);
  }
  return std::nullopt;
}

rtl::TEnumValue EnumOf(const Context& context, const rtl::TComponent& target,
                       const Property& property, const rtl::TEnumInfo& type) {
  const form::Identifier* word = property.value.AsIdentifier();
  if (word == nullptr) WrongKind(context, target, property, Value::Kind::Identifier);
  if (std::optional<int> ordinal = OrdinalOf(type, word->name)) return {&type, *ordinal};
  context.Fail(property.value.position,
               rtl::Format("%s of %s expects one of %s, found %s",
                           {property.name, ClassOf(context, target), NamesOf(type), word->name}));
}

rtl::TSetValue SetOf(const Context& context, const rtl::TComponent& target,
                     const Property& property, const rtl::TEnumInfo& type) {
  const form::List* list = property.value.AsList();
  if (list == nullptr) WrongKind(context, target, property, Value::Kind::List);
  rtl::TSetValue set{&type, 0};
  for (const Value& item : list->items) {
    const form::Identifier* word = item.AsIdentifier();
    const std::optional<int> ordinal = word != nullptr ? OrdinalOf(type, word->name) : std::nullopt;
    if (!ordinal) {
      context.Fail(item.position,
                   rtl::Format("%s of %s holds %s, found %s",
                               {property.name, ClassOf(context, target), NamesOf(type, " or "),
                                word != nullptr ? word->name : std::string(item.KindName())}));
    }
    set.Bits |= std::uint64_t{1} << *ordinal;
  }
  return set;
}

// Colours: the system colours are what Qt's own palette already uses for the same
// parts, so they change nothing; a fixed colour (by name or as $00BBGGRR) is set.
std::optional<rtl::TColor> ColourOf(const Context& context, const rtl::TComponent& target,
                                    const Property& property) {
  static const std::pair<std::string_view, int> fixed[] = {
      {"clBlack", 0x000000}, {"clMaroon", 0x000080},  {"clGreen", 0x008000},
      {"clOlive", 0x008080}, {"clNavy", 0x800000},    {"clPurple", 0x800080},
      {"clTeal", 0x808000},  {"clGray", 0x808080},    {"clSilver", 0xC0C0C0},
      {"clRed", 0x0000FF},   {"clLime", 0x00FF00},    {"clYellow", 0x00FFFF},
      {"clBlue", 0xFF0000},  {"clFuchsia", 0xFF00FF}, {"clAqua", 0xFFFF00},
      {"clWhite", 0xFFFFFF}};
  static const std::string_view system[] = {
      "clBtnFace", "clWindow",   "clWindowText", "clBtnText", "clHighlight", "clHighlightText",
      "clInfoBk",  "clInfoText", "clDefault",    "clNone",    "clMenu",      "clMenuText"};
  auto fromBgr = [](std::int64_t bgr) {
    const auto rgb = ((bgr & 0xFF) << 16) | (bgr & 0xFF00) | ((bgr >> 16) & 0xFF);
    return rtl::TColor{static_cast<std::uint32_t>(rgb)};
  };
  if (const std::int64_t* number = property.value.AsInteger()) {
    if (*number < 0 || *number > 0xFFFFFF) {
      context.Fail(property.value.position,
                   rtl::Format("%s of %s: %s is not a colour",
                               {property.name, ClassOf(context, target), std::to_string(*number)}));
    }
    return fromBgr(*number);
  }
  const form::Identifier* word = property.value.AsIdentifier();
  if (word == nullptr) WrongKind(context, target, property, Value::Kind::Identifier);
  for (const auto& [name, bgr] : fixed) {
    if (name == word->name) return fromBgr(bgr);
  }
  for (std::string_view name : system) {
    if (name == word->name) return std::nullopt;
  }
  context.Fail(property.value.position,
               rtl::Format("%s of %s: unknown colour %s",
                           {property.name, ClassOf(context, target), word->name}));
}

// The description's value as one of the property's type; nothing for a value that
// leaves the property as it is.
std::optional<rtl::TValue> ValueOf(const Context& context, const rtl::TComponent& target,
                                   const Property& property, const rtl::TPropertyType& type) {
  switch (type.Kind) {
    case rtl::TTypeKind::Integer:
      return IntegerOf(context, target, property);
    case rtl::TTypeKind::Boolean:
      return BooleanOf(context, target, property);
    case rtl::TTypeKind::Text:
      return StringOf(context, target, property);
    case rtl::TTypeKind::Enumeration:
      return EnumOf(context, target, property, *type.Enum);
    case rtl::TTypeKind::Set:
      return SetOf(context, target, property, *type.Enum);
    case rtl::TTypeKind::Colour:
      if (std::optional<rtl::TColor> colour = ColourOf(context, target, property)) return *colour;
      return std::nullopt;
    case rtl::TTypeKind::TextList:
      return StringListOf(context, target, property);
  }
  return std::nullopt;
}

rtl::TMethod HandlerOf(const Context& context, const Property& property,
                       const std::type_info& expected) {
  const form::Identifier* word = property.value.AsIdentifier();
  if (word == nullptr) {
    context.Fail(
        property.value.position,
        rtl::Format("%s expects the name of a method of %s, found %s",
                    {property.name, rtl::ClassName(context.formClass), property.value.KindName()}));
  }
  const std::string full = rtl::Format("%s::%s", {rtl::ClassName(context.formClass), word->name});
  const rtl::TPublishedMethod* method =
      rtl::FindPublishedMethod(context.formClass, rtl::ShortString(word->name));
  if (method == nullptr) {
    context.Fail(property.value.position,
                 rtl::Format("unknown handler %s for %s: no published method of that name",
                             {full, property.name}));
  }
  if (method->Type == nullptr || *method->Type != expected) {
    context.Fail(
        property.value.position,
        rtl::Format("%s cannot handle %s: it takes other arguments", {full, property.name}));
  }
  return rtl::TMethod{method->Code, &context.form};
}

using NotifyFunction = void (*)(rtl::TObject*, rtl::TObject*);
using CloseFunction = void (*)(rtl::TObject*, rtl::TObject*, TCloseAction&);

// ---------------------------------------------------------------------------
// Events are no properties: each is bound by name to a published method of the
// form's class, with the arguments the event passes.

struct EventDef {
  std::string_view name;
  rtl::TClass (*cls)();
  const std::type_info* type;
  rtl::TMethod& (*field)(rtl::TComponent& target);
};

template <class T, rtl::TMethod T::*Field>
rtl::TMethod& EventField(rtl::TComponent& target) {
  return static_cast<T&>(target).*Field;
}

const EventDef events[] = {
    {"OnClick", &TButton::StaticClass, &typeid(NotifyFunction),
     &EventField<TButton, &TButton::OnClick>},
    {"OnClick", &TListBox::StaticClass, &typeid(NotifyFunction),
     &EventField<TListBox, &TListBox::OnClick>},
    {"OnClose", &TForm::StaticClass, &typeid(CloseFunction), &EventField<TForm, &TForm::OnClose>},
};

const EventDef* FindEvent(const rtl::TComponent& target, std::string_view name) {
  for (const EventDef& event : events) {
    if (event.name == name && target.InheritsFrom(event.cls())) return &event;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// The classes a description may create: the toolkit's own, which are not in the
// class registry unless a package registers them, and whatever is registered.

rtl::TClass (*const toolkitClasses[])() = {
    &TButton::StaticClass,   &TLabel::StaticClass,       &TPanel::StaticClass,
    &TTabSheet::StaticClass, &TPageControl::StaticClass, &TEdit::StaticClass,
    &TMemo::StaticClass,     &TListBox::StaticClass,     &TOpenDialog::StaticClass,
};

rtl::TClass FindCreatableClass(const std::string& fileName, const form::Object& object) {
  for (auto cls : toolkitClasses) {
    if (cls()->Name == object.className) return cls();
  }
  const rtl::TClass cls = rtl::GetClass(object.className);
  if (cls == nullptr) {
    form::RaiseAt(fileName, object.position,
                  rtl::Format("unknown control class %s: no class of that name is registered "
                              "(is the package that registers it loaded?)",
                              {object.className}));
  }
  if (rtl::InheritsFrom(cls, TForm::StaticClass())) {
    form::RaiseAt(fileName, object.position,
                  rtl::Format("%s is a form: it cannot be placed in another", {object.className}));
  }
  if (cls->Create == nullptr) {
    form::RaiseAt(fileName, object.position,
                  rtl::Format("%s cannot be created: it is no component made from an owner",
                              {object.className}));
  }
  return cls;
}

}  // namespace

// ---------------------------------------------------------------------------
// FormBuilder

FormBuilder::FormBuilder(TForm& form, rtl::TClass formClass, std::string fileName)
    : form_(form), formClass_(formClass), fileName_(std::move(fileName)) {}

void FormBuilder::Fail(form::Position position, std::string_view message) const {
  form::RaiseAt(fileName_, position, message);
}

void FormBuilder::Build(const form::Object& root) {
  const std::string className = rtl::ClassName(formClass_).ToString();
  if (root.className != className) {
    Fail(root.position,
         rtl::Format("the description is of %s, not of %s", {root.className, className}));
  }
  // Two forms of one class under one owner: the second one gets a name of its own.
  std::string name = root.name;
  for (int n = 1; form_.Owner() != nullptr && form_.Owner()->FindComponent(name) != nullptr; ++n) {
    name = root.name + "_" + std::to_string(n);
  }
  form_.SetName(name);
  form_.private_->places[root.name] = {fileName_, root.position};

  ApplyProperties(root, form_);
  for (const form::Object& child : root.children) BuildChild(child, form_);
  if (rootVisible_) form_.Show();
}

void FormBuilder::BuildChild(const form::Object& object, rtl::TComponent& parent) {
  const rtl::TClass cls = FindCreatableClass(fileName_, object);
  auto* container = dynamic_cast<TWinControl*>(&parent);
  if (container == nullptr) {
    Fail(object.position,
         rtl::Format("%s %s cannot be placed on %s, a %s that holds no controls",
                     {object.className, object.name, parent.Name(), parent.ClassName()}));
  }
  // The form owns it from here, so a failure below frees it with the form.
  rtl::TComponent* component = cls->Create(&form_);
  form_.private_->places[object.name] = {fileName_, object.position};
  try {
    component->SetName(object.name);
    if (auto* control = dynamic_cast<TControl*>(component)) control->SetParent(container);
  } catch (const rtl::Exception& error) {
    Fail(object.position, error.Message());
  }
  ApplyProperties(object, *component);
  for (const form::Object& child : object.children) BuildChild(child, *component);
}

void FormBuilder::ApplyProperties(const form::Object& object, rtl::TComponent& target) {
  for (const form::Property& property : object.properties) SetProperty(property, target);
}

void FormBuilder::SetProperty(const form::Property& property, rtl::TComponent& target) {
  // The form is shown once it is complete, not while its controls are still coming.
  if (&target == &form_ && property.name == "Visible") {
    const bool* visible = property.value.AsBoolean();
    if (visible == nullptr) {
      Fail(property.value.position, rtl::Format("Visible of %s expects %s, found %s",
                                                {rtl::ClassName(formClass_),
                                                 form::Value::KindName(form::Value::Kind::Boolean),
                                                 property.value.KindName()}));
    }
    rootVisible_ = *visible;
    return;
  }
  const Context context{fileName_, form_, formClass_};
  if (const EventDef* event = FindEvent(target, property.name)) {
    event->field(target) = HandlerOf(context, property, *event->type);
    return;
  }
  // The form is still being built: only a form's properties can be set on it, those
  // its own class adds would reach members not constructed yet.
  const rtl::TPublishedProperty* published = rtl::FindProp(target.ClassType(), property.name);
  if (published == nullptr) {
    Fail(property.position,
         rtl::Format("unknown property '%s' of %s", {property.name, ClassOf(context, target)}));
  }
  const std::optional<rtl::TValue> value = ValueOf(context, target, property, published->Type);
  if (!value) return;
  try {
    // ValueOf made a value of the property's own type and range, which is all that
    // SetPropValue would look the property up again to check.
    published->Set(&target, *value);
  } catch (const rtl::Exception& error) {
    // The control refused the value (an item index past its items): placed at the value.
    Fail(property.value.position, error.Message());
  }
}

}  // namespace toolkit
