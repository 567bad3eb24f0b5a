// The registration hook and the two registration runs of the main window.

#include "Registration.h"

#include "Trial.h"
#include "Unit1.h"
#include "Unit3.h"
#include "Unit4.h"
#include "rtl/sysutils.h"
#include "toolkit/comctrls.h"
#include "toolkit/dialogs.h"

std::vector<toolkit::TMemo*> PageMemos;

namespace {

using RegistrationProc = void (*)();

// The procedure the module exports under that name, or null. An export name ends at
// its first zero byte, so a name holding one can match no export; looking up its
// front part would run the wrong procedure.
RegistrationProc ExportedProcedure(rtl::HMODULE module, const std::string& name) {
  if (name.find('\0') != std::string::npos) return nullptr;
  return reinterpret_cast<RegistrationProc>(rtl::GetProcAddress(module, name.c_str()));
}

toolkit::TTabSheet* FindPage(const toolkit::TPageControl& pages, const std::string& name) {
  for (int index = 0; index < pages.PageCount(); ++index) {
    toolkit::TTabSheet* sheet = pages.GetPage(index);
    // Bytes and length: no case folding, no trimming.
    if (sheet->Caption() == name) return sheet;
  }
  return nullptr;
}

// The memo stored for the sheet, or null when it has none yet. A slot counts only
// while its memo still sits on that very sheet: a slot left from palette windows
// of an earlier run in this process (their memos long freed) is never used.
toolkit::TMemo* StoredMemo(const toolkit::TTabSheet& sheet, int tabIndex) {
  if (tabIndex < 0 || static_cast<std::size_t>(tabIndex) >= PageMemos.size()) return nullptr;
  toolkit::TMemo* memo = PageMemos[static_cast<std::size_t>(tabIndex)];
  if (memo == nullptr) return nullptr;
  for (int i = 0; i < sheet.ControlCount(); ++i) {
    if (sheet.Controls(i) == memo) return memo;
  }
  return nullptr;
}

// Gives the sheet its memo: owned by the main window, stored in the sheet's slot,
// then placed on the sheet through that slot.
toolkit::TMemo* GiveMemo(toolkit::TTabSheet& sheet, int tabIndex) {
  auto* memo = new toolkit::TMemo(Form1);
  const auto slot = static_cast<std::size_t>(tabIndex);
  if (slot >= PageMemos.size()) PageMemos.resize(slot + 1, nullptr);
  PageMemos[slot] = memo;
  PageMemos[slot]->SetParent(&sheet);
  PageMemos[slot]->SetAlign(toolkit::alClient);
  OpenPreviewsFrom(*PageMemos[slot]);
  return PageMemos[slot];
}

// The page's memo: made with its sheet the first time the name arrives. A sheet
// whose memo was never stored (its creation failed part-way) gets one now.
toolkit::TMemo* PageMemo(const std::string& name) {
  // Start-up makes the palette window right after the main window; a main window
  // without one can only be a program put together some other way.
  if (Form3 == nullptr) {
    throw rtl::Exception("PaletteRegisterComponents: there is no palette window for page \"%s\"",
                         {name});
  }
  toolkit::TPageControl* pages = Form3->pcPallete;
  toolkit::TTabSheet* sheet = FindPage(*pages, name);
  if (sheet == nullptr) {
    sheet = new toolkit::TTabSheet(Form3);
    sheet->SetPageControl(pages);
    sheet->SetCaption(name);
  }
  const int tabIndex = sheet->TabIndex();
  if (tabIndex < 0) {
    throw rtl::Exception(
        "PaletteRegisterComponents: the sheet of page \"%s\" is not on the palette", {name});
  }
  if (toolkit::TMemo* memo = StoredMemo(*sheet, tabIndex)) return memo;
  return GiveMemo(*sheet, tabIndex);
}

}  // namespace

void PaletteRegisterComponents(const std::string& page, const rtl::TClass* classes,
                               std::int32_t high) {
  toolkit::TMemo* memo = Form1 != nullptr ? PageMemo(page) : nullptr;
  rtl::ListAndRegisterClasses("PaletteRegisterComponents", page, classes, high,
                              [memo](const rtl::ShortString& name) {
                                if (memo != nullptr) memo->Lines().Add(name.ToString());
                              });
}

