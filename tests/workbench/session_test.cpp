// The session a surviving process hands the next run: captured in one run, restored
// in another, kept up to date while the user works, and bad bytes from outside.

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QWidget>

#include "Session.h"
#include "Unit2.h"
#include "workbench_test_support.h"

namespace {

using namespace wbtest;

std::vector<int> Bounds(const toolkit::TForm* form) {
  return {form->Left(), form->Top(), form->Width(), form->Height()};
}

// Window-system events can take more than one turn to come back as Qt events.
void Turns() {
  for (int i = 0; i < 3; ++i) toolkit::Application->ProcessMessages();
}

TEST(Session, ANewRunRestoresOpenWindowsTheirPlacesAndTexts) {
  ScopedDialogs dialogs;
  std::string saved;
  InWorkbench([&] {
    Form1->SetBounds(30, 40, 500, 300);
    Press(Form1->Button1);
    ASSERT_NE(Form2, nullptr);
    Form2->SetBounds(60, 70, 420, 380);
    Form3->SetBounds(200, 250, 350, 220);
    Form3->Widget()->close();
    Form1->Edit1->SetText("Пакет \"1\"\n");
    Form1->Edit3->SetText("");
    saved = CaptureSession();
  });
  InWorkbench([&] {
    ASSERT_EQ(Form2, nullptr) << "a new run starts without the inspector";
    RestoreSession(saved);
    ASSERT_NE(Form2, nullptr) << "the inspector was open";
    EXPECT_TRUE(Form2->Widget()->isVisible());
    EXPECT_EQ(Form2->Owner(), Form1) << "made as its button makes it";
    EXPECT_FALSE(Form3->Widget()->isVisible()) << "the palette was closed";
    EXPECT_EQ(Bounds(Form2), (std::vector<int>{60, 70, 420, 380}));
    EXPECT_EQ(Bounds(Form3), (std::vector<int>{200, 250, 350, 220}));
    EXPECT_EQ(Form1->Edit3->Text(), "");
    EXPECT_EQ(CaptureSession(), saved) << "everything else should be as it was too";
  });
}

TEST(Session, KeepingReportsOncePerTurnOnlyWhatChangedAndEndsWithTheRun) {
  ScopedDialogs dialogs;
  std::vector<std::string> reported;
  const auto keep = [&] { KeepSession([&](const std::string& s) { reported.push_back(s); }); };
  InWorkbench([&] {
    keep();
    ASSERT_EQ(reported.size(), 1u) << "the session should be reported right away";
    Form1->Edit1->SetText("one");
    Form1->Edit2->SetText("two");
    Form3->SetBounds(100, 120, 300, 200);
    Press(Form1->Button1);
    Turns();
    EXPECT_EQ(reported.size(), 2u) << "one turn's changes should make one report";
    EXPECT_EQ(reported.back(), CaptureSession());
    Form3->Widget()->close();
    Turns();
    EXPECT_EQ(reported.size(), 3u) << "a window's change alone should be reported";
    Form3->Widget()->close();
    Form1->Memo1->Lines().Add("no part of the session");
    Form1->Edit1->SetText(Form1->Edit1->Text());
    Turns();
    EXPECT_EQ(reported.size(), 3u) << "nothing of the session changed";

    Form1->Edit2->SetText("due at the next turn");
    StopKeepingSession();
    Form1->Edit1->SetText("stopped");
    Turns();
    EXPECT_EQ(reported.size(), 3u) << "no report once stopped, not even one due before";
    keep();
  });
  const std::size_t atEnd = reported.size();
  InWorkbench([&] {
    Form1->Edit1->SetText("a later run");
    Form3->SetBounds(10, 20, 300, 200);
    Turns();
  });
  EXPECT_EQ(reported.size(), atEnd) << "the keeping should have ended with its run";
}

TEST(Session, BadSessionTextsAreSkippedAndTheWindowsStayAsTheyWere) {
  const std::string deep(100000, '[');
  const std::string_view cases[] = {
      "",
      "{\"windows\":",
      std::string_view("\xff\xfe\0{}", 5),
      deep,
      R"([{"windows":{"Form3":{"open":false}}}])",
      R"({"windows":[1,2]})",
      R"({"windows":{"Form3":7,"Form1":{"open":"no","bounds":[1,2,3,4],"edits":{"Edit1":7}}}})",
      R"({"windows":{"Form3":{"bounds":{"left":1e300,"top":0,"width":300,"height":200}}}})",
      R"({"windows":{"Form3":{"bounds":{"left":10,"top":10,"width":0,"height":200}}}})",
      R"({"windows":{"Form3":{"bounds":{"left":10,"top":10,"width":300.5,"height":200}}}})",
      R"({"windows":{"Form3":{"bounds":{"left":10,"top":10,"width":99999999,"height":200}}}})",
      R"({"windows":{"Form3":{"bounds":{"left":10,"top":10,"width":-300,"height":200}}}})",
      R"({"windows":{"Form9":{"open":true},"Form2":{"open":"yes"}}})",
      R"({"windows":{"Form1":{"open":false,"edits":{"Nope":"x","Button1":"pressed"}}}})",
  };
  InWorkbench([&] {
    const std::string before = CaptureSession();
    const std::string caption = Form1->Button1->Caption();
    for (const std::string_view text : cases) {
      RestoreSession(text);
      EXPECT_EQ(CaptureSession(), before) << "after " << text.substr(0, 100);
    }
    EXPECT_EQ(Form2, nullptr) << "no inspector without a true \"open\"";
    EXPECT_EQ(Form1->Button1->Caption(), caption) << "a button is no edit box";

    RestoreSession(R"({"windows":{"Form3":{"bounds":
        {"left":20000,"top":-9000,"width":300,"height":200}}}})");
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const std::vector<int> placed = Bounds(Form3);
    EXPECT_TRUE(area.contains(QRect(placed[0], placed[1], placed[2], placed[3])))
        << "a window no screen shows should be put on one";
    EXPECT_EQ(placed[2], 300);
    EXPECT_EQ(placed[3], 200);
  });
}

}  // namespace
