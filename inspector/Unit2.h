#pragma once

#include <cstdint>
#include <string>

#include "rtl/package.h"
#include "toolkit/toolkit.h"

// The module inspector: every module in the module list with its description, and
// the package information of the one the user selects. It only reads; it loads,
// unloads and changes no module.
class TForm2 : public toolkit::TForm {
  RTL_CLASS(TForm2, toolkit::TForm)
 public:
  // Builds the window from its description and fills the list; the window stays
  // hidden until someone shows it. A module whose description cannot be read makes
  // the constructor raise.
  explicit TForm2(rtl::TComponent* owner);
  ~TForm2() override;

  toolkit::TPanel* Panel1 = Field<toolkit::TPanel>("Panel1");
  toolkit::TPanel* Panel2 = Field<toolkit::TPanel>("Panel2");
  toolkit::TLabel* Label1 = Field<toolkit::TLabel>("Label1");
  toolkit::TButton* Button1 = Field<toolkit::TButton>("Button1");
  toolkit::TMemo* Memo2 = Field<toolkit::TMemo>("Memo2");
  toolkit::TListBox* ListBox1 = Field<toolkit::TListBox>("ListBox1");
  toolkit::TMemo* Memo1 = Field<toolkit::TMemo>("Memo1");
  toolkit::TLabel* Label2 = Field<toolkit::TLabel>("Label2");
  toolkit::TLabel* Label3 = Field<toolkit::TLabel>("Label3");
  toolkit::TMemo* Memo3 = Field<toolkit::TMemo>("Memo3");
  toolkit::TLabel* Label4 = Field<toolkit::TLabel>("Label4");

  // "Обновить": lists the module list afresh, one item per record in the list's
  // order, each carrying its module's handle. Raises at the first module whose
  // description cannot be read; the items before it stay.
  void Button1Click(rtl::TObject* sender);
  // Shows the selected module's package information in the three memos. Nothing it
  // meets is reported: no selection, a module without package information or one
  // that has gone since the last refresh all leave the memos empty.
  void ListBox1Click(rtl::TObject* sender);
};

// Null until the main window first opens the inspector; set only once the
// constructor has returned, so a failed construction leaves it null.
extern TForm2* Form2;

// Where ShowPackageInfoEntry writes each kind of name. The inspector's constructor
// sets them; the callback is given no context of its own.
extern toolkit::TMemo* ContainsUnitMemo;     // kind 0 (Memo2)
extern toolkit::TMemo* RequiresPackageMemo;  // kind 1 (Memo1)
extern toolkit::TMemo* DcpBpiNameMemo;       // any other kind (Memo3)

// The package-information callback: appends the name, unchanged, to the memo for
// its kind. Raises when no inspector has set the memos yet.
void ShowPackageInfoEntry(const std::string& name, rtl::TNameType nameType, std::uint8_t flags,
                          void* param);