void DropUnregisteredClasses() {
  if (Form3 == nullptr) return;
  const toolkit::TPageControl& pages = *Form3->pcPallete;
  for (int index = 0; index < pages.PageCount(); ++index) {
    toolkit::TTabSheet* sheet = pages.GetPage(index);
    toolkit::TMemo* memo = StoredMemo(*sheet, sheet->TabIndex());
    if (memo == nullptr) continue;
    std::vector<std::string> lines = memo->Lines().ToVector();
    const auto gone = std::erase_if(
        lines, [](const std::string& name) { return rtl::GetClass(name) == nullptr; });
    if (gone > 0) memo->Lines().Assign(lines);
  }
}

void CollectUnitName(const std::string& name, rtl::TNameType, std::uint8_t, void*) {
  if (UnitNames == nullptr) {
    throw rtl::Exception("CollectUnitName: no main window holds a unit-name list for \"%s\"",
                         {name});
  }
  UnitNames->Add(name);
}

void TForm1::Button8Click(rtl::TObject*) {
  RunNamedProcedure(Edit3->Text());
}

void TForm1::RunNamedProcedure(const std::string& name, bool announce) {
  // The hook goes in first, whether or not there is anything to run.
  rtl::RegisterComponentsProc = &PaletteRegisterComponents;
  if (LoadedPackage == 0) return;
  const RegistrationProc proc = ExportedProcedure(LoadedPackage, name);
  if (proc == nullptr) return;
  TryProcedures({{LoadedPackage, name}}, "the procedure was not run");
  CallProcedure(LoadedPackage, name, proc);
  ranProcedure_ = name;
  if (announce) toolkit::ShowMessage("BRRRRR");
}

namespace {

void CollectInto(const std::string& name, rtl::TNameType, std::uint8_t, void* names) {
  static_cast<std::vector<std::string>*>(names)->push_back(name);
}

// The procedures the whole-process run below would call, found as it finds them,
// so that the trial runs the same ones. Nothing of the run's state is touched.
std::vector<TrialProcedure> WholeProcessProcedures() {
  std::vector<TrialProcedure> procedures;
  for (rtl::TLibModule* module = rtl::LibModuleList(); module != nullptr; module = module->Next) {
    for (std::string& name : RegistrationProcedures(module->Instance)) {
      procedures.push_back({module->Instance, std::move(name)});
    }
  }
  return procedures;
}

}  // namespace

std::vector<std::string> RegistrationProcedures(rtl::HMODULE module) {
  std::vector<std::string> units;
  try {
    std::uint8_t flags = 0;
    rtl::GetPackageInfo(module, &units, flags, &CollectInto);
  } catch (...) {
    // No readable package information: no units, so no procedures of theirs.
    return {};
  }
  std::vector<std::string> procedures;
  for (const std::string& unit : units) {
    std::string name = rtl::RegistrationProcName(unit);
    if (ExportedProcedure(module, name) != nullptr) procedures.push_back(std::move(name));
  }
  return procedures;
}

bool ExportsProcedure(rtl::HMODULE module, const std::string& name) {
  return ExportedProcedure(module, name) != nullptr;
}

void TForm1::Button7Click(rtl::TObject*) {
  rtl::RegisterComponentsProc = &PaletteRegisterComponents;
  TryProcedures(WholeProcessProcedures(), "no procedure of the run was run");
  for (rtl::TLibModule* module = rtl::LibModuleList(); module != nullptr; module = module->Next) {
    UnitNames->Clear();
    try {
      std::uint8_t flags = 0;
      rtl::GetPackageInfo(module->Instance, nullptr, flags, &CollectUnitName);
    } catch (...) {
      // A module without readable package information (the executable, for one)
      // simply has no registration procedures to run; what it reported before the
      // failure is not trusted either.
      continue;
    }
    // The count is read before every step, so nothing past the list's end is read.
    for (int index = 0; index < UnitNames->Count(); ++index) {
      const std::string name = rtl::RegistrationProcName(UnitNames->Strings(index));
      const RegistrationProc proc = ExportedProcedure(module->Instance, name);
      if (proc == nullptr) continue;
      // A procedure that raises ends the whole walk: the exception leaves the handler.
      CallProcedure(module->Instance, name, proc);
      toolkit::ShowMessage("BRRRRR");
    }
  }
}
