#include "elf_test_support.h"

#include <cstring>

namespace elftest {

std::size_t FindSegment(const Bytes& file, std::uint32_t type) {
  for (std::size_t i = 0; i < Header(file).e_phnum; ++i) {
    const auto ph = Get<Elf64_Phdr>(file, SegmentOffset(file, i));
    if (ph.p_type == type && ph.p_filesz > 0) return i;
  }
  throw rtl::Exception("test: no segment of type %d", {static_cast<unsigned long>(type)});
}

NoteAt FindPackageNote(const Bytes& file, std::uint32_t type) {
  for (std::size_t i = 0; i < Header(file).e_phnum; ++i) {
    const auto ph = Get<Elf64_Phdr>(file, SegmentOffset(file, i));
    if (ph.p_type != PT_NOTE || ph.p_align > 4) continue;
    std::uint64_t at = ph.p_offset;
    for (std::size_t number = 1; at < ph.p_offset + ph.p_filesz; ++number) {
      const auto nh = Get<Elf64_Nhdr>(file, at);
      const std::uint64_t name = at + sizeof nh;
      const std::uint64_t desc = name + ((nh.n_namesz + 3) & ~3u);
      if (nh.n_namesz == 7 && std::memcmp(file.data() + name, "RTLPKG", 7) == 0 &&
          nh.n_type == type) {
        return {i, number, at, desc, nh.n_descsz, nh.n_type};
      }
      at = desc + ((nh.n_descsz + 3) & ~3u);
    }
  }
  throw rtl::Exception("test: no package note of type %d", {static_cast<unsigned long>(type)});
}

static void Pad(Bytes& bytes, std::size_t alignment) {
  while (bytes.size() % alignment != 0) bytes.push_back(0);
}

Bytes MakeNote(const std::string& owner, std::uint32_t type, const Bytes& desc,
               std::size_t alignment, bool terminateOwner) {
  Bytes out(12);
  const std::uint32_t nameSize =
      static_cast<std::uint32_t>(owner.size() + (terminateOwner ? 1 : 0));
  const std::uint32_t descSize = static_cast<std::uint32_t>(desc.size());
  Put(out, 0, nameSize);
  Put(out, 4, descSize);
  Put(out, 8, type);
  out.insert(out.end(), owner.begin(), owner.end());
  if (terminateOwner) out.push_back(0);
  Pad(out, alignment);
  out.insert(out.end(), desc.begin(), desc.end());
  Pad(out, alignment);
  return out;
}

Bytes MakeExportDesc(const std::string& name, const std::string& symbol) {
  Bytes out(name.begin(), name.end());
  out.push_back(0);
  out.insert(out.end(), symbol.begin(), symbol.end());
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes MinimalSharedObject(const std::vector<NoteSegment>& segments) {
  const std::size_t phnum = 1 + segments.size();
  Bytes file(sizeof(Elf64_Ehdr) + phnum * sizeof(Elf64_Phdr));
  std::vector<Elf64_Phdr> headers;
  for (const NoteSegment& segment : segments) {
    Pad(file, segment.alignment);
    Elf64_Phdr ph{};
    ph.p_type = PT_NOTE;
    ph.p_flags = PF_R;
    ph.p_offset = ph.p_vaddr = ph.p_paddr = file.size();
    ph.p_filesz = ph.p_memsz = segment.notes.size();
    ph.p_align = segment.alignment;
    headers.push_back(ph);
    file.insert(file.end(), segment.notes.begin(), segment.notes.end());
  }
  Elf64_Phdr load{};
  load.p_type = PT_LOAD;
  load.p_flags = PF_R;
  load.p_filesz = load.p_memsz = file.size();
  load.p_align = 0x1000;
  headers.insert(headers.begin(), load);

  Elf64_Ehdr h{};
  std::memcpy(h.e_ident, ELFMAG, SELFMAG);
  h.e_ident[EI_CLASS] = ELFCLASS64;
  h.e_ident[EI_DATA] = ELFDATA2LSB;
  h.e_ident[EI_VERSION] = EV_CURRENT;
  h.e_type = ET_DYN;
  h.e_machine = EM_X86_64;
  h.e_version = EV_CURRENT;
  h.e_phoff = sizeof(Elf64_Ehdr);
  h.e_ehsize = sizeof(Elf64_Ehdr);
  h.e_phentsize = sizeof(Elf64_Phdr);
  h.e_phnum = static_cast<Elf64_Half>(phnum);
  Put(file, 0, h);
  for (std::size_t i = 0; i < headers.size(); ++i) {
    Put(file, sizeof(Elf64_Ehdr) + i * sizeof(Elf64_Phdr), headers[i]);
  }
  return file;
}

}  // namespace elftest
