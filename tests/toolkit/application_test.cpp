#include <QPushButton>
#include <stdexcept>
#include <string>
#include <vector>

#include "toolkit_test.h"

using namespace toolkit;

namespace {

// A form whose handlers do what each test tells them.
class TProbeForm : public TForm {
  RTL_CLASS(TProbeForm, TForm)
 public:
  using TForm::TForm;

  void ThrowFramework(rtl::TObject*) { throw rtl::Exception("Метод TForm1::Nope не найден"); }
  void ThrowStandard(rtl::TObject*) { throw std::runtime_error("out of range"); }
  void ThrowOther(rtl::TObject*) { throw 42; }
  void Count(rtl::TObject*) { ++clicks; }
  void CloseHandler(rtl::TObject* sender, TCloseAction& action) {
    closeSenders.push_back(sender);
    receivedAction = action;
    action = answer;
  }

  int clicks = 0;
  std::vector<rtl::TObject*> closeSenders;
  TCloseAction receivedAction = caNone;
  TCloseAction answer = caHide;
};
RTL_DEFINE_CLASS(TProbeForm, RTL_PUBLISH(TProbeForm, ThrowFramework),
                 RTL_PUBLISH(TProbeForm, ThrowStandard), RTL_PUBLISH(TProbeForm, ThrowOther),
                 RTL_PUBLISH(TProbeForm, Count), RTL_PUBLISH(TProbeForm, CloseHandler))

rtl::TMethod Handler(TProbeForm& form, const char* name) {
  return {rtl::MethodAddress(TProbeForm::StaticClass(), name), &form};
}

class ApplicationTest : public ToolkitTest {
 protected:
  TProbeForm* MainForm() {
    TProbeForm* form = nullptr;
    Application->CreateForm(form);
    return form;
  }
  // Presses the button from the event loop, the way a user's click arrives.
  static void PostPress(TButton* button) {
    Post([button] { static_cast<QPushButton*>(button->Widget())->click(); });
  }
};

TEST_F(ApplicationTest, HandlerExceptionsAreShownAndTheLoopGoesOn) {
  const std::pair<const char*, const char*> cases[] = {
      {"ThrowFramework", "Метод TForm1::Nope не найден"},
      {"ThrowStandard", "out of range"},
      {"ThrowOther", ""}};
  TProbeForm* form = MainForm();
  auto* failing = new TButton(form);
  failing->SetParent(form);
  auto* counting = new TButton(form);
  counting->SetParent(form);
  counting->OnClick = Handler(*form, "Count");
  for (const auto& [handler, shown] : cases) {
    dialogs_.Reset();
    form->clicks = 0;
    failing->OnClick = Handler(*form, handler);
    PostPress(failing);
    // If the exception escaped the handler, this press would never run.
    PostPress(counting);
    Post([form] { form->Close(); });
    Application->Run();
    EXPECT_EQ(dialogs_.Exceptions(), std::vector<std::string>{shown}) << handler;
    EXPECT_EQ(dialogs_.Boxes().size(), 1u) << handler << ": one box, the exception display";
    EXPECT_EQ(form->clicks, 1) << handler << ": the loop went on to the next press";
  }
  dialogs_.Reset();
  failing->OnClick = Handler(*form, "ThrowFramework");
  EXPECT_THROW(failing->Click(), rtl::Exception) << "Click raises to a caller in code";
  EXPECT_TRUE(dialogs_.Boxes().empty()) << "no box when the caller takes the exception";
}

TEST_F(ApplicationTest, ClosingTheMainFormEndsRunUnlessItsHandlerRefuses) {
  TProbeForm* main = MainForm();
  main->OnClose = Handler(*main, "CloseHandler");
  main->answer = caNone;
  TProbeForm* other = nullptr;
  Application->CreateForm(other);
  EXPECT_EQ(Application->MainForm(), main) << "the first form created stays the main form";
  other->Show();
  // With the windows' own close buttons: closing the other form, or a main form
  // whose handler refuses, must not end Run.
  Post([other] { other->Widget()->close(); });
  Post([main] { main->Widget()->close(); });
  Post([main, other] {
    EXPECT_FALSE(other->Visible()) << "closing another form hides it";
    EXPECT_TRUE(main->Widget()->isVisible()) << "Run showed the main form; the refusal kept it";
    main->answer = caHide;
    main->Widget()->close();
  });
  Application->Run();
  ASSERT_EQ(main->closeSenders.size(), 2u) << "OnClose ran for both closes of the main form";
  EXPECT_EQ(main->closeSenders[0], main) << "the form is the sender of its OnClose";
  EXPECT_EQ(main->receivedAction, caHide) << "OnClose is offered caHide";
  EXPECT_FALSE(Application->Terminated()) << "Run consumed the request to end";
  EXPECT_FALSE(main->Widget()->isVisible()) << "the main form that ended Run is hidden";
  Application->Terminate();
  Application->Run();  // would hang if a request made before Run were lost
}

TEST_F(ApplicationTest, AFormWhoseCloseAsksToBeFreedGoesOnceBackInTheLoop) {
  MainForm();
  auto* form = new TProbeForm(Application);
  form->OnClose = Handler(*form, "CloseHandler");
  form->Show();
  const int before = Application->ComponentCount();
  form->answer = caFree;
  form->Close();
  EXPECT_EQ(Application->ComponentCount(), before) << "caFree does not free during the handler";
  EXPECT_FALSE(form->Widget()->isVisible()) << "but the window goes at once";
  Process();
  EXPECT_EQ(Application->ComponentCount(), before - 1) << "caFree frees once back in the loop";
}

TEST_F(ApplicationTest, CreateFormByClassReference) {
  TForm* form = nullptr;
  Application->CreateForm(TProbeForm::StaticClass(), &form);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->ClassType(), TProbeForm::StaticClass());
  EXPECT_EQ(form->Owner(), Application) << "the application owns the forms it creates";
  EXPECT_THROW(Application->CreateForm(TButton::StaticClass(), &form), rtl::Exception) << "no form";
  EXPECT_EQ(form, nullptr) << "a failed CreateForm leaves the reference null";
  EXPECT_THROW(Application->CreateForm(nullptr, &form), rtl::Exception);
}

}  // namespace
