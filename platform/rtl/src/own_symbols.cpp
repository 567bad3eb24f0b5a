// A module's own functions by name: what LoadPackage runs as unit initialisations and
// finalisations, and what GetProcAddress hands out.

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstring>

#include "module_internal.h"

namespace rtl::detail {

namespace {

// An address the dynamic section holds. The dynamic linker adds the load bias to
// these in place where the section is writable, and leaves them as they are where it
// is not: an unrelocated one is a small offset into the module, below its bias.
template <typename T>
const T* DynamicAddress(ElfW(Addr) value, ElfW(Addr) bias) {
  return reinterpret_cast<const T*>(value < bias ? value + bias : value);
}

std::uint32_t GnuHash(const char* name) {
  std::uint32_t hash = 5381;
  for (const auto* c = reinterpret_cast<const unsigned char*>(name); *c != 0; ++c) {
    hash = hash * 33 + *c;
  }
  return hash;
}

}  // namespace

OwnSymbols::OwnSymbols(void* handle) : handle_(handle) {
  link_map* map = nullptr;
  if (handle == nullptr || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return;
  bias_ = map->l_addr;
  const ElfW(Phdr)* phdr = nullptr;
  const int phnum = dlinfo(handle, RTLD_DI_PHDR, &phdr);
  if (phnum > 0 && phdr != nullptr)
    module_ = MappedBase(bias_, phdr, static_cast<std::size_t>(phnum));
  for (const ElfW(Dyn)* entry = map->l_ld; entry != nullptr && entry->d_tag != DT_NULL; ++entry) {
    const ElfW(Addr) value = entry->d_un.d_ptr;
    switch (entry->d_tag) {
      case DT_GNU_HASH:
        gnuHash_ = DynamicAddress<std::uint32_t>(value, bias_);
        break;
      case DT_SYMTAB:
        symbols_ = DynamicAddress<ElfW(Sym)>(value, bias_);
        break;
      case DT_STRTAB:
        strings_ = DynamicAddress<char>(value, bias_);
        break;
      case DT_VERSYM:
        versions_ = DynamicAddress<ElfW(Half)>(value, bias_);
        break;
    }
  }
}

// The lookup the dynamic linker makes in one object (the GNU hash table: a Bloom
// filter, buckets, and chains whose last entry has its low bit set), taking the
// default version of a versioned name.
const ElfW(Sym) * OwnSymbols::Find(const char* name) const {
  constexpr std::uint32_t kWordBits = sizeof(ElfW(Addr)) * 8;
  const std::uint32_t buckets = gnuHash_[0], first = gnuHash_[1];
  const std::uint32_t bloomWords = gnuHash_[2], shift = gnuHash_[3];
  if (buckets == 0 || bloomWords == 0) return nullptr;
  const auto* bloom = reinterpret_cast<const ElfW(Addr)*>(gnuHash_ + 4);
  const auto* bucket = reinterpret_cast<const std::uint32_t*>(bloom + bloomWords);
  const std::uint32_t* chain = bucket + buckets;
  const std::uint32_t hash = GnuHash(name);
  const ElfW(Addr) word = bloom[(hash / kWordBits) % bloomWords];
  const ElfW(Addr) mask =
      (ElfW(Addr){1} << (hash % kWordBits)) | (ElfW(Addr){1} << ((hash >> shift) % kWordBits));
  if ((word & mask) != mask) return nullptr;
  for (std::uint32_t index = bucket[hash % buckets]; index >= first; ++index) {
    const std::uint32_t entry = chain[index - first];
    const ElfW(Sym)& symbol = symbols_[index];
    const bool hidden = versions_ != nullptr && (versions_[index] & 0x8000) != 0;
    if ((entry | 1) == (hash | 1) && !hidden && std::strcmp(strings_ + symbol.st_name, name) == 0) {
      return &symbol;
    }
    if ((entry & 1) != 0) break;
  }
  return nullptr;
}

void* OwnSymbols::Function(const char* name) const {
  if (gnuHash_ == nullptr || symbols_ == nullptr || strings_ == nullptr) return Searched(name);
  const ElfW(Sym)* symbol = Find(name);
  if (symbol == nullptr || symbol->st_shndx == SHN_UNDEF || symbol->st_shndx == SHN_ABS) {
    return nullptr;
  }
  switch (ELF64_ST_TYPE(symbol->st_info)) {
    case STT_FUNC:
      return reinterpret_cast<void*>(bias_ + symbol->st_value);
    case STT_GNU_IFUNC:
      // Its resolver picks the code, and the dynamic linker calls the resolver.
      return Searched(name);
    default:
      return nullptr;
  }
}

// Through the dynamic linker, for a module without a GNU hash table and for a
// function its resolver picks: dlsym on a handle also searches the module's
// dependencies, and finds data as readily as code, so what it returns is only ours
// when the module defines it as code.
void* OwnSymbols::Searched(const char* name) const {
  void* address = handle_ != nullptr ? dlsym(handle_, name) : nullptr;
  if (address == nullptr) return nullptr;
  Dl_info info{};
  void* entry = nullptr;
  if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0) return nullptr;
  const auto* symbol = static_cast<const ElfW(Sym)*>(entry);
  if (reinterpret_cast<HMODULE>(info.dli_fbase) != module_ || symbol == nullptr) return nullptr;
  const unsigned type = ELF64_ST_TYPE(symbol->st_info);
  return type == STT_FUNC || type == STT_GNU_IFUNC ? address : nullptr;
}

}  // namespace rtl::detail
