// What can be learnt about a loaded module from its mapped image: its package
// record, its path.

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "module_internal.h"
#include "paths.h"
#include "rtl/package.h"
#include "rtl/sysutils.h"

namespace rtl {

namespace detail {

std::optional<TPackageRecord> ReadMappedRecord(const MappedObject& object) {
  // Notes of one alignment share a segment; the record and the export table may
  // sit in different ones, so every note segment is read.
  std::vector<NoteSegment> segments;
  for (ElfW(Half) i = 0; i < object.phnum; ++i) {
    const ElfW(Phdr)& ph = object.phdr[i];
    if (ph.p_type != PT_NOTE || ph.p_memsz == 0) continue;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(object.bias + ph.p_vaddr);
    const std::size_t alignment = ph.p_align <= 4 ? 4 : static_cast<std::size_t>(ph.p_align);
    segments.push_back(NoteSegment{std::span<const std::uint8_t>(bytes, ph.p_memsz), alignment, i});
  }
  return DecodePackageNotes(segments);
}

std::optional<TPackageRecord> ReadModuleRecord(HMODULE module) {
  const auto object = FindMappedObject(module);
  if (!object) return std::nullopt;
  return ReadMappedRecord(*object);
}

std::string MappedObjectPath(const MappedObject& object) {
  if (object.isMainProgram || object.name.empty()) return ProgramFile();
  return CanonicalPath(object.name);
}

std::string HandleText(HMODULE module) {
  char text[2 + 2 * sizeof(HMODULE) + 1];
  std::snprintf(text, sizeof(text), "0x%zx", static_cast<std::size_t>(module));
  return text;
}

}  // namespace detail

void GetPackageInfo(HMODULE module, void* param, std::uint8_t& flags, TPackageInfoProc proc) {
  if (!detail::IsRegisteredModule(module)) {
    throw Exception("GetPackageInfo: module %s is not in the module list",
                    {detail::HandleText(module)});
  }
  const auto object = detail::FindMappedObject(module);
  if (!object) {
    throw Exception("GetPackageInfo: module %s is not mapped", {detail::HandleText(module)});
  }
  const std::string path = detail::MappedObjectPath(*object);
  std::optional<TPackageRecord> record;
  try {
    record = detail::ReadMappedRecord(*object);
  } catch (const Exception& e) {
    throw Exception("GetPackageInfo: %s: %s", {path, e.Message()});
  }
  if (!record) throw Exception("GetPackageInfo: %s carries no package information", {path});

  flags = record->flags;
  if (proc == nullptr) return;
  for (const std::string& unit : record->units) proc(unit, ntContainsUnit, record->flags, param);
  for (const std::string& required : record->requiredPackages) {
    proc(required, ntRequiresPackage, record->flags, param);
  }
  if (!record->buildArtifact.empty()) {
    proc(record->buildArtifact, ntDcpBpiName, record->flags, param);
  }
}

std::uint32_t GetModuleFileNameA(HMODULE module, char* buffer, std::uint32_t size) {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  const auto object = detail::FindMappedObject(module);
  if (!object) return 0;
  const std::string path = detail::MappedObjectPath(*object);
  const std::size_t length = std::min<std::size_t>(path.size(), size - 1);
  std::memcpy(buffer, path.data(), length);
  buffer[length] = '\0';
  return static_cast<std::uint32_t>(length);
}

}  // namespace rtl
