#pragma once

// The fields of a crash record in the one order both its writers keep: the encoder
// (a wire::Writer over a CrashRecord) and the signal handler (a writer into memory set
// aside, over what it found at hand). A reader can only read what either wrote if
// they never differ, so neither spells the order out itself.

#include <cstddef>
#include <cstdint>

namespace trial::crash_fields {

// What a dying process can hold in its record, and what a reader takes: the
// handler's buffer and the decoder's bounds both come from these.
inline constexpr std::size_t kMaxRegisters = 64;
inline constexpr std::size_t kMaxAction = 256;
inline constexpr std::size_t kMaxPackage = 4096;
inline constexpr std::size_t kMaxStack = 128 * 1024;
inline constexpr std::size_t kMaxMaps = 128 * 1024;

// `Out` has U8/U32/U64/Bool/Text as wire::Writer has; `Record` has the members of a
// CrashRecord, each of a type that Out takes.
template <typename Out, typename Record>
void Put(Out& out, const Record& record) {
  out.U32(static_cast<std::uint32_t>(record.signal))
      .U32(static_cast<std::uint32_t>(record.code))
      .U64(record.address)
      .U64(record.thread)
      .Bool(record.mainThread)
      .Text(record.action)
      .Text(record.package)
      .U64(record.pc);
  out.U32(static_cast<std::uint32_t>(record.registers.size()));
  for (const std::uint64_t value : record.registers) out.U64(value);
  out.U64(record.stackAddress).Text(record.stack).Text(record.maps);
}

// The bytes of a record besides its texts and registers.
inline constexpr std::size_t kFixedSize = 4 + 4 + 8 + 8 + 1 + 4 + 4 + 8 + 4 + 8 + 4 + 4;

}  // namespace trial::crash_fields
