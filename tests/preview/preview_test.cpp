// The preview of a palette class: opened from the palette's memo, edited through its
// grid, and closed before the code its instance runs goes away.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTextBlock>

#include "Unit4.h"
#include "workbench_test_support.h"

namespace {

using namespace wbtest;

constexpr const char* kStdreg = "@Stdreg@Register$qqrv";

enum class Gesture { DoubleClick, Enter };

// Opens a preview as the user does: on the memo line naming the class.
void OpenFromMemo(toolkit::TMemo* memo, const std::string& line, Gesture gesture) {
  ASSERT_NE(memo, nullptr);
  auto* edit = static_cast<QPlainTextEdit*>(memo->Widget());
  const std::vector<std::string> lines = memo->Lines().ToVector();
  const auto found = std::find(lines.begin(), lines.end(), line);
  ASSERT_NE(found, lines.end()) << line << " is not on the memo";
  QTextCursor cursor(edit->document()->findBlockByNumber(static_cast<int>(found - lines.begin())));
  if (gesture == Gesture::DoubleClick) {
    const QPointF at = edit->cursorRect(cursor).center();
    QMouseEvent click(QEvent::MouseButtonDblClick, at, edit->viewport()->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(edit->viewport(), &click);
  } else {
    edit->setTextCursor(cursor);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QCoreApplication::sendEvent(edit, &enter);
  }
}

// What the grid's editor of a property shows, as text.
std::string Shown(const TForm4& preview, const std::string& property) {
  QWidget* editor = preview.Grid->Editor(property);
  if (auto* spin = qobject_cast<QSpinBox*>(editor)) return std::to_string(spin->value());
  if (auto* check = qobject_cast<QCheckBox*>(editor)) return check->isChecked() ? "True" : "False";
  if (auto* combo = qobject_cast<QComboBox*>(editor)) return combo->currentText().toStdString();
  if (auto* line = qobject_cast<QLineEdit*>(editor)) return line->text().toStdString();
  if (auto* button = qobject_cast<QPushButton*>(editor)) return button->text().toStdString();
  ADD_FAILURE() << "no editor shows " << property;
  return {};
}

std::string ButtonText(const rtl::TComponent* instance) {
  const auto* control = dynamic_cast<const toolkit::TControl*>(instance);
  return control != nullptr ? static_cast<QPushButton*>(control->Widget())->text().toStdString()
                            : std::string("(not a control)");
}

TForm4* LoadAndPreview(ScopedDialogs& dialogs, const std::string& page, const std::string& cls,
                       Gesture gesture = Gesture::DoubleClick) {
  LoadPack(dialogs, PackageFile("stdreg"));
  NamedRun(kStdreg);
  OpenFromMemo(PageMemo(page), cls, gesture);
  return Previews().empty() ? nullptr : Previews().back();
}

// Either gesture opens the live instance; the caption edited in the grid's line
// changes the control at once, and a count set there shows on it too.
TEST(Preview, OpensFromTheMemoAndGridEditsChangeTheLiveControl) {
  for (const Gesture gesture : {Gesture::DoubleClick, Gesture::Enter}) {
    ScopedDialogs dialogs;
    InWorkbench([&] {
      TForm4* preview = LoadAndPreview(dialogs, "Samples", "TClickCounter", gesture);
      ASSERT_NE(preview, nullptr) << "the gesture should open a preview";
      EXPECT_TRUE(preview->Widget()->isVisible());
      auto* control = dynamic_cast<toolkit::TControl*>(preview->Instance());
      ASSERT_NE(control, nullptr);
      EXPECT_EQ(control->Parent(), preview->pnlStage) << "the instance sits on the stage";
      EXPECT_EQ(preview->Grid->TypeText("Caption"), "Text");
      EXPECT_EQ(preview->Grid->TypeText("Align"), "TAlign");

      auto* caption = qobject_cast<QLineEdit*>(preview->Grid->Editor("Caption"));
      ASSERT_NE(caption, nullptr) << "a text is edited in a line";
      caption->setText("Clicks");
      caption->setModified(true);
      emit caption->editingFinished();
      EXPECT_EQ(ButtonText(control), "Clicks: 0");
      qobject_cast<QSpinBox*>(preview->Grid->Editor("Clicks"))->setValue(100000);
      EXPECT_EQ(ButtonText(control), "Clicks: 100000");
      qobject_cast<QPushButton*>(preview->Grid->Editor("Reset"))->click();
      EXPECT_EQ(ButtonText(control), "Clicks: 0") << "the method's button calls it";
      EXPECT_EQ(Shown(*preview, "Clicks"), "0") << "the grid follows what the call did";
      auto* align = qobject_cast<QComboBox*>(preview->Grid->Editor("Align"));
      align->setCurrentText("alBottom");
      emit align->activated(align->currentIndex());
      EXPECT_EQ(control->Align(), toolkit::alBottom);
      dialogs->AnswerColor(0x112233);
      dialogs->AnswerColor(std::nullopt);
      for (int i = 0; i < 2; ++i)
        qobject_cast<QPushButton*>(preview->Grid->Editor("Color"))->click();
      EXPECT_EQ(control->Color().Value, 0x112233u) << "the colour chosen, then one cancelled";
      EXPECT_EQ(Shown(*preview, "Color"), "#112233");

      OpenFromMemo(PageMemo("Samples"), "TClickCounter", gesture);
      EXPECT_EQ(Previews().size(), 1u) << "a class's open preview is brought forward";
    });
    EXPECT_EQ(dialogs->Exceptions(), std::vector<std::string>{});
  }
}

// Whatever refuses a value (its text, the setter) is shown, and the grid goes back to
// what the instance holds.
TEST(Preview, ARefusedWriteIsShownAndTheGridShowsTheRealValue) {
  struct Case {
    std::string cls, property, text, error, shown;
  };
  const Case cases[] = {
      {"TColorSwatch", "Caption", "nope", "is not a colour", "#3366CC"},
      {"TClickCounter", "Clicks", "-3", "cannot be negative (-3)", "0"},
      {"TClickCounter", "Align", "alNowhere", "TAlign", "alNone"},
  };
  for (const Case& c : cases) {
    ScopedDialogs dialogs;
    InWorkbench([&] {
      TForm4* preview = LoadAndPreview(dialogs, "Samples", c.cls);
      ASSERT_NE(preview, nullptr);
      preview->Grid->OnEdited(c.property, c.text);
      EXPECT_EQ(Shown(*preview, c.property), c.shown) << c.cls << "." << c.property;
    });
    EXPECT_THAT(dialogs->Exceptions(), testing::ElementsAre(testing::HasSubstr(c.error)))
        << c.cls << "." << c.property << " = " << c.text;
  }
  ScopedDialogs dialogs;  // a refused call, and a write whose code would fault, likewise
  InWorkbench([&] {
    TForm4* preview = LoadAndPreview(dialogs, "Samples", "TClickCounter");
    ASSERT_NE(preview, nullptr);
    preview->Grid->OnCall("Explode");
    LoadPack(dialogs, PackageFile("previewfault"));
    NamedRun("@PreviewFault@Register$qqrv");
    TForm4* faulty = OpenPreview("TNullSetter");
    for (const char* level : {"5", "12"}) faulty->Grid->OnEdited("Level", level);
    EXPECT_EQ(Shown(*faulty, "Level"), "5") << "only what passed its trial is written";
    EXPECT_FALSE(faulty->Grid->Editor("Raise")->isEnabled()) << "it takes arguments";
  });
  EXPECT_THAT(
      dialogs->Exceptions(),
      testing::ElementsAre(testing::HasSubstr("Explode"),
                           testing::HasSubstr("SIGSEGV (Segmentation fault) in the setter of "
                                              "TNullSetter.Level; the property was not written")));
}

// An instance must never outlive the code it runs: every way the slot's package goes
// closes its previews first. Were the instance freed after, its destructor would run
// unmapped code.
TEST(Preview, EveryWayOfUnloadingClosesThePreviewsFirst) {
  const std::pair<std::string, std::function<void(ScopedDialogs&)>> ways[] = {
      {"UnLoadPack", [](ScopedDialogs&) { Press(Form1->UnLoadPack); }},
      {"LoadPack of another file",
       [](ScopedDialogs& dialogs) { LoadPack(dialogs, PackageFile("twounits")); }},
      {"closing the main window", [](ScopedDialogs&) {}},
  };
  for (const auto& [way, unload] : ways) {
    ScopedDialogs dialogs;
    QPointer<QWidget> instanceWidget;
    InWorkbench([&] {
      TForm4* preview = LoadAndPreview(dialogs, "Indicators", "TLedLabel");
      ASSERT_NE(preview, nullptr);
      instanceWidget = dynamic_cast<toolkit::TControl*>(preview->Instance())->Widget();
      unload(dialogs);
    });
    EXPECT_TRUE(Previews().empty()) << way;
    EXPECT_TRUE(instanceWidget.isNull()) << way << ": the instance should be freed";
    EXPECT_EQ(dialogs->Exceptions(), std::vector<std::string>{}) << way;
  }
}

// Notes edited as lines, counted as they are written; and a value its getter will
// not give.
class TNotes : public rtl::TComponent {
  RTL_CLASS(TNotes, rtl::TComponent)
 public:
  using TComponent::TComponent;
  rtl::TTextList Notes() const { return notes_; }
  void SetNotes(rtl::TTextList notes) {
    notes_ = std::move(notes);
    ++writes;
  }
  int Unknown() const { throw rtl::Exception("TNotes: nothing is known yet"); }
  void SetUnknown(int) {}
  int writes = 0;

 private:
  rtl::TTextList notes_{"first", "second"};
};
RTL_DEFINE_CLASS(TNotes, RTL_PROPERTY(TNotes, Notes, Notes, SetNotes),
                 RTL_PROPERTY(TNotes, Unknown, Unknown, SetUnknown))

// A component that is no control has only its grid; a class that cannot be made from
// an owner (previewfault's TNoOwner), and a line that names no registered class, say so.
TEST(Preview, ANonControlShowsTheGridAloneAndWhatCannotBeShownSaysSo) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    LoadPack(dialogs, PackageFile("multireg"));
    NamedRun("@MultiReg@Register$qqrv");
    OpenFromMemo(PageMemo("Multi"), "TMultiA", Gesture::DoubleClick);
    ASSERT_EQ(Previews().size(), 1u);
    EXPECT_FALSE(Previews()[0]->pnlStage->Visible()) << "nothing to show but the grid";
    EXPECT_TRUE(Previews()[0]->Grid->Visible());
    EXPECT_EQ(Previews()[0]->Grid->Align(), toolkit::alClient) << "the grid takes the window";

    PageMemo("Multi")->Lines().Add("TNoSuchClass");
    OpenFromMemo(PageMemo("Multi"), "TNoSuchClass", Gesture::Enter);
    EXPECT_EQ(Previews().size(), 1u);

    LoadPack(dialogs, PackageFile("previewfault"));
    NamedRun("@PreviewFault@Register$qqrv");
    TForm4* cannot = OpenPreview("TNoOwner");
    EXPECT_EQ(cannot->Instance(), nullptr);
    EXPECT_EQ(cannot->lblNote->Caption(),
              "TNoOwner cannot be created from an owner: there is no instance to show");
  });
  EXPECT_THAT(dialogs->Exceptions(),
              testing::ElementsAre("TNoSuchClass is not a registered class: there is nothing to "
                                   "preview"));
}

