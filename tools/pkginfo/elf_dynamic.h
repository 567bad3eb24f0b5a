#pragma once

// Reads what the dynamic linker reads from a shared object: its dynamic section
// (needed libraries, search paths, soname) and its dynamic symbol table. Every
// offset and size is checked against the file before use; a damaged file raises
// rtl::Exception saying what was wrong, never reads outside the bytes.

#include <cstdint>
#include <string>
#include <vector>

#include "elf_reader.h"

namespace pkginfo {

struct DynamicSymbol {
  std::string name;
  bool defined = false;  // false: the object needs it from another one
  bool weak = false;     // a weak reference may stay unresolved
};

struct DynamicInfo {
  std::string soname;
  std::vector<std::string> needed;   // DT_NEEDED, in order
  std::vector<std::string> rpath;    // DT_RPATH entries, unexpanded
  std::vector<std::string> runpath;  // DT_RUNPATH entries, unexpanded
  std::vector<DynamicSymbol> symbols;
};

// Reads a 64-bit shared object for this machine. Raises rtl::Exception with the
// reason alone ("dynamic string table extends past the end of the file").
DynamicInfo ReadDynamicInfo(const rtl::detail::ByteSource& source);
// The same for a file; the message is "<path>: <reason>".
DynamicInfo ReadDynamicFile(const std::string& path);

}  // namespace pkginfo
