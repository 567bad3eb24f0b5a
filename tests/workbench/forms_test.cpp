#include <gtest/gtest.h>

#include <memory>

#include "workbench_test_support.h"

namespace {

struct ControlRow {
  const char* name;
  rtl::TClass cls;
  const char* text;     // a caption, an edit's text, or a memo's lines
  const char* onClick;  // null: none
};

void PrintTo(const ControlRow& row, std::ostream* out) {
  *out << row.name;
}

const rtl::TClass kButton = toolkit::TButton::StaticClass();
const rtl::TClass kEdit = toolkit::TEdit::StaticClass();

const ControlRow kForm1Controls[] = {
    {"Edit1", kEdit, "Edit1", nullptr},
    {"LoadPack", kButton, "LoadPack", "LoadPackClick"},
    {"UnLoadPack", kButton, "UnLoadPack", "UnLoadPackClick"},
    {"Button1", kButton, "Посмотреть подключенные модули", "Button1Click"},
    {"Button2", kButton, "Use TClassList", "Button2Click"},
    {"Button3", kButton, "Проверить класс", "Button3Click"},
    {"Button4", kButton, "GetMetod", "Button4Click"},
    {"Button5", kButton, "ShowMessage(\"тратата\");", "ButtonShowMessageClick"},
    {"Memo1", toolkit::TMemo::StaticClass(), "Memo1\n", nullptr},
    {"Button6", kButton, "Button6", nullptr},
    {"Edit2", kEdit, "TRxLabel", nullptr},
    {"Button7", kButton, "Зарегистрировать юниты подкл. пакетов", "Button7Click"},
    {"Button8", kButton, "Найти ф-ю регистрации:", "Button8Click"},
    {"Edit3", kEdit, "@Stdreg@Register$qqrv", nullptr},
};

class MainWindowDescription : public testing::TestWithParam<ControlRow> {
 protected:
  static void SetUpTestSuite() { form_ = new TForm1(nullptr); }
  static void TearDownTestSuite() {
    delete form_;
    form_ = nullptr;
  }
  static TForm1* form_;
};
TForm1* MainWindowDescription::form_ = nullptr;

TEST_P(MainWindowDescription, ControlIsAsDescribed) {
  const ControlRow& row = GetParam();
  auto* control = dynamic_cast<toolkit::TControl*>(form_->FindComponent(row.name));
  ASSERT_NE(control, nullptr) << row.name << " should be a control of the main window";
  EXPECT_EQ(control->ClassType(), row.cls) << row.name << " class";
  EXPECT_EQ(control->Parent(), form_) << row.name << " should sit directly on the window";
  if (auto* memo = dynamic_cast<toolkit::TMemo*>(control)) {
    EXPECT_EQ(memo->Lines().Text(), row.text) << row.name << " lines";
  } else {
    EXPECT_EQ(control->Caption(), row.text) << row.name << " caption or text";
  }
  if (auto* button = dynamic_cast<toolkit::TButton*>(control)) {
    const void* code =
        row.onClick ? rtl::MethodAddress(TForm1::StaticClass(), row.onClick) : nullptr;
    EXPECT_EQ(button->OnClick.Code, code) << row.name << " OnClick should be " << row.onClick;
    if (code != nullptr) {
      EXPECT_EQ(button->OnClick.Data, form_) << row.name << " OnClick should run on the window";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Form1, MainWindowDescription, testing::ValuesIn(kForm1Controls),
                         [](const testing::TestParamInfo<ControlRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(MainWindowDescriptionWhole, CaptionDisabledButtonAndNothingElse) {
  std::unique_ptr<TForm1> form(new TForm1(nullptr));
  EXPECT_EQ(form->Caption(), "Form1") << "window caption";
  EXPECT_FALSE(form->Visible()) << "the main window is shown by Run, not by its description";
  EXPECT_FALSE(form->Button7->Enabled()) << "Button7 should start disabled";
  EXPECT_TRUE(form->LoadPack->Enabled()) << "the other buttons should be enabled";
  EXPECT_EQ(form->ControlCount(), 14) << "the window should hold exactly the described controls";
}

TEST(PaletteWindowDescription, ClosingHidesItAndFreeingTakesItsPages) {
  std::unique_ptr<TForm3> form(new TForm3(nullptr));
  Form3 = form.get();
  auto* sheet = new toolkit::TTabSheet(form.get());
  sheet->SetPageControl(form->pcPallete);
  form->Close();
  EXPECT_FALSE(form->Widget()->isVisible()) << "closing should hide the palette window";
  EXPECT_EQ(form->pcPallete->PageCount(), 1) << "closing should keep its pages";
  form.reset();
  EXPECT_EQ(Form3, nullptr) << "Form3 should not point at a freed window";
}

}  // namespace
