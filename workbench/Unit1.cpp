#include "Unit1.h"

#include <utility>

#include "Registration.h"
#include "Trial.h"
#include "Unit2.h"
#include "Unit4.h"
#include "rtl/sysutils.h"

TForm1* Form1 = nullptr;
rtl::HMODULE LoadedPackage = 0;
rtl::TStringList* UnitNames = nullptr;

RTL_DEFINE_CLASS(TForm1, RTL_PUBLISH(TForm1, LoadPackClick), RTL_PUBLISH(TForm1, UnLoadPackClick),
                 RTL_PUBLISH(TForm1, Button1Click), RTL_PUBLISH(TForm1, Button3Click),
                 RTL_PUBLISH(TForm1, FormClose), RTL_PUBLISH(TForm1, Button4Click),
                 RTL_PUBLISH(TForm1, ButtonShowMessageClick), RTL_PUBLISH(TForm1, Button2Click),
                 RTL_PUBLISH(TForm1, Button7Click), RTL_PUBLISH(TForm1, Button8Click))

TForm1::TForm1(rtl::TComponent* owner)
    : TForm(owner, StaticClass()), unitNames_(std::make_unique<rtl::TStringList>()) {
  UnitNames = unitNames_.get();
}

TForm1::~TForm1() {
  // The globals would otherwise outlive the window in a process that goes on.
  if (UnitNames == unitNames_.get()) UnitNames = nullptr;
  if (Form1 == this) Form1 = nullptr;
}

namespace {

// Whatever an unload or the load after it raises, the palette is brought in line
// with the class registry afterwards.
class PaletteFollowsUnload {
 public:
  PaletteFollowsUnload() = default;
  PaletteFollowsUnload(const PaletteFollowsUnload&) = delete;
  PaletteFollowsUnload& operator=(const PaletteFollowsUnload&) = delete;
  ~PaletteFollowsUnload() {
    try {
      DropUnregisteredClasses();
    } catch (...) {
      toolkit::Application->HandleException();
    }
  }
};

}  // namespace

void TForm1::LoadPackClick(rtl::TObject*) {
  if (!OpenDialog1->Execute()) return;
  LoadIntoSlot(OpenDialog1->FileName());
}

void TForm1::LoadIntoSlot(const std::string& fileName) {
  // Out of the slot before the unload, which may raise after it has finished (a
  // unit that failed to finalise): the handle is dead either way. Whatever raises,
  // the slot stays empty. No instance outlives the code it runs.
  ClosePreviews();
  const PaletteFollowsUnload palette;
  ranProcedure_.clear();
  LoadedPackage = LoadTried(std::exchange(LoadedPackage, 0), fileName);
}

void TForm1::UnLoadPackClick(rtl::TObject*) {
  // Emptied before the unload, which may raise once it has finished.
  ClosePreviews();
  const PaletteFollowsUnload palette;
  ranProcedure_.clear();
  if (LoadedPackage != 0) UnloadTried(std::exchange(LoadedPackage, 0), UnloadCause::UnLoadPack);
}

void TForm1::FormClose(rtl::TObject*, toolkit::TCloseAction&) {
  // Emptied first: an unload that raises would otherwise raise again at every
  // further close, and the window could never close.
  ClosePreviews();
  if (LoadedPackage == 0) return;
  try {
    UnloadTried(std::exchange(LoadedPackage, 0), UnloadCause::Closing);
  } catch (const TrialFailure& failure) {
    // The package stays as it is until the end, which closing still reaches.
    toolkit::Application->ShowException(failure);
  }
}

void TForm1::Button1Click(rtl::TObject*) {
  // Form2 is set only once the window is whole: a construction that fails leaves it
  // null, and the next press builds the window anew.
  if (Form2 == nullptr) Form2 = new TForm2(this);
  Form2->Show();
}

void TForm1::Button3Click(rtl::TObject*) {
  // Two lookups, each reading the text anew: a miss is reported twice.
  if (rtl::GetClass(Edit2->Text()) == nullptr) toolkit::ShowMessage("Класс не найден");
  if (rtl::GetClass(Edit2->Text()) == nullptr) toolkit::ShowMessage("Класс не найден");
}

rtl::TMethod GetMethod(rtl::TObject* object, const std::string& name) {
  if (object == nullptr) throw rtl::Exception("GetMethod: no object given for method " + name);
  const rtl::TClass cls = object->ClassType();
  rtl::TMethod method;
  method.Code = rtl::MethodAddress(cls, rtl::ShortString(name));
  method.Data = object;
  if (method.Code == nullptr) {
    throw rtl::Exception("Метод %s::%s не найден", {rtl::ClassName(cls), name});
  }
  return method;
}

void TForm1::Button4Click(rtl::TObject*) {
  const rtl::TMethod method = GetMethod(this, "ButtonShowMessageClick");
  rtl::InvokeMethod(method, static_cast<rtl::TObject*>(nullptr));
}

void TForm1::ButtonShowMessageClick(rtl::TObject*) {
  toolkit::ShowMessage("тратата");
}

void TForm1::Button2Click(rtl::TObject*) {
  rtl::TClassList* list = classLists_.emplace_back(std::make_unique<rtl::TClassList>()).get();
  list->Add(toolkit::TButton::StaticClass());
  Memo1->Lines().Add(rtl::Format("%i", {list->Count()}));
  for (int i = 0; i < list->Count(); ++i) {
    Memo1->Lines().Add(rtl::ClassName(list->Items(i)).ToString());
  }
}