// A list of texts is shown a line each and written when its editor is left changed;
// a property whose getter raises has its editor turned off, with why.
TEST(Preview, NotesAreWrittenWhenTheirEditorIsLeftChangedAndAGetterThatRaisesTurnsItsRowOff) {
  ScopedDialogs dialogs;
  InWorkbench([&] {
    rtl::RegisterClass(TNotes::StaticClass());
    TForm4* preview = OpenPreview("TNotes");
    rtl::UnRegisterClass(TNotes::StaticClass());
    auto* notes = dynamic_cast<TNotes*>(preview->Instance());
    ASSERT_NE(notes, nullptr);
    auto* lines = qobject_cast<QPlainTextEdit*>(preview->Grid->Editor("Notes"));
    ASSERT_NE(lines, nullptr) << "a list of texts is edited as lines";
    EXPECT_EQ(lines->toPlainText(), "first\nsecond");
    const auto leave = [&] {
      QFocusEvent out(QEvent::FocusOut);
      QCoreApplication::sendEvent(lines, &out);
    };
    leave();
    EXPECT_EQ(notes->writes, 0) << "left unchanged, nothing is written";
    lines->selectAll();
    lines->insertPlainText("one\ntwo\nthree");  // as typed
    leave();
    EXPECT_EQ(notes->Notes(), (rtl::TTextList{"one", "two", "three"}));
    leave();
    EXPECT_EQ(notes->writes, 1) << "once written, it is unchanged again";

    QWidget* unknown = preview->Grid->Editor("Unknown");
    EXPECT_FALSE(unknown->isEnabled());
    EXPECT_EQ(unknown->toolTip(), "TNotes: nothing is known yet");
  });
  EXPECT_EQ(dialogs->Exceptions(), std::vector<std::string>{});
}

}  // namespace
