#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTreeView>
#include <QWidget>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"
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
  Application->Terminate();
  Application->Run();  // would hang if a request made before Run were lost
}

TEST_F(ApplicationTest, CloseActionsDecideWhatHappensToTheForm) {
  MainForm();
  auto* form = new TProbeForm(Application);
  form->OnClose = Handler(*form, "CloseHandler");
  form->Show();
  form->answer = caNone;
  form->Close();
  EXPECT_TRUE(form->Visible()) << "caNone keeps the form open";
  form->answer = caHide;
  form->Close();
  EXPECT_FALSE(form->Visible()) << "caHide hides it";
  const int before = Application->ComponentCount();
  EXPECT_EQ(Application->Components(before - 1), form) << "a hidden form still exists";
  form->Show();
  form->answer = caFree;
  form->Close();
  EXPECT_EQ(Application->ComponentCount(), before) << "caFree does not free during the handler";
  Process();
  EXPECT_EQ(Application->ComponentCount(), before - 1) << "caFree frees once back in the loop";
}

TEST_F(ApplicationTest, CreateFormByClassReference) {
  TForm* form = nullptr;
  Application->CreateForm(TProbeForm::StaticClass(), &form);
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(form->ClassType(), TProbeForm::StaticClass());
  EXPECT_EQ(form->Owner(), Application) << "the application owns the forms it creates";
  EXPECT_THROW(Application->CreateForm(TButton::StaticClass(), &form), rtl::Exception)
      << "a button is no form";
  EXPECT_EQ(form, nullptr) << "a failed CreateForm leaves the reference null";
  EXPECT_THROW(Application->CreateForm(nullptr, &form), rtl::Exception);
}

// Qt's own boxes, answered through their widgets as a user would.
class RealDialogsTest : public ToolkitTest {
 protected:
  void SetUp() override {
    ToolkitTest::SetUp();
    SetDialogService(nullptr);
    poll_.setInterval(5);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr || modal == seen_) return;
      seen_ = modal;
      answer_(modal);
    });
    poll_.start();
  }

  // Called from inside each modal box's own loop, once per box as it opens.
  std::function<void(QWidget*)> answer_;

 private:
  QTimer poll_;
  QPointer<QWidget> seen_;
};

// A key that answers one box must not reach the boxes after it: each later box stays
// open until it is answered itself.
TEST_F(RealDialogsTest, AKeyAnsweringOneBoxLeavesTheNextOnesOpen) {
  std::vector<std::string> shown;
  int stayedOpen = 0;
  answer_ = [&](QWidget* widget) {
    auto* box = qobject_cast<QMessageBox*>(widget);
    ASSERT_NE(box, nullptr) << "only message boxes should open";
    shown.push_back(box->text().toStdString());
    QFont bold = QApplication::font();
    bold.setBold(true);
    const QFontMetrics title(bold);
    EXPECT_GE(box->width(), title.horizontalAdvance(box->windowTitle()) + 4 * title.height())
        << "the box should leave room for its whole title and the title bar's buttons";
    if (shown.size() > 1) {
      QTest::qWait(50);
      if (box->isVisible()) ++stayedOpen;
    }
    QTest::keyClick(box, Qt::Key_Return);
  };
  ShowMessage("Класс не найден");
  ShowMessage("Класс не найден");
  Application->ShowException(rtl::Exception("тратата"));
  EXPECT_EQ(shown, (std::vector<std::string>{"Класс не найден", "Класс не найден", "тратата"}));
  EXPECT_EQ(stayedOpen, 2) << "every box after the first should wait for its own answer";
}

TEST_F(RealDialogsTest, TheOpenDialogSpeaksTheUsersLanguageInTheFormsFontWithColumnsWhole) {
  QLocale::setDefault(QLocale(QLocale::Russian, QLocale::Russia));
  Application->Initialize();
  TForm form(nullptr);
  QFont formsFont(QStringLiteral("Liberation Sans"));
  formsFont.setPixelSize(11);
  form.Widget()->setFont(formsFont);
  TOpenDialog dialog(&form);
  dialog.SetInitialDir(std::filesystem::path(testsupport::PackageFile("stdreg")).parent_path());
  answer_ = [&](QWidget* widget) {
    auto* box = qobject_cast<QFileDialog*>(widget);
    ASSERT_NE(box, nullptr) << "the open dialog should be Qt's own";
    auto* view = box->findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([view] { return view->model()->rowCount(view->rootIndex()) > 3; }))
        << "the packages' folder should load";
    QTest::qWait(20);
    EXPECT_EQ(box->windowTitle().toStdString(), "Открыть") << "Qt's own texts in Russian";
    auto* buttons = box->findChild<QDialogButtonBox*>();
    ASSERT_NE(buttons, nullptr);
    EXPECT_EQ(buttons->button(QDialogButtonBox::Cancel)->text().toStdString(), "Отмена");
    EXPECT_EQ(box->font().toString().toStdString(), formsFont.toString().toStdString())
        << "the dialog should use the forms' font";
    EXPECT_LE(view->header()->length(), view->viewport()->width())
        << "every column should be shown whole, side by side";
    box->reject();
  };
  EXPECT_FALSE(dialog.Execute()) << "the dialog was cancelled";
  QLocale::setDefault(QLocale::system());
  Application->Initialize();
}

}  // namespace
