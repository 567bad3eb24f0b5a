#include "Unit2.h"

#include "rtl/sysutils.h"

TForm2* Form2 = nullptr;
toolkit::TMemo* ContainsUnitMemo = nullptr;
toolkit::TMemo* RequiresPackageMemo = nullptr;
toolkit::TMemo* DcpBpiNameMemo = nullptr;

RTL_DEFINE_CLASS(TForm2, RTL_PUBLISH(TForm2, Button1Click), RTL_PUBLISH(TForm2, ListBox1Click))

namespace {

// The file-name buffer holds at most this many bytes, the terminating zero
// included: a longer path is cut.
constexpr std::uint32_t kFileNameLimit = 254;

// The file name as an item shows it.
std::string ListedFileName(rtl::HMODULE module) {
  char fileName[kFileNameLimit];
  rtl::GetModuleFileNameA(module, fileName, kFileNameLimit);
  return rtl::Trim(fileName);
}

// Whether the item still stands for a loaded module. The list is a snapshot: its
// module may have been unloaded since, and another library may since have been
// mapped at the same address, so the handle must be registered and the module there
// must be the file the item names.
bool StillLoaded(rtl::HMODULE module, const std::string& itemText) {
  bool registered = false;
  for (const rtl::TLibModule* m = rtl::LibModuleList(); m != nullptr && !registered; m = m->Next) {
    registered = m->Instance == module;
  }
  return registered && itemText.starts_with(ListedFileName(module) + " [");
}

// The memo a reference names. Null only when no inspector is left to show names in
// (the one that set it was freed, or its construction failed).
toolkit::TMemo& ReferencedMemo(toolkit::TMemo* memo, const char* reference) {
  if (memo == nullptr) {
    throw rtl::Exception("%s: no module inspector window is open to show package information",
                         {reference});
  }
  return *memo;
}

// The references must not outlive the memos they name: a process goes on after its
// windows (the tests, a second run), and a dangling memo is a crash, not a message.
void ForgetMemosOf(const TForm2& form) {
  if (ContainsUnitMemo == form.Memo2) ContainsUnitMemo = nullptr;
  if (RequiresPackageMemo == form.Memo1) RequiresPackageMemo = nullptr;
  if (DcpBpiNameMemo == form.Memo3) DcpBpiNameMemo = nullptr;
}

}  // namespace

TForm2::TForm2(rtl::TComponent* owner) : TForm(owner, StaticClass()) {
  ContainsUnitMemo = Memo2;
  RequiresPackageMemo = Memo1;
  DcpBpiNameMemo = Memo3;
  try {
    // Filled before anyone shows the window.
    Button1Click(Button1);
  } catch (...) {
    // The window is taken apart on the way out, and its memos with it.
    ForgetMemosOf(*this);
    throw;
  }
}

TForm2::~TForm2() {
  ForgetMemosOf(*this);
  if (Form2 == this) Form2 = nullptr;
}

void TForm2::Button1Click(rtl::TObject*) {
  toolkit::TListBoxItems& items = ListBox1->Items();
  items.Clear();
  int n = 0;
  for (rtl::TLibModule* module = rtl::LibModuleList(); module != nullptr; module = module->Next) {
    char fileName[kFileNameLimit];
    rtl::GetModuleFileNameA(module->Instance, fileName, kFileNameLimit);
    // The description is read with the name as it came, not trimmed: that is the
    // file the module was loaded from.
    const std::string description = rtl::GetPackageDescription(fileName);
    items.Add(rtl::Trim(fileName) + " [" + description + "]");
    items.SetObjects(n, module->Instance);
    ++n;
  }
}

void TForm2::ListBox1Click(rtl::TObject*) {
  const int index = ListBox1->ItemIndex();
  ReferencedMemo(ContainsUnitMemo, "ContainsUnitMemo").Lines().Clear();
  ReferencedMemo(RequiresPackageMemo, "RequiresPackageMemo").Lines().Clear();
  ReferencedMemo(DcpBpiNameMemo, "DcpBpiNameMemo").Lines().Clear();
  try {
    const rtl::HMODULE module = ListBox1->Items().Objects(index);
    if (!StillLoaded(module, ListBox1->Items().Strings(index))) return;
    std::uint8_t flags = 0;
    rtl::GetPackageInfo(module, nullptr, flags, ShowPackageInfoEntry);
  } catch (...) {
    // No selection, or a module without package information: the memos stay as
    // they are, and the user is told nothing.
  }
}

void ShowPackageInfoEntry(const std::string& name, rtl::TNameType nameType, std::uint8_t, void*) {
  // Crossed on purpose: contained units go to Memo2, required packages to Memo1.
  switch (static_cast<std::uint8_t>(nameType)) {
    case 0:
      ReferencedMemo(ContainsUnitMemo, "ContainsUnitMemo").Lines().Add(name);
      break;
    case 1:
      ReferencedMemo(RequiresPackageMemo, "RequiresPackageMemo").Lines().Add(name);
      break;
    default:
      ReferencedMemo(DcpBpiNameMemo, "DcpBpiNameMemo").Lines().Add(name);
      break;
  }
}
