#include "dynamic_exports.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace pkginfo {

namespace {

// "_ZTI6TGauge" -> "TGauge"; empty when it is no type information.
std::string ClassOfTypeInfo(const char* symbol) {
  if (std::strncmp(symbol, "_ZTI", 4) != 0) return {};
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(symbol, nullptr, nullptr, &status), &std::free);
  constexpr std::string_view kPrefix = "typeinfo for ";
  if (status != 0 || demangled == nullptr) return {};
  const std::string_view text(demangled.get());
  return text.starts_with(kPrefix) ? std::string(text.substr(kPrefix.size())) : std::string();
}

bool Exported(const GElf_Sym& symbol) {
  const int binding = GELF_ST_BIND(symbol.st_info);
  const int visibility = GELF_ST_VISIBILITY(symbol.st_other);
  return symbol.st_shndx != SHN_UNDEF && (binding == STB_GLOBAL || binding == STB_WEAK) &&
         (visibility == STV_DEFAULT || visibility == STV_PROTECTED);
}

void Collect(Elf* elf, DynamicExports& exports) {
  for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
       section = elf_nextscn(elf, section)) {
    GElf_Shdr header;
    if (gelf_getshdr(section, &header) == nullptr || header.sh_type != SHT_DYNSYM) continue;
    Elf_Data* data = elf_getdata(section, nullptr);
    if (data == nullptr || header.sh_entsize == 0) continue;
    const std::size_t count = header.sh_size / header.sh_entsize;
    for (std::size_t i = 0; i < count; ++i) {
      GElf_Sym symbol;
      if (gelf_getsym(data, static_cast<int>(i), &symbol) == nullptr || !Exported(symbol)) continue;
      const char* name = elf_strptr(elf, header.sh_link, symbol.st_name);
      if (name == nullptr || *name == '\0') continue;
      if (const std::string cls = ClassOfTypeInfo(name); !cls.empty()) {
        if (std::find(exports.classes.begin(), exports.classes.end(), cls) ==
            exports.classes.end()) {
          exports.classes.push_back(cls);
        }
      } else if (std::strncmp(name, "_Z", 2) != 0 && std::strncmp(name, "rtl_unit_", 9) != 0) {
        exports.symbols.emplace_back(name);
      }
    }
  }
}

}  // namespace

std::vector<std::string> PlainExports(const rtl::TPackageRecord& record,
                                      const DynamicExports& exports) {
  std::vector<std::string> plain;
  for (const std::string& symbol : exports.symbols) {
    const bool noted =
        std::any_of(record.exports.begin(), record.exports.end(),
                    [&](const rtl::TPackageExport& e) { return e.symbol == symbol; });
    if (!noted) plain.push_back(symbol);
  }
  return plain;
}

DynamicExports ReadDynamicExports(const std::string& file) {
  elf_version(EV_CURRENT);
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(file + ": cannot open: " + std::strerror(errno));
  Elf* elf = elf_begin(fd, ELF_C_READ, nullptr);
  DynamicExports exports;
  if (elf == nullptr || elf_kind(elf) != ELF_K_ELF) {
    const std::string reason = elf_errmsg(-1);
    if (elf != nullptr) elf_end(elf);
    close(fd);
    throw std::runtime_error(file + ": cannot read its symbols: " + reason);
  }
  Collect(elf, exports);
  elf_end(elf);
  close(fd);
  // The table's order is its hash's: sorted, the listing reads the same every build.
  std::sort(exports.symbols.begin(), exports.symbols.end());
  std::sort(exports.classes.begin(), exports.classes.end());
  return exports;
}

}  // namespace pkginfo
