// The trial protocol's frames: every message comes back whole, and hostile bytes are cut
// or refused without reading or allocating beyond them.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "test_support.h"
#include "trial/protocol.h"

using namespace std::string_literals;
using namespace std::chrono_literals;

namespace {

using namespace trial;
using Type = Action::Type;

struct TextBody {
  std::string text;
  bool operator==(const TextBody&) const = default;
};
struct NumberBody {
  std::uint64_t number;
  bool operator==(const NumberBody&) const = default;
};
struct EmptyBody {
  bool operator==(const EmptyBody&) const = default;
};

using Message =
    std::variant<TryRequest, Stage, Registration, ActionRaised, Leftovers, ChildDone, CommitRequest,
                 ShadowState, HostHello, Outcome, TextBody, NumberBody, EmptyBody>;

template <typename T>
std::string EncodeAny(Kind kind, std::uint64_t id, const T& message) {
  return Encode(kind, id, message);
}
std::string EncodeAny(Kind kind, std::uint64_t id, const TextBody& body) {
  return EncodeText(kind, id, body.text);
}
std::string EncodeAny(Kind kind, std::uint64_t id, const NumberBody& body) {
  return EncodeNumber(kind, id, body.number);
}
std::string EncodeAny(Kind kind, std::uint64_t id, const EmptyBody&) {
  return EncodeEmpty(kind, id);
}

template <typename T>
T DecodeAny(const wire::Frame& frame) {
  if constexpr (std::is_same_v<T, TextBody>) {
    return {DecodeText(frame)};
  } else if constexpr (std::is_same_v<T, NumberBody>) {
    return {DecodeNumber(frame)};
  } else if constexpr (std::is_same_v<T, EmptyBody>) {
    DecodeEmpty(frame);
    return {};
  } else {
    return Decode<T>(frame);
  }
}

const std::string kOdd = "a\0b\xff\xfe\x80 \xc3("s;  // a zero byte and bytes that are no UTF-8

Action Load(std::string file, std::optional<rtl::TFileIdentity> identity = std::nullopt) {
  return Action{Type::Load, std::move(file), identity, {}, {}, {}};
}
Action Plain(Type type) {
  return Action{type, "", {}, {}, {}, {}};
}
Action Preview(std::string className, std::vector<PreviewStep> steps) {
  return Action{Type::Preview, "", {}, {}, std::move(className), std::move(steps)};
}

// A registration of classes that publish nothing.
Registration Bare(std::string page, const std::vector<std::string>& classes) {
  Registration registration{std::move(page), classes, {}};
  for (const std::string& name : classes) registration.published.push_back({name, {}, {}});
  return registration;
}

// A registration whose every class publishes the same: what a real one holds.
Registration Registered(std::string page, const std::vector<std::string>& classes) {
  Registration registration{std::move(page), classes, {}};
  for (const std::string& name : classes) {
    registration.published.push_back(RegisteredClass{
        name, {{"Caption", "Text", ""}, {kOdd, "set of TAnchorKind", kOdd}}, {kOdd}});
  }
  return registration;
}

Outcome FullOutcome() {
  Outcome o;
  o.end = Outcome::End::Leftovers;
  o.signal = -1;
  o.exitStatus = kChannelLost;
  o.limit = 2500ms;
  o.memoryLimitMiB = std::uint64_t{1} << 40;
  o.stage = {StageKind::Events, "demo", "procedure " + kOdd, true};
  o.actionsDone = 3;
  o.failedAction = 0xFFFFFFFF;
  o.raised = kOdd;
  o.procedures = {{"@Main@Register$qqrv",
                   {Registered("Standard", {"TButton", kOdd}), Registered("", {})},
                   "",
                   false},
                  {kOdd, {}, "EAccessViolation", true}};
  o.leftovers = {"1 thread running", kOdd};
  o.detail = kOdd;
  o.output = std::string(1000, '\0') + kOdd;
  o.outputCut = true;
  o.isolation = "a process namespace of its own";
  o.crash = CrashReport{SIGSEGV, ~0ull, true, "loading", kOdd, "/p/libb.so", {}};
  o.crash.frames = {{0x7f1234, 0x1c, "/p/libb.so", "Crash()", kOdd, 35, true}, {}};
  return o;
}

struct RoundTrip {
  const char* what;
  Kind kind;
  Message message;
};

TEST(TrialFrames, EveryMessageComesBackWhole) {
  const rtl::TFileIdentity extreme{~0ull, 1, ~0ull >> 1, INT64_MIN, -1};
  std::vector<std::string> manyClasses;
  for (int i = 0; i < 20000; ++i) manyClasses.push_back("TClass" + std::to_string(i));

  const std::vector<RoundTrip> rows = {
      {"every action type, with and without an identity", Kind::Try,
       TryRequest{std::vector<Action>{
                      Load(kOdd, extreme), Load("/tmp/b.so"),
                      Action{Type::Run, "", {}, {{"a.so", "@A@Register$qqrv"}, {kOdd, ""}}, {}, {}},
                      Plain(Type::Unload), Plain(Type::Close), Plain(Type::Condemn),
                      Preview(kOdd, {PreviewStep{PreviewStep::Type::Write, "Caption", kOdd},
                                     PreviewStep{PreviewStep::Type::Call, kOdd, ""}}),
                      Preview("TGauge", {})},
                  1ms, 86400000ms, 7, false}},
      {"no actions", Kind::Restore, TryRequest{}},
      {"a commit", Kind::Commit, CommitRequest{{Load("x.so", rtl::TFileIdentity{})}}},
      {"an empty commit", Kind::Commit, CommitRequest{}},
      {"a stage in a replay", Kind::Entered,
       Stage{StageKind::UnitFinalization, kOdd, "Main", true}},
      {"the last stage kind", Kind::Progress,
       Stage{StageKind::Component, "", "the setter of TGauge.Value", false}},
      {"a big registration", Kind::Registered, Bare(kOdd, manyClasses)},
      {"a registration whose classes publish", Kind::Registered,
       Registered(kOdd, {"TButton", kOdd})},
      {"a class that publishes nothing", Kind::Registered,
       Registration{"Samples", {"TBare"}, {RegisteredClass{"TBare", {}, {}}}}},
      {"a registration of nothing", Kind::Registered, Registration{}},
      {"a missing procedure", Kind::Raised, ActionRaised{kOdd, true}},
      {"leftovers", Kind::Left,
       Leftovers{{"an alarm pending", kOdd}, {StageKind::Procedure, "", "", false}}},
      {"no leftovers", Kind::Left, Leftovers{}},
      {"done", Kind::Done, ChildDone{0xFFFFFFFF}},
      {"a shadow's state", Kind::Committed, ShadowState{0x01020304}},
      {"a hello", Kind::Hello, HostHello{~0ull}},
      {"an outcome with every field", Kind::Answer, FullOutcome()},
      {"an outcome of nothing", Kind::Answer, Outcome{}},
      {"a text", Kind::Changed, TextBody{kOdd}},
      {"an empty text", Kind::Changed, TextBody{}},
      {"a number", Kind::Begin, NumberBody{0x8877665544332211}},
      {"nothing", Kind::ResetDone, EmptyBody{}},
  };

  // All of them in one stream, cut in pieces that fall anywhere in a frame.
  std::string stream;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    stream +=
        std::visit([&](const auto& m) { return EncodeAny(rows[i].kind, (0xA5ull << 56) | i, m); },
                   rows[i].message);
  }
  wire::FrameReader reader(1u << 20, 1u << 20);
  std::vector<wire::Frame> frames;
  for (std::size_t at = 0; at < stream.size(); at += 7) {
    reader.Feed(std::string_view(stream).substr(at, 7));
    while (auto frame = reader.Next()) frames.push_back(std::move(*frame));
  }
  EXPECT_EQ(reader.Pending(), 0u);
  ASSERT_EQ(frames.size(), rows.size());

  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].what);
    EXPECT_EQ(frames[i].kind, static_cast<std::uint8_t>(rows[i].kind));
    EXPECT_EQ(frames[i].id, (0xA5ull << 56) | i);
    std::visit(
        [&](const auto& sent) {
          using T = std::decay_t<decltype(sent)>;
          try {
            EXPECT_TRUE(DecodeAny<T>(frames[i]) == sent) << "it came back different";
          } catch (const wire::DecodeError& e) {
            ADD_FAILURE() << "refused: " << e.what();
          }
        },
        rows[i].message);
  }
}

