#include "form_builder.h"

#include <QFont>
#include <QPalette>
#include <QWidget>
#include <climits>
#include <initializer_list>
#include <typeinfo>
#include <utility>
#include <vector>

#include "form_parser.h"
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

using Setter = void (*)(const Context&, rtl::TComponent&, const Property&);

struct PropertyDef {
  std::string_view name;
  Setter set;
};
using Properties = std::vector<PropertyDef>;

// ---------------------------------------------------------------------------
// Reading values

[[noreturn]] void WrongKind(const Context& context, const rtl::TComponent& target,
                            const Property& property, Value::Kind expected) {
  context.Fail(property.value.position,
               rtl::Format("%s of %s expects %s, found %s",
                           {property.name, ClassOf(context, target), Value::KindName(expected),
                            property.value.KindName()}));
}

int IntegerOf(const Context& context, const rtl::TComponent& target, const Property& property) {
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

std::vector<std::string> StringListOf(const Context& context, const rtl::TComponent& target,
                                      const Property& property) {
  const form::List* list = property.value.AsList();
  if (list == nullptr) WrongKind(context, target, property, Value::Kind::List);
  std::vector<std::string> items;
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

template <class E>
E EnumOf(const Context& context, const rtl::TComponent& target, const Property& property,
         std::initializer_list<std::pair<std::string_view, E>> names) {
  const form::Identifier* word = property.value.AsIdentifier();
  if (word == nullptr) WrongKind(context, target, property, Value::Kind::Identifier);
  std::string known;
  for (const auto& [name, value] : names) {
    if (name == word->name) return value;
    if (!known.empty()) known += ", ";
    known += name;
  }
  context.Fail(property.value.position,
               rtl::Format("%s of %s expects one of %s, found %s",
                           {property.name, ClassOf(context, target), known, word->name}));
}

// Colours: the system colours are what Qt's own palette already uses for the same
// parts, so they change nothing; a fixed colour (by name or as $00BBGGRR) is set.
std::optional<QColor> ColourOf(const Context& context, const rtl::TComponent& target,
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
    return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                  static_cast<int>((bgr >> 16) & 0xFF));
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
// Property tables, one per class; a class also has its ancestors' properties.

TControl& AsControl(rtl::TComponent& target) {
  return static_cast<TControl&>(target);
}

void SetFont(TControl& control, const std::function<void(QFont&)>& change) {
  QFont font = control.Widget()->font();
  change(font);
  control.Widget()->setFont(font);
}

void SetColour(TControl& control, std::optional<QColor> colour, bool text) {
  if (!colour) return;
  QWidget* widget = control.Widget();
  QPalette palette = widget->palette();
  if (text) {
    palette.setColor(QPalette::WindowText, *colour);
    palette.setColor(QPalette::Text, *colour);
    palette.setColor(QPalette::ButtonText, *colour);
  } else {
    palette.setColor(QPalette::Window, *colour);
    palette.setColor(QPalette::Base, *colour);
    palette.setColor(QPalette::Button, *colour);
    widget->setAutoFillBackground(true);
  }
  widget->setPalette(palette);
}

const Properties controlProperties = {
    {"Left", [](const Context& c, rtl::TComponent& t,
                const Property& p) { AsControl(t).SetLeft(IntegerOf(c, t, p)); }},
    {"Top", [](const Context& c, rtl::TComponent& t,
               const Property& p) { AsControl(t).SetTop(IntegerOf(c, t, p)); }},
    {"Width", [](const Context& c, rtl::TComponent& t,
                 const Property& p) { AsControl(t).SetWidth(IntegerOf(c, t, p)); }},
    {"Height", [](const Context& c, rtl::TComponent& t,
                  const Property& p) { AsControl(t).SetHeight(IntegerOf(c, t, p)); }},
    {"Align",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       AsControl(t).SetAlign(EnumOf<TAlign>(c, t, p,
                                            {{"alNone", alNone},
                                             {"alTop", alTop},
                                             {"alBottom", alBottom},
                                             {"alLeft", alLeft},
                                             {"alRight", alRight},
                                             {"alClient", alClient}}));
     }},
    {"Enabled", [](const Context& c, rtl::TComponent& t,
                   const Property& p) { AsControl(t).SetEnabled(BooleanOf(c, t, p)); }},
    {"Visible", [](const Context& c, rtl::TComponent& t,
                   const Property& p) { AsControl(t).SetVisible(BooleanOf(c, t, p)); }},
    {"TabOrder", [](const Context& c, rtl::TComponent& t,
                    const Property& p) { AsControl(t).SetTabOrder(IntegerOf(c, t, p)); }},
    {"TabStop",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       AsControl(t).Widget()->setFocusPolicy(BooleanOf(c, t, p) ? Qt::StrongFocus : Qt::NoFocus);
     }},
    {"Hint",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       AsControl(t).Widget()->setToolTip(QString::fromStdString(StringOf(c, t, p)));
     }},
    {"Color", [](const Context& c, rtl::TComponent& t,
                 const Property& p) { SetColour(AsControl(t), ColourOf(c, t, p), false); }},
    {"ParentColor",
     [](const Context& c, rtl::TComponent& t, const Property& p) { BooleanOf(c, t, p); }},
    {"ParentFont",
     [](const Context& c, rtl::TComponent& t, const Property& p) { BooleanOf(c, t, p); }},
    {"Font.Name",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       const std::string& name = StringOf(c, t, p);
       if (name.empty()) return;
       // The classic dialog face is not on this system. The descriptions' sizes were
       // measured with it, so a face of similar width stands in where one is
       // installed; otherwise Qt's default face plays its part.
       if (name == "MS Sans Serif") {
         SetFont(AsControl(t), [](QFont& font) {
           font.setFamilies({"Liberation Sans", "Arimo", "Nimbus Sans", "Arial"});
         });
         return;
       }
       SetFont(AsControl(t), [&](QFont& font) { font.setFamily(QString::fromStdString(name)); });
     }},
    {"Font.Height",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       const int height = IntegerOf(c, t, p);
       // Negative: the height of the characters in pixels, as the look describes it.
       if (height == 0) return;
       SetFont(AsControl(t),
               [&](QFont& font) { font.setPixelSize(height < 0 ? -height : height); });
     }},
    {"Font.Color", [](const Context& c, rtl::TComponent& t,
                      const Property& p) { SetColour(AsControl(t), ColourOf(c, t, p), true); }},
    {"Font.Charset",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       // Every text here is UTF-8: a character set changes nothing.
       if (p.value.AsInteger() == nullptr && p.value.AsIdentifier() == nullptr) {
         WrongKind(c, t, p, Value::Kind::Identifier);
       }
     }},
    {"Font.Style",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       const form::List* list = p.value.AsList();
       if (list == nullptr) WrongKind(c, t, p, Value::Kind::List);
       QFont font = AsControl(t).Widget()->font();
       font.setBold(false);
       font.setItalic(false);
       font.setUnderline(false);
       font.setStrikeOut(false);
       for (const Value& item : list->items) {
         const form::Identifier* word = item.AsIdentifier();
         const std::string name = word != nullptr ? word->name : std::string();
         if (name == "fsBold") {
           font.setBold(true);
         } else if (name == "fsItalic") {
           font.setItalic(true);
         } else if (name == "fsUnderline") {
           font.setUnderline(true);
         } else if (name == "fsStrikeOut") {
           font.setStrikeOut(true);
         } else {
           c.Fail(
               item.position,
               rtl::Format("Font.Style of %s holds fsBold, fsItalic, "
                           "fsUnderline or fsStrikeOut, found %s",
                           {ClassOf(c, t), word != nullptr ? name : std::string(item.KindName())}));
         }
       }
       AsControl(t).Widget()->setFont(font);
     }},
};

