#pragma once

#include <memory>
#include <string>
#include <vector>

#include "rtl/classes.h"
#include "rtl/object.h"
#include "rtl/package.h"
#include "toolkit/toolkit.h"

// The main window: every action of the workbench is one of its buttons. It also
// holds the program's state: the package slot and the unit-name list.
class TForm1 : public toolkit::TForm {
  RTL_CLASS(TForm1, toolkit::TForm)
 public:
  explicit TForm1(rtl::TComponent* owner);
  ~TForm1() override;

  toolkit::TEdit* Edit1 = Field<toolkit::TEdit>("Edit1");
  toolkit::TOpenDialog* OpenDialog1 = Field<toolkit::TOpenDialog>("OpenDialog1");
  toolkit::TButton* LoadPack = Field<toolkit::TButton>("LoadPack");
  toolkit::TButton* UnLoadPack = Field<toolkit::TButton>("UnLoadPack");
  toolkit::TButton* Button1 = Field<toolkit::TButton>("Button1");
  toolkit::TButton* Button2 = Field<toolkit::TButton>("Button2");
  toolkit::TButton* Button3 = Field<toolkit::TButton>("Button3");
  toolkit::TButton* Button4 = Field<toolkit::TButton>("Button4");
  toolkit::TButton* Button5 = Field<toolkit::TButton>("Button5");
  toolkit::TMemo* Memo1 = Field<toolkit::TMemo>("Memo1");
  toolkit::TButton* Button6 = Field<toolkit::TButton>("Button6");
  toolkit::TEdit* Edit2 = Field<toolkit::TEdit>("Edit2");
  toolkit::TButton* Button7 = Field<toolkit::TButton>("Button7");
  toolkit::TButton* Button8 = Field<toolkit::TButton>("Button8");
  toolkit::TEdit* Edit3 = Field<toolkit::TEdit>("Edit3");

  // Published: the description binds them by name, and GetMethod finds them so.
  void LoadPackClick(rtl::TObject* sender);
  void UnLoadPackClick(rtl::TObject* sender);
  void Button1Click(rtl::TObject* sender);
  void Button3Click(rtl::TObject* sender);
  void FormClose(rtl::TObject* sender, toolkit::TCloseAction& action);
  void Button4Click(rtl::TObject* sender);
  void ButtonShowMessageClick(rtl::TObject* sender);
  void Button2Click(rtl::TObject* sender);
  void Button7Click(rtl::TObject* sender);
  void Button8Click(rtl::TObject* sender);

  // What LoadPack does once a file is chosen: empties the slot, tries unloading its
  // package and loading the file in the trial host, then does both. Raises when any
  // step fails, and the slot is then empty.
  void LoadIntoSlot(const std::string& fileName);
  // What "Найти ф-ю регистрации:" does with the name: installs the palette hook;
  // then, when the slot's package exports that name, tries it in the trial host,
  // calls it as a registration procedure and shows "BRRRRR" (unless not to announce
  // it: a reload runs it again quietly). An empty slot or a name not exported does
  // nothing more, silently.
  void RunNamedProcedure(const std::string& name, bool announce = true);
  // The procedure last run for the package in the slot; empty when none was.
  const std::string& RanProcedure() const noexcept { return ranProcedure_; }

 private:
  std::unique_ptr<rtl::TStringList> unitNames_;
  std::string ranProcedure_;
  // Every press of "Use TClassList" makes a list that lives as long as the window.
  std::vector<std::unique_ptr<rtl::TClassList>> classLists_;
};

extern TForm1* Form1;

// The package loaded through LoadPack; 0 when the slot is empty.
extern rtl::HMODULE LoadedPackage;

// Names collected from package information by the registration runner. Made by the
// main window's constructor, freed with that window.
extern rtl::TStringList* UnitNames;

// The published method of that name of the object's class, paired with the object.
// Method names are short names: a longer one is looked up by its first 255 bytes,
// but the message of a failed lookup carries it whole.
rtl::TMethod GetMethod(rtl::TObject* object, const std::string& name);