// --- hostile bytes -----------------------------------------------------------

std::string Le32(std::uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>(value >> (8 * i)));
  return bytes;
}

std::string Patched(std::string frame, std::size_t bodyOffset, char byte) {
  frame.at(wire::kHeaderSize + bodyOffset) = byte;
  return frame;
}

template <typename T>
void As(const wire::Frame& frame) {
  (void)DecodeAny<T>(frame);
}

struct Hostile {
  const char* what;
  std::string bytes;
  std::string error;       // part of the DecodeError expected; empty: none
  std::size_t frames = 0;  // whole frames cut out before the end, or the error
  std::size_t pending = 0;
  void (*decode)(const wire::Frame&) = nullptr;  // each frame read as this
  std::size_t piece = 0;                         // fed this many bytes at a time; 0: at once
  std::size_t maxFrame = 64;
  std::size_t maxBuffered = 128;
};

TEST(TrialFrames, HostileBytesAreCutOrRefusedWithoutReadingOrAllocatingBeyondThem) {
  const std::string stage = Encode(Kind::Entered, 1, Stage{StageKind::Procedure, "p", "n"});
  const std::string text = EncodeText(Kind::Changed, 2, "abc");  // 20 bytes
  const std::string oneAction = Encode(Kind::Try, 3, TryRequest{{Plain(Type::Condemn)}});
  const std::string oneStep =
      Encode(Kind::Try, 4, TryRequest{{Preview("", {{PreviewStep::Type::Call, "", ""}})}});
  const std::vector<Hostile> rows = {
      {"a frame fed byte by byte", stage, "", 1, 0, As<Stage>, 1},
      {"a frame fed byte by byte but its last", stage.substr(0, stage.size() - 1), "", 0,
       stage.size() - 1, nullptr, 1},
      {"part of a length", Le32(9).substr(0, 3), "", 0, 3},
      {"a length of nothing", Le32(0), "a message of 0 bytes"},
      {"a length below the header", Le32(8) + "\x01" + std::string(7, '\0'),
       "a message of 8 bytes"},
      {"a length above the largest frame, before its body", Le32(65),
       "a message of 65 bytes, above the 64 allowed"},
      {"the largest length there is", Le32(0xFFFFFFFF), "above the 64 allowed"},
      {"a frame of exactly the largest size",
       wire::Writer().Text(std::string(64 - 9 - 4, 'x')).Frame(5, 0), "", 1},
      {"more waiting than the bound", Le32(40) + std::string(36, '\0'),
       "more than 32 bytes waiting", 0, 0, nullptr, 0, 64, 32},
      {"frames taken no longer count against the bound", text + text, "", 2, 0, As<TextBody>, 10,
       64, 25},
      {"two frames in one feed", text + stage, "", 2},
      {"a frame and a half", text + text.substr(0, 11), "", 1, 11},
      {"texts a body cannot hold", wire::Writer().Text("p").U32(0xFFFFFFFF).Frame(22, 0),
       "a list of 4294967295 items in 0 bytes", 0, 0, As<Registration>},
      {"one action more than the body holds", Patched(oneAction, 0, 2),
       "a list of 2 items in 83 bytes", 0, 0, As<TryRequest>, 0, 256},
      {"procedures a body cannot hold", Patched(Encode(Kind::Answer, 0, Outcome{}), 50, '\x7f'),
       "items in", 0, 0, As<Outcome>, 0, 256},
      {"a text longer than what is left", wire::Writer().U32(0xFFFFFFF0).Frame(26, 0),
       "a field runs past the end of its message (4294967280 bytes wanted, 0 left)", 0, 0,
       As<TextBody>},
      {"a body cut short", wire::Writer().U8(0).Frame(27, 0), "runs past the end", 0, 0,
       As<ChildDone>},
      {"a yes-or-no field holding 2", wire::Writer().Text("m").U8(2).Frame(23, 0),
       "a yes-or-no field holds 2", 0, 0, As<ActionRaised>},
      {"an unknown action type", Patched(oneAction, 4, 6), "an action of unknown type 6", 0, 0,
       As<TryRequest>, 0, 256},
      {"an unknown preview step type", Patched(oneStep, 4 + 1 + 4 + 41 + 4 + 4 + 4, 2),
       "a preview step of unknown type 2", 0, 0, As<TryRequest>, 0, 256},
      {"a registration that publishes for a class it does not list",
       Encode(Kind::Registered, 0, Registration{"p", {"TA"}, {RegisteredClass{"TB", {}, {}}}}),
       "a registration whose published classes are not the ones listed", 0, 0, As<Registration>},
      {"a registration that lists a class it publishes nothing for",
       Encode(Kind::Registered, 0, Registration{"p", {"TA"}, {}}),
       "a registration whose published classes are not the ones listed", 0, 0, As<Registration>},
      {"an unknown stage kind", Patched(stage, 0, 8), "a stage of unknown kind 8", 0, 0, As<Stage>},
      {"an unknown outcome end", Patched(Encode(Kind::Answer, 0, Outcome{}), 0, 10),
       "an outcome of unknown kind 10", 0, 0, As<Outcome>, 0, 256},
      {"a byte after the last field", wire::Writer().U32(3).U8(0).Frame(27, 0),
       "1 bytes left over after the last field", 0, 0, As<ChildDone>},
      {"a body where none belongs", wire::Writer().U8(0).Frame(13, 0), "1 bytes left over", 0, 0,
       As<EmptyBody>},
  };
  for (const Hostile& row : rows) {
    SCOPED_TRACE(row.what);
    wire::FrameReader reader(row.maxFrame, row.maxBuffered);
    std::size_t frames = 0;
    std::string error;
    const std::size_t piece = row.piece == 0 ? row.bytes.size() : row.piece;
    try {
      for (std::size_t at = 0; at < row.bytes.size(); at += piece) {
        reader.Feed(std::string_view(row.bytes).substr(at, piece));
        while (auto frame = reader.Next()) {
          if (row.decode != nullptr) row.decode(*frame);
          ++frames;
        }
      }
    } catch (const wire::DecodeError& e) {
      error = e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "not a DecodeError: " << e.what();
      continue;
    }
    EXPECT_EQ(frames, row.frames);
    if (row.error.empty()) {
      EXPECT_EQ(error, "");
      EXPECT_EQ(reader.Pending(), row.pending);
    } else {
      EXPECT_THAT(error, testing::HasSubstr(row.error));
    }
  }
}

}  // namespace