const Properties winControlProperties = {
    {"ClientWidth",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TWinControl&>(t).SetClientWidth(IntegerOf(c, t, p));
     }},
    {"ClientHeight",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TWinControl&>(t).SetClientHeight(IntegerOf(c, t, p));
     }},
};

const PropertyDef captionProperty = {"Caption",
                                     [](const Context& c, rtl::TComponent& t, const Property& p) {
                                       AsControl(t).SetCaption(StringOf(c, t, p));
                                     }};
const PropertyDef textProperty = {"Text",
                                  [](const Context& c, rtl::TComponent& t, const Property& p) {
                                    AsControl(t).SetText(StringOf(c, t, p));
                                  }};

// OnClick of a class that has one.
template <class T>
PropertyDef OnClick() {
  return {"OnClick", [](const Context& c, rtl::TComponent& t, const Property& p) {
            static_cast<T&>(t).OnClick = HandlerOf(c, p, typeid(NotifyFunction));
          }};
}

const Properties memoProperties = {
    textProperty,
    {"Lines",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TMemo&>(t).Lines().Assign(StringListOf(c, t, p));
     }},
    {"ScrollBars",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TMemo&>(t).SetScrollBars(EnumOf<TScrollStyle>(c, t, p,
                                                                 {{"ssNone", ssNone},
                                                                  {"ssHorizontal", ssHorizontal},
                                                                  {"ssVertical", ssVertical},
                                                                  {"ssBoth", ssBoth}}));
     }},
    {"ReadOnly", [](const Context& c, rtl::TComponent& t,
                    const Property& p) { static_cast<TMemo&>(t).SetReadOnly(BooleanOf(c, t, p)); }},
};

