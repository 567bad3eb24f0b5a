// The trial protocol over arbitrary bytes, as package code may write them into the
// report pipe of a trial child: the frame reader fed in pieces of the sizes the
// bytes themselves choose, and every frame it cuts out read as every kind of body.
// Nothing may be read beyond the bytes, nothing allocated beyond what they could
// hold, and nothing thrown but a DecodeError. A body that reads must read the same
// again once written back, or two ends would disagree about one message. Seeds: a
// frame of each body that has lists or texts in it, and two frames in one stream.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "trial/protocol.h"

namespace {

constexpr std::size_t kMaxFrame = 2048;
constexpr std::size_t kMaxBuffered = kMaxFrame + 512;

// What the workbench does with a body once it is read, so that its texts and the
// logic meet whatever a body can hold.
void Use(const trial::TryRequest& request) {
  trial::Outcome outcome;
  outcome.end = trial::Outcome::End::Leftovers;
  outcome.failedAction = trial::FailedActionAfterAll(request.actions);
  if (trial::Taken(request.actions, outcome).size() > request.actions.size() + 1) {
    __builtin_trap();
  }
}
void Use(const trial::Outcome& outcome) {
  (void)outcome.Failure("a.so");
}
void Use(const trial::Stage& stage) {
  (void)trial::Describe(stage);
}
void Use(const trial::Leftovers& left) {
  Use(left.stage);
}
template <typename T>
void Use(const T&) {}

template <typename T>
void ReadAs(const trial::wire::Frame& frame) {
  const auto kind = static_cast<trial::Kind>(frame.kind);
  std::string again;
  try {
    const T value = trial::Decode<T>(frame);
    Use(value);
    again = trial::Encode(kind, frame.id, value);
  } catch (const trial::wire::DecodeError&) {
    return;
  }
  // Read as it was written: the frame must come out of a reader whole, and its body
  // read back without an error into what writes the same bytes.
  try {
    trial::wire::FrameReader reader(again.size(), again.size());
    reader.Feed(again);
    const auto copy = reader.Next();
    if (!copy || copy->kind != frame.kind || copy->id != frame.id) __builtin_trap();
    if (trial::Encode(kind, frame.id, trial::Decode<T>(*copy)) != again) __builtin_trap();
  } catch (const trial::wire::DecodeError&) {
    __builtin_trap();
  }
}

void ReadAsEveryBody(const trial::wire::Frame& frame) {
  using namespace trial;
  ReadAs<TryRequest>(frame);
  ReadAs<Stage>(frame);
  ReadAs<Registration>(frame);
  ReadAs<ActionRaised>(frame);
  ReadAs<Leftovers>(frame);
  ReadAs<ChildDone>(frame);
  ReadAs<CommitRequest>(frame);
  ReadAs<ShadowState>(frame);
  ReadAs<HostHello>(frame);
  ReadAs<Outcome>(frame);
  ReadAs<CrashRecord>(frame);
  try {
    const std::string text = DecodeText(frame);
    if (text.size() + 4 != frame.body.size()) __builtin_trap();
  } catch (const wire::DecodeError&) {
  }
  try {
    (void)DecodeNumber(frame);
    if (frame.body.size() != 8) __builtin_trap();
  } catch (const wire::DecodeError&) {
  }
  try {
    DecodeEmpty(frame);
    if (!frame.body.empty()) __builtin_trap();
  } catch (const wire::DecodeError&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  trial::wire::FrameReader reader(kMaxFrame, kMaxBuffered);
  try {
    for (std::size_t at = 0; at < bytes.size();) {
      // A piece of 1 to 64 bytes, as the byte it starts with says.
      const std::size_t piece = 1 + data[at] % 64;
      reader.Feed(bytes.substr(at, piece));
      at += piece;
      while (const auto frame = reader.Next()) {
        if (trial::wire::kHeaderSize - 4 + frame->body.size() > kMaxFrame) __builtin_trap();
        ReadAsEveryBody(*frame);
      }
      if (reader.Pending() > kMaxBuffered) __builtin_trap();
    }
  } catch (const trial::wire::DecodeError&) {
    // The stream is no protocol of ours: its reader gives up on it.
  }
  return 0;
}
