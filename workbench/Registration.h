#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rtl/classes.h"
#include "rtl/package.h"
#include "toolkit/stdctrls.h"

// The palette's memos by tab index: slot n holds the memo of the palette page whose
// sheet has TabIndex n. The table grows with the pages, so every page has a slot.
// A slot is null (or missing) while its page has no memo yet; only the registration
// hook writes it, and it owns nothing.
extern std::vector<toolkit::TMemo*> PageMemos;

// The component-registration hook: finds the palette page by exact caption (creating
// it when there is none), lists each class name on the page's memo and registers
// each class. With no main window nothing is listed, but every class is registered.
// Whatever a call raises stops it there; nothing done before is undone.
void PaletteRegisterComponents(const std::string& page, const rtl::TClass* classes,
                               std::int32_t high);

// After an unload: drops from every page's memo the classes no longer registered (the
// loader unregisters a package's classes as it unloads it). The pages stay, in their
// order, so the memos' table by tab index stays as it is; registering the package
// again lists each class once.
void DropUnregisteredClasses();

// The registration procedures the module exports, one per unit of its package
// information that has one, in the units' order; none when it has no readable
// package information.
std::vector<std::string> RegistrationProcedures(rtl::HMODULE module);
// Whether the module exports a procedure of exactly that name.
bool ExportsProcedure(rtl::HMODULE module, const std::string& name);

// The package-information callback of the whole-process registration run: every
// reported name, whatever its kind, goes into UnitNames.
void CollectUnitName(const std::string& name, rtl::TNameType nameType, std::uint8_t flags,
                     void* param);
