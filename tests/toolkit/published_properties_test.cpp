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

// Everything a form description may set on each class, events aside.
TEST_F(PublishedPropertiesTest, EveryPropertyADescriptionSetsIsPublished) {
  const std::vector<std::string> control = {
      "Left",       "Top",       "Width",       "Height",     "Align",        "Enabled",
      "Visible",    "TabOrder",  "TabStop",     "Hint",       "Color",        "ParentColor",
      "ParentFont", "Font.Name", "Font.Height", "Font.Color", "Font.Charset", "Font.Style"};
  const std::vector<std::string> container = {"ClientWidth", "ClientHeight"};
  const struct {
    rtl::TClass cls;
    bool holdsControls;
    std::vector<std::string> own;
  } cases[] = {
      {TButton::StaticClass(), false, {"Caption"}},
      {TLabel::StaticClass(), false, {"Caption"}},
      {TEdit::StaticClass(), false, {"Text"}},
      {TMemo::StaticClass(), false, {"Text", "Lines", "ScrollBars", "ReadOnly"}},
      {TListBox::StaticClass(), false, {"Items", "ItemHeight", "ItemIndex"}},
      {TPanel::StaticClass(), true, {"Caption"}},
      {TTabSheet::StaticClass(), true, {"Caption"}},
      {TPageControl::StaticClass(), true, {}},
      {TForm::StaticClass(), true, {"Caption", "PixelsPerInch", "TextHeight"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> names = c.own;
    names.insert(names.end(), control.begin(), control.end());
    if (c.holdsControls) names.insert(names.end(), container.begin(), container.end());
    for (const std::string& name : names) {
      EXPECT_NE(rtl::FindProp(c.cls, name), nullptr)
          << rtl::ClassName(c.cls).ToString() << "." << name;
    }
  }
  for (const char* name : {"Left", "Top", "Title", "Filter", "InitialDir", "FileName"}) {
    EXPECT_NE(rtl::FindProp(TOpenDialog::StaticClass(), name), nullptr) << "TOpenDialog." << name;
  }
  EXPECT_EQ(rtl::FindProp(TButton::StaticClass(), "OnClick"), nullptr) << "events are no property";
}

TEST_F(PublishedPropertiesTest, ANewComponentReadsAsItsPublishedDefaults) {
  for (rtl::TClass cls :
       {TButton::StaticClass(), TLabel::StaticClass(), TEdit::StaticClass(), TMemo::StaticClass(),
        TListBox::StaticClass(), TPanel::StaticClass(), TTabSheet::StaticClass(),
        TPageControl::StaticClass(), TOpenDialog::StaticClass()}) {
    const auto component = New(cls);
    for (const rtl::TPublishedProperty* prop : rtl::GetPropList(cls)) {
      EXPECT_EQ(rtl::ToText(rtl::GetPropValue(*component, prop->Name)), rtl::ToText(prop->Default))
          << rtl::ClassName(cls).ToString() << "." << prop->Name;
    }
  }
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
    rtl::SetPropValue(*component, c.name, value);
    EXPECT_EQ(rtl::GetPropValue(*component, c.name), value)
        << rtl::ClassName(c.cls).ToString() << "." << c.name;
  }

  TButton button(nullptr);
  rtl::SetPropValue(button, "Font.Style", std::string("[fsItalic]"));
  rtl::SetPropValue(button, "Font.Height", -11);
  EXPECT_TRUE(button.Widget()->font().italic());
  EXPECT_FALSE(button.Widget()->font().bold());
  EXPECT_EQ(button.Widget()->font().pixelSize(), 11);
  EXPECT_THROW(rtl::SetPropValue(button, "Align", std::string("alMiddle")), rtl::Exception);

  // A new memo shows its default: no scroll bar, lines wrapped.
  TMemo memo(nullptr);
  const auto* edit = static_cast<const QPlainTextEdit*>(memo.Widget());
  EXPECT_EQ(edit->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(edit->lineWrapMode(), QPlainTextEdit::WidgetWidth);
}

}  // namespace