const Properties listBoxProperties = {
    {"Items",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TListBox&>(t).Items().Assign(StringListOf(c, t, p));
     }},
    {"ItemHeight",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TListBox&>(t).SetItemHeight(IntegerOf(c, t, p));
     }},
    {"ItemIndex",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TListBox&>(t).SetItemIndex(IntegerOf(c, t, p));
     }},
    OnClick<TListBox>(),
};

const Properties formProperties = {
    captionProperty,
    {"OnClose",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TForm&>(t).OnClose = HandlerOf(c, p, typeid(CloseFunction));
     }},
    // The look was drawn at 96 pixels per inch with 13-pixel text; positions are
    // pixels here too, so both are checked and need nothing more.
    {"PixelsPerInch",
     [](const Context& c, rtl::TComponent& t, const Property& p) { IntegerOf(c, t, p); }},
    {"TextHeight",
     [](const Context& c, rtl::TComponent& t, const Property& p) { IntegerOf(c, t, p); }},
};

const Properties openDialogProperties = {
    // Where the designer showed the icon of a non-visual component: nothing to do.
    {"Left", [](const Context& c, rtl::TComponent& t, const Property& p) { IntegerOf(c, t, p); }},
    {"Top", [](const Context& c, rtl::TComponent& t, const Property& p) { IntegerOf(c, t, p); }},
    {"Title", [](const Context& c, rtl::TComponent& t,
                 const Property& p) { static_cast<TOpenDialog&>(t).SetTitle(StringOf(c, t, p)); }},
    {"Filter",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TOpenDialog&>(t).SetFilter(StringOf(c, t, p));
     }},
    {"InitialDir",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TOpenDialog&>(t).SetInitialDir(StringOf(c, t, p));
     }},
    {"FileName",
     [](const Context& c, rtl::TComponent& t, const Property& p) {
       static_cast<TOpenDialog&>(t).SetFileName(StringOf(c, t, p));
     }},
};

// ---------------------------------------------------------------------------
// The classes a description knows: what it may create, and the properties each has.

