#include <gtest/gtest.h>

#include <memory>

#include "workbench_test_support.h"

namespace {

struct ControlRow {
  const char* name;
  rtl::TClass cls;
  int left, top, width, height;
  const char* text;
  int tabOrder;
  const char* onClick;  // null: none
};

void PrintTo(const ControlRow& row, std::ostream* out) {
  *out << row.name;
}

const ControlRow kForm1Controls[] = {
    {"Edit1", toolkit::TEdit::StaticClass(), 0, 0, 441, 21, "Edit1", 0, nullptr},
    {"LoadPack", toolkit::TButton::StaticClass(), 0, 24, 75, 25, "LoadPack", 1, "LoadPackClick"},
    {"UnLoadPack", toolkit::TButton::StaticClass(), 0, 56, 75, 25, "UnLoadPack", 2,
     "UnLoadPackClick"},
    {"Button1", toolkit::TButton::StaticClass(), 288, 24, 283, 25, "Посмотреть подключенные модули",
     3, "Button1Click"},
    {"Button2", toolkit::TButton::StaticClass(), 104, 24, 83, 25, "Use TClassList", 4,
     "Button2Click"},
    {"Button3", toolkit::TButton::StaticClass(), 280, 176, 139, 17, "Проверить класс", 5,
     "Button3Click"},
    {"Button4", toolkit::TButton::StaticClass(), 0, 168, 75, 25, "GetMetod", 6, "Button4Click"},
    {"Button5", toolkit::TButton::StaticClass(), 0, 200, 137, 25, "ShowMessage(\"тратата\");", 7,
     "ButtonShowMessageClick"},
    {"Memo1", toolkit::TMemo::StaticClass(), 104, 48, 177, 49, "Memo1\n", 8, nullptr},
    {"Button6", toolkit::TButton::StaticClass(), 176, 96, 75, 25, "Button6", 9, nullptr},
    {"Edit2", toolkit::TEdit::StaticClass(), 424, 168, 121, 21, "TRxLabel", 10, nullptr},
    {"Button7", toolkit::TButton::StaticClass(), 304, 56, 249, 33,
     "Зарегистрировать юниты подкл. пакетов", 11, "Button7Click"},
    {"Button8", toolkit::TButton::StaticClass(), 0, 128, 137, 25, "Найти ф-ю регистрации:", 12,
     "Button8Click"},
    {"Edit3", toolkit::TEdit::StaticClass(), 144, 128, 185, 21, "@Stdreg@Register$qqrv", 13,
     nullptr},
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
  EXPECT_EQ(control->Left(), row.left) << row.name << " left";
  EXPECT_EQ(control->Top(), row.top) << row.name << " top";
  EXPECT_EQ(control->Width(), row.width) << row.name << " width";
  EXPECT_EQ(control->Height(), row.height) << row.name << " height";
  if (row.cls == toolkit::TMemo::StaticClass()) {
    EXPECT_EQ(static_cast<toolkit::TMemo*>(control)->Lines().Text(), row.text)
        << row.name << " lines";
  } else {
    EXPECT_EQ(control->Caption(), row.text) << row.name << " caption or text";
  }
  EXPECT_EQ(control->TabOrder(), row.tabOrder) << row.name << " tab order";

  if (auto* button = dynamic_cast<toolkit::TButton*>(control)) {
    if (row.onClick == nullptr) {
      EXPECT_EQ(button->OnClick.Code, nullptr) << row.name << " should have no OnClick";
    } else {
      EXPECT_EQ(button->OnClick.Code, rtl::MethodAddress(TForm1::StaticClass(), row.onClick))
          << row.name << " OnClick should be " << row.onClick;
      EXPECT_EQ(button->OnClick.Data, form_) << row.name << " OnClick should run on the window";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Form1, MainWindowDescription, testing::ValuesIn(kForm1Controls),
                         [](const testing::TestParamInfo<ControlRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(MainWindowDescriptionWhole, WindowAndTheRestOfItsProperties) {
  std::unique_ptr<TForm1> form(new TForm1(nullptr));
  EXPECT_EQ(form->Caption(), "Form1") << "window caption";
  EXPECT_EQ(form->Left(), 239) << "window left";
  EXPECT_EQ(form->Top(), 185) << "window top";
  EXPECT_EQ(form->Width(), 583) << "window width";
  EXPECT_EQ(form->Height(), 258) << "window height";
  EXPECT_FALSE(form->Visible()) << "the main window is shown by Run, not by its description";
  EXPECT_EQ(form->OnClose.Code, rtl::MethodAddress(TForm1::StaticClass(), "FormClose"))
      << "OnClose should be bound to FormClose";
  EXPECT_EQ(form->OnClose.Data, form.get());

  EXPECT_EQ(form->Memo1->ScrollBars(), toolkit::ssVertical) << "Memo1 scroll bars";
  EXPECT_EQ(form->Memo1->Lines().ToVector(), std::vector<std::string>{"Memo1"})
      << "Memo1 should hold one line";
  EXPECT_FALSE(form->Button7->Enabled()) << "Button7 should start disabled";
  for (toolkit::TControl* c : std::initializer_list<toolkit::TControl*>{
           form->LoadPack, form->Button1, form->Button8, form->Edit1}) {
    EXPECT_TRUE(c->Enabled()) << c->Name() << " should be enabled";
  }
  EXPECT_EQ(form->OpenDialog1->Filter(), "") << "the open dialog has no filter";
  EXPECT_EQ(form->OpenDialog1->Title(), "") << "the open dialog has no title";
  EXPECT_EQ(form->OpenDialog1->InitialDir(), "") << "the open dialog has no initial directory";
  EXPECT_EQ(form->ControlCount(), 14) << "the window should hold exactly the described controls";
}

TEST(PaletteWindowDescription, WindowAndItsPageControl) {
  std::unique_ptr<TForm3> form(new TForm3(nullptr));
  EXPECT_EQ(form->Caption(), "Form3") << "window caption";
  EXPECT_EQ(form->Left(), 192) << "window left";
  EXPECT_EQ(form->Top(), 107) << "window top";
  EXPECT_EQ(form->Width(), 530) << "window width";
  EXPECT_EQ(form->Height(), 249) << "window height";
  EXPECT_TRUE(form->Visible()) << "the palette window is shown on creation";
  EXPECT_TRUE(form->Widget()->isVisible()) << "the palette window should be on screen";
  EXPECT_EQ(form->OnClose.Code, nullptr) << "the palette window has no close handler";

  toolkit::TPageControl* pages = form->pcPallete;
  ASSERT_NE(pages, nullptr);
  EXPECT_EQ(pages->Parent(), form.get()) << "the page control should sit on the window";
  EXPECT_EQ(pages->Align(), toolkit::alClient) << "the page control should fill the window";
  EXPECT_EQ(pages->Left(), 0);
  EXPECT_EQ(pages->Top(), 0);
  EXPECT_EQ(pages->Width(), form->ClientWidth()) << "alClient: as wide as the client area";
  EXPECT_EQ(pages->Height(), form->ClientHeight()) << "alClient: as high as the client area";
  EXPECT_EQ(pages->TabOrder(), 0);
  EXPECT_EQ(pages->PageCount(), 0) << "the description gives the palette no pages";
  EXPECT_EQ(form->ControlCount(), 1) << "the page control is the palette window's only control";
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
