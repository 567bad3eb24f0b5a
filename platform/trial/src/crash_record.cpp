#include <cinttypes>
#include <cstdio>
#include <string>

#include "crash_fields.h"
#include "trial/crash.h"

namespace trial {

using wire::DecodeError;
using wire::Reader;
using wire::Writer;

std::string AddressText(std::uint64_t address) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%" PRIx64, address);
  return text;
}

namespace {

std::string FileName(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string CrashFrame::Text() const {
  const bool hasLine = !file.empty() && line != 0;
  std::string text;
  if (!function.empty()) {
    text = hasLine ? function : function + "+" + AddressText(offset);
  } else {
    text = module.empty() ? AddressText(address) : FileName(module) + "+" + AddressText(offset);
  }
  if (hasLine) text += " at " + file + ":" + std::to_string(line);
  if (module.empty()) {
    text += " (no module)";
  } else if (!function.empty()) {
    text += " (" + FileName(module) + ")";
  }
  return text;
}

std::vector<std::string> CrashReport::Lines() const {
  std::vector<std::string> lines;
  for (const CrashFrame& frame : frames) {
    lines.push_back((lines.empty() ? "in " : "called from ") + frame.Text());
  }
  return lines;
}

std::string CrashReport::FaultingPackage() const {
  if (!frames.empty() && frames.front().package) return frames.front().module;
  return package;
}

std::string Encode(Kind kind, std::uint64_t id, const CrashRecord& record) {
  Writer out;
  crash_fields::Put(out, record);
  return out.Frame(static_cast<std::uint8_t>(kind), id);
}

template <>
CrashRecord Decode<CrashRecord>(const wire::Frame& frame) {
  Reader in(frame.body);
  CrashRecord record;
  record.signal = static_cast<std::int32_t>(in.U32());
  record.code = static_cast<std::int32_t>(in.U32());
  record.address = in.U64();
  record.thread = in.U64();
  record.mainThread = in.Bool();
  record.action = in.Text();
  record.package = in.Text();
  record.pc = in.U64();
  const std::uint32_t registers = in.Count(8);
  if (registers > crash_fields::kMaxRegisters) {
    throw DecodeError("a crash record with " + std::to_string(registers) +
                      " registers, above the " + std::to_string(crash_fields::kMaxRegisters) +
                      " allowed");
  }
  record.registers.resize(registers);
  for (std::uint64_t& value : record.registers) value = in.U64();
  record.stackAddress = in.U64();
  record.stack = in.Text();
  record.maps = in.Text();
  in.End();
  return record;
}

void Write(Writer& writer, const CrashReport& report) {
  writer.U32(static_cast<std::uint32_t>(report.signal))
      .U64(report.address)
      .Bool(report.mainThread)
      .Text(report.action)
      .Text(report.package)
      .Text(report.module)
      .U32(static_cast<std::uint32_t>(report.frames.size()));
  for (const CrashFrame& frame : report.frames) {
    writer.U64(frame.address)
        .U64(frame.offset)
        .Text(frame.module)
        .Text(frame.function)
        .Text(frame.file)
        .U32(frame.line)
        .Bool(frame.package);
  }
}

CrashReport ReadCrashReport(Reader& reader) {
  CrashReport report;
  report.signal = static_cast<std::int32_t>(reader.U32());
  report.address = reader.U64();
  report.mainThread = reader.Bool();
  report.action = reader.Text();
  report.package = reader.Text();
  report.module = reader.Text();
  report.frames.resize(reader.Count(8 + 8 + 4 + 4 + 4 + 4 + 1));
  for (CrashFrame& frame : report.frames) {
    frame.address = reader.U64();
    frame.offset = reader.U64();
    frame.module = reader.Text();
    frame.function = reader.Text();
    frame.file = reader.Text();
    frame.line = reader.U32();
    frame.package = reader.Bool();
  }
  return report;
}

}  // namespace trial