struct ControlClass {
  rtl::TClass (*cls)();
  // Null for what a description cannot create as a child: the form and the bases.
  rtl::TComponent* (*create)(rtl::TComponent* owner);
  // Its own properties; it has its ancestors' too.
  Properties properties;
};

template <class T>
ControlClass Creatable(Properties properties) {
  return {&T::StaticClass, [](rtl::TComponent* owner) -> rtl::TComponent* { return new T(owner); },
          std::move(properties)};
}

// A control class is added here and nowhere else. Most derived first, so that a
// class's own property wins over an ancestor's of the same name.
const ControlClass controlClasses[] = {
    {&TForm::StaticClass, nullptr, formProperties},
    Creatable<TButton>({captionProperty, OnClick<TButton>()}),
    Creatable<TLabel>({captionProperty}),
    Creatable<TPanel>({captionProperty}),
    Creatable<TTabSheet>({captionProperty}),
    Creatable<TPageControl>({}),
    Creatable<TEdit>({textProperty}),
    Creatable<TMemo>(memoProperties),
    Creatable<TListBox>(listBoxProperties),
    Creatable<TOpenDialog>(openDialogProperties),
    {&TWinControl::StaticClass, nullptr, winControlProperties},
    {&TControl::StaticClass, nullptr, controlProperties},
};

const PropertyDef* FindProperty(const rtl::TComponent& target, std::string_view name) {
  for (const ControlClass& cls : controlClasses) {
    if (!target.InheritsFrom(cls.cls())) continue;
    for (const PropertyDef& property : cls.properties) {
      if (property.name == name) return &property;
    }
  }
  return nullptr;
}

const ControlClass* FindCreatableClass(std::string_view name) {
  for (const ControlClass& cls : controlClasses) {
    if (cls.create != nullptr && rtl::ClassName(cls.cls()).View() == name) return &cls;
  }
  return nullptr;
}

}  // namespace

// ---------------------------------------------------------------------------
// FormBuilder

FormBuilder::FormBuilder(TForm& form, rtl::TClass formClass, std::string fileName)
    : form_(form), formClass_(formClass), fileName_(std::move(fileName)) {}

void FormBuilder::Fail(form::Position position, std::string_view message) const {
  form::RaiseAt(fileName_, position, message);
}

void FormBuilder::Build(std::string_view text) {
  const form::Object root = form::ParseForm(text, fileName_);
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
  form_.places_[root.name] = {fileName_, root.position.line, root.position.column};

  ApplyProperties(root, form_);
  for (const form::Object& child : root.children) BuildChild(child, form_);
  if (rootVisible_) form_.Show();
}

void FormBuilder::BuildChild(const form::Object& object, rtl::TComponent& parent) {
  const ControlClass* cls = FindCreatableClass(object.className);
  if (cls == nullptr) {
    Fail(object.position, rtl::Format("unknown control class %s", {object.className}));
  }
  auto* container = dynamic_cast<TWinControl*>(&parent);
  if (container == nullptr) {
    Fail(object.position,
         rtl::Format("%s %s cannot be placed on %s, a %s that holds no controls",
                     {object.className, object.name, parent.Name(), parent.ClassName()}));
  }
  // The form owns it from here, so a failure below frees it with the form.
  rtl::TComponent* component = cls->create(&form_);
  form_.places_[object.name] = {fileName_, object.position.line, object.position.column};
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
  const PropertyDef* definition = FindProperty(target, property.name);
  if (definition == nullptr) {
    const std::string className =
        &target == &form_ ? rtl::ClassName(formClass_).ToString() : target.ClassName().ToString();
    Fail(property.position, rtl::Format("unknown property '%s' of %s", {property.name, className}));
  }
  const Context context{fileName_, form_, formClass_};
  try {
    definition->set(context, target, property);
  } catch (const form::PlacedError&) {
    throw;
  } catch (const rtl::Exception& error) {
    // The control refused the value (an item index past its items): placed at the value.
    Fail(property.value.position, error.Message());
  }
}

}  // namespace toolkit
