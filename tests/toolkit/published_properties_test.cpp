#include <QFont>
#include <QPlainTextEdit>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "toolkit_test.h"

using namespace toolkit;

namespace {

class PublishedPropertiesTest : public ToolkitTest {};

std::unique_ptr<rtl::TComponent> New(rtl::TClass cls) {
  return std::unique_ptr<rtl::TComponent>(cls->Create(nullptr));
}

// Everything a form description may set on each class, events aside; a new component
// reads as the defaults its class publishes.
TEST_F(PublishedPropertiesTest, EveryPropertyADescriptionSetsIsPublishedAndStartsAtItsDefault) {
  const std::vector<std::string> control = {
      "Left",       "Top",       "Width",       "Height",     "Align",        "Enabled",
      "Visible",    "TabOrder",  "TabStop",     "Hint",       "Color",        "ParentColor",
      "ParentFont", "Font.Name", "Font.Height", "Font.Color", "Font.Charset", "Font.Style"};
  const std::vector<std::string> container = {"ClientWidth", "ClientHeight"};
  enum Kind { kNoControl, kControl, kContainer };
  const struct {
    rtl::TClass cls;
    Kind kind;
    std::vector<std::string> own;
  } cases[] = {
      {TButton::StaticClass(), kControl, {"Caption"}},
      {TLabel::StaticClass(), kControl, {"Caption"}},
      {TEdit::StaticClass(), kControl, {"Text"}},
      {TMemo::StaticClass(), kControl, {"Text", "Lines", "ScrollBars", "ReadOnly"}},
      {TListBox::StaticClass(), kControl, {"Items", "ItemHeight", "ItemIndex"}},
      {TPanel::StaticClass(), kContainer, {"Caption"}},
      {TTabSheet::StaticClass(), kContainer, {"Caption"}},
      {TPageControl::StaticClass(), kContainer, {}},
      {TForm::StaticClass(), kContainer, {"Caption", "PixelsPerInch", "TextHeight"}},
      {TOpenDialog::StaticClass(),
       kNoControl,
       {"Left", "Top", "Title", "Filter", "InitialDir", "FileName"}},
  };
  for (const auto& c : cases) {
    const std::string className = rtl::ClassName(c.cls).ToString();
    std::vector<std::string> names = c.own;
    if (c.kind != kNoControl) names.insert(names.end(), control.begin(), control.end());
    if (c.kind == kContainer) names.insert(names.end(), container.begin(), container.end());
    for (const std::string& name : names) {
      EXPECT_NE(rtl::FindProp(c.cls, name), nullptr) << className << "." << name;
    }
    // A bare form starts hidden and sized with its frame, not at the defaults it
    // inherits from the controls: a form is always built from its description.
    if (c.cls == TForm::StaticClass()) continue;
    const auto component = New(c.cls);
    for (const rtl::TPublishedProperty* prop : rtl::GetPropList(c.cls)) {
      EXPECT_EQ(rtl::ToText(rtl::GetPropValue(*component, prop->Name)), rtl::ToText(prop->Default))
          << className << "." << prop->Name;
    }
  }
  EXPECT_EQ(rtl::FindProp(TButton::StaticClass(), "OnClick"), nullptr) << "events are no property";
}

TEST_F(PublishedPropertiesTest, ValuesWrittenByNameReadBackAndReachTheWidget) {
  const struct {
    rtl::TClass cls;
    const char* name;
    const char* text;
  } cases[] = {
      {TPanel::StaticClass(), "Align", "alClient"},
      {TMemo::StaticClass(), "ScrollBars", "ssBoth"},
      {TMemo::StaticClass(), "Lines", "one\ntwo"},
      {TListBox::StaticClass(), "Items", "alpha\nbeta"},
      {TButton::StaticClass(), "Font.Style", "[fsBold,fsUnderline]"},
      {TEdit::StaticClass(), "Color", "#FF8000"},
      {TLabel::StaticClass(), "Caption", "Привет"},
      {TForm::StaticClass(), "Caption", "Окно"},
      {TButton::StaticClass(), "Enabled", "False"},
      {TOpenDialog::StaticClass(), "Filter", "Packages (*.so)"},
  };
  for (const auto& c : cases) {
    const auto component = New(c.cls);
    rtl::SetPropValue(*component, c.name, std::string(c.text));
    const rtl::TValue value = rtl::GetPropValue(*component, c.name);
    EXPECT_EQ(rtl::ToText(value), c.text) << rtl::ClassName(c.cls).ToString() << "." << c.name;
  }

  TButton button(nullptr);
  rtl::SetPropValue(button, "Font.Style", std::string("[fsItalic]"));
  EXPECT_TRUE(button.Widget()->font().italic());
  EXPECT_FALSE(button.Widget()->font().bold());
  EXPECT_THROW(rtl::SetPropValue(button, "Align", std::string("alMiddle")), rtl::Exception);

  // A new memo shows its default: no scroll bar, lines wrapped.
  TMemo memo(nullptr);
  const auto* edit = static_cast<const QPlainTextEdit*>(memo.Widget());
  EXPECT_EQ(edit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(edit->lineWrapMode(), QPlainTextEdit::WidgetWidth);
}

}  // namespace
