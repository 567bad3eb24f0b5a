#include "trial/protocol.h"

#include <algorithm>

namespace trial {

using wire::DecodeError;
using wire::Reader;
using wire::Writer;

namespace {

void Put(Writer& out, const std::optional<rtl::TFileIdentity>& identity) {
  const rtl::TFileIdentity none;
  const rtl::TFileIdentity& i = identity ? *identity : none;
  out.Bool(identity.has_value())
      .U64(i.device)
      .U64(i.inode)
      .U64(i.size)
      .I64(i.modified)
      .I64(i.changed);
}

void Get(Reader& in, std::optional<rtl::TFileIdentity>& identity) {
  const bool present = in.Bool();
  rtl::TFileIdentity i;
  i.device = in.U64();
  i.inode = in.U64();
  i.size = in.U64();
  i.modified = in.I64();
  i.changed = in.I64();
  if (present) identity = i;
}

void Put(Writer& out, const Action& action) {
  out.U8(static_cast<std::uint8_t>(action.type)).Text(action.file);
  Put(out, action.identity);
  out.U32(static_cast<std::uint32_t>(action.calls.size()));
  for (const Call& call : action.calls) out.Text(call.file).Text(call.name);
  out.Text(action.className).U32(static_cast<std::uint32_t>(action.steps.size()));
  for (const PreviewStep& step : action.steps) {
    out.U8(static_cast<std::uint8_t>(step.type)).Text(step.name).Text(step.value);
  }
}

void Get(Reader& in, PreviewStep& step) {
  const std::uint8_t type = in.U8();
  if (type > static_cast<std::uint8_t>(PreviewStep::Type::Call)) {
    throw DecodeError("a preview step of unknown type " + std::to_string(type));
  }
  step.type = static_cast<PreviewStep::Type>(type);
  step.name = in.Text();
  step.value = in.Text();
}

void Get(Reader& in, Action& action) {
  const std::uint8_t type = in.U8();
  if (type > static_cast<std::uint8_t>(Action::Type::Preview)) {
    throw DecodeError("an action of unknown type " + std::to_string(type));
  }
  action.type = static_cast<Action::Type>(type);
  action.file = in.Text();
  Get(in, action.identity);
  action.calls.resize(in.Count(8));
  for (Call& call : action.calls) {
    call.file = in.Text();
    call.name = in.Text();
  }
  action.className = in.Text();
  // The smallest step: its type and two empty texts.
  action.steps.resize(in.Count(1 + 4 + 4));
  for (PreviewStep& step : action.steps) Get(in, step);
}

void PutActions(Writer& out, const std::vector<Action>& actions) {
  out.U32(static_cast<std::uint32_t>(actions.size()));
  for (const Action& action : actions) Put(out, action);
}

std::vector<Action> GetActions(Reader& in) {
  // The smallest action: its type, an empty file, the identity, no calls, an empty
  // class name and no steps.
  std::vector<Action> actions(in.Count(1 + 4 + 41 + 4 + 4 + 4));
  for (Action& action : actions) Get(in, action);
  return actions;
}

void Put(Writer& out, const Stage& stage) {
  out.U8(static_cast<std::uint8_t>(stage.kind)).Text(stage.package).Text(stage.name);
  out.Bool(stage.replay);
}

void Get(Reader& in, Stage& stage) {
  const std::uint8_t kind = in.U8();
  if (kind > static_cast<std::uint8_t>(StageKind::Component)) {
    throw DecodeError("a stage of unknown kind " + std::to_string(kind));
  }
  stage.kind = static_cast<StageKind>(kind);
  stage.package = in.Text();
  stage.name = in.Text();
  stage.replay = in.Bool();
}

void Put(Writer& out, const RegisteredClass& cls) {
  out.Text(cls.name).U32(static_cast<std::uint32_t>(cls.properties.size()));
  for (const PublishedProperty& p : cls.properties) {
    out.Text(p.name).Text(p.type).Text(p.defaultText);
  }
  out.Texts(cls.methods);
}

void Get(Reader& in, RegisteredClass& cls) {
  cls.name = in.Text();
  cls.properties.resize(in.Count(4 + 4 + 4));
  for (PublishedProperty& p : cls.properties) {
    p.name = in.Text();
    p.type = in.Text();
    p.defaultText = in.Text();
  }
  cls.methods = in.Texts();
}

void Put(Writer& out, const Registration& registration) {
  out.Text(registration.page).Texts(registration.classes);
  out.U32(static_cast<std::uint32_t>(registration.published.size()));
  for (const RegisteredClass& cls : registration.published) Put(out, cls);
}

void Get(Reader& in, Registration& registration) {
  registration.page = in.Text();
  registration.classes = in.Texts();
  // The smallest: an empty name, no properties and no methods.
  registration.published.resize(in.Count(4 + 4 + 4));
  for (RegisteredClass& cls : registration.published) Get(in, cls);
  // Readers go through both lists side by side.
  const auto& names = registration.classes;
  const auto& published = registration.published;
  const bool inStep = names.size() == published.size() &&
                      std::equal(names.begin(), names.end(), published.begin(),
                                 [](const std::string& name, const RegisteredClass& cls) {
                                   return name == cls.name;
                                 });
  if (!inStep) throw DecodeError("a registration whose published classes are not the ones listed");
}

template <typename T, typename Fill>
T DecodeWith(const wire::Frame& frame, Fill fill) {
  Reader in(frame.body);
  T value;
  fill(in, value);
  in.End();
  return value;
}

template <typename Fill>
std::string EncodeWith(Kind kind, std::uint64_t id, Fill fill) {
  Writer out;
  fill(out);
  return out.Frame(static_cast<std::uint8_t>(kind), id);
}

}  // namespace

// --- bodies ------------------------------------------------------------------

std::string Encode(Kind kind, std::uint64_t id, const TryRequest& request) {
  return EncodeWith(kind, id, [&](Writer& out) {
    PutActions(out, request.actions);
    out.U64(static_cast<std::uint64_t>(request.timeLimit.count()))
        .U64(static_cast<std::uint64_t>(request.settle.count()))
        .U64(request.memoryLimitMiB)
        .Bool(request.commit);
  });
}

template <>
TryRequest Decode<TryRequest>(const wire::Frame& frame) {
  return DecodeWith<TryRequest>(frame, [](Reader& in, TryRequest& request) {
    request.actions = GetActions(in);
    request.timeLimit = std::chrono::milliseconds(in.U64());
    request.settle = std::chrono::milliseconds(in.U64());
    request.memoryLimitMiB = in.U64();
    request.commit = in.Bool();
  });
}

std::string Encode(Kind kind, std::uint64_t id, const Stage& stage) {
  return EncodeWith(kind, id, [&](Writer& out) { Put(out, stage); });
}

template <>
Stage Decode<Stage>(const wire::Frame& frame) {
  return DecodeWith<Stage>(frame, [](Reader& in, Stage& stage) { Get(in, stage); });
}

std::string Encode(Kind kind, std::uint64_t id, const Registration& registration) {
  return EncodeWith(kind, id, [&](Writer& out) { Put(out, registration); });
}

template <>
Registration Decode<Registration>(const wire::Frame& frame) {
  return DecodeWith<Registration>(frame, [](Reader& in, Registration& r) { Get(in, r); });
}

std::string Encode(Kind kind, std::uint64_t id, const ActionRaised& raised) {
  return EncodeWith(kind, id, [&](Writer& out) { out.Text(raised.message).Bool(raised.missing); });
}

template <>
ActionRaised Decode<ActionRaised>(const wire::Frame& frame) {
  return DecodeWith<ActionRaised>(frame, [](Reader& in, ActionRaised& raised) {
    raised.message = in.Text();
    raised.missing = in.Bool();
  });
}

std::string Encode(Kind kind, std::uint64_t id, const Leftovers& left) {
  return EncodeWith(kind, id, [&](Writer& out) {
    out.Texts(left.items);
    Put(out, left.stage);
  });
}

template <>
Leftovers Decode<Leftovers>(const wire::Frame& frame) {
  return DecodeWith<Leftovers>(frame, [](Reader& in, Leftovers& left) {
    left.items = in.Texts();
    Get(in, left.stage);
  });
}

std::string Encode(Kind kind, std::uint64_t id, const ChildDone& done) {
  return EncodeWith(kind, id, [&](Writer& out) { out.U32(done.actionsDone); });
}

template <>
ChildDone Decode<ChildDone>(const wire::Frame& frame) {
  return DecodeWith<ChildDone>(frame,
                               [](Reader& in, ChildDone& done) { done.actionsDone = in.U32(); });
}

std::string Encode(Kind kind, std::uint64_t id, const CommitRequest& commit) {
  return EncodeWith(kind, id, [&](Writer& out) { PutActions(out, commit.actions); });
}

template <>
CommitRequest Decode<CommitRequest>(const wire::Frame& frame) {
  return DecodeWith<CommitRequest>(
      frame, [](Reader& in, CommitRequest& commit) { commit.actions = GetActions(in); });
}

std::string Encode(Kind kind, std::uint64_t id, const ShadowState& state) {
  return EncodeWith(kind, id, [&](Writer& out) { out.U32(state.threads); });
}

template <>
ShadowState Decode<ShadowState>(const wire::Frame& frame) {
  return DecodeWith<ShadowState>(frame,
                                 [](Reader& in, ShadowState& state) { state.threads = in.U32(); });
}

std::string Encode(Kind kind, std::uint64_t id, const HostHello& hello) {
  return EncodeWith(kind, id, [&](Writer& out) { out.U64(hello.pid); });
}

template <>
HostHello Decode<HostHello>(const wire::Frame& frame) {
  return DecodeWith<HostHello>(frame, [](Reader& in, HostHello& hello) { hello.pid = in.U64(); });
}

std::string Encode(Kind kind, std::uint64_t id, const Outcome& outcome) {
  return EncodeWith(kind, id, [&](Writer& out) {
    out.U8(static_cast<std::uint8_t>(outcome.end))
        .U32(static_cast<std::uint32_t>(outcome.signal))
        .U32(static_cast<std::uint32_t>(outcome.exitStatus))
        .U64(static_cast<std::uint64_t>(outcome.limit.count()))
        .U64(outcome.memoryLimitMiB);
    Put(out, outcome.stage);
    out.U32(outcome.actionsDone).U32(outcome.failedAction).Text(outcome.raised);
    out.U32(static_cast<std::uint32_t>(outcome.procedures.size()));
    for (const ProcedureRun& run : outcome.procedures) {
      out.Text(run.name).Text(run.error).Bool(run.missing);
      out.U32(static_cast<std::uint32_t>(run.registrations.size()));
      for (const Registration& registration : run.registrations) Put(out, registration);
    }
    out.Texts(outcome.leftovers).Text(outcome.detail).Text(outcome.output).Bool(outcome.outputCut);
    out.Text(outcome.isolation);
    Write(out, outcome.crash);
  });
}

template <>
Outcome Decode<Outcome>(const wire::Frame& frame) {
  return DecodeWith<Outcome>(frame, [](Reader& in, Outcome& outcome) {
    const std::uint8_t end = in.U8();
    if (end > static_cast<std::uint8_t>(Outcome::End::HostError)) {
      throw DecodeError("an outcome of unknown kind " + std::to_string(end));
    }
    outcome.end = static_cast<Outcome::End>(end);
    outcome.signal = static_cast<std::int32_t>(in.U32());
    outcome.exitStatus = static_cast<std::int32_t>(in.U32());
    outcome.limit = std::chrono::milliseconds(in.U64());
    outcome.memoryLimitMiB = in.U64();
    Get(in, outcome.stage);
    outcome.actionsDone = in.U32();
    outcome.failedAction = in.U32();
    outcome.raised = in.Text();
    outcome.procedures.resize(in.Count(4 + 4 + 1 + 4));
    for (ProcedureRun& run : outcome.procedures) {
      run.name = in.Text();
      run.error = in.Text();
      run.missing = in.Bool();
      run.registrations.resize(in.Count(4 + 4 + 4));
      for (Registration& registration : run.registrations) Get(in, registration);
    }
    outcome.leftovers = in.Texts();
    outcome.detail = in.Text();
    outcome.output = in.Text();
    outcome.outputCut = in.Bool();
    outcome.isolation = in.Text();
    outcome.crash = ReadCrashReport(in);
  });
}

std::string EncodeText(Kind kind, std::uint64_t id, const std::string& text) {
  return EncodeWith(kind, id, [&](Writer& out) { out.Text(text); });
}

std::string DecodeText(const wire::Frame& frame) {
  return DecodeWith<std::string>(frame, [](Reader& in, std::string& text) { text = in.Text(); });
}

std::string EncodeNumber(Kind kind, std::uint64_t id, std::uint64_t number) {
  return EncodeWith(kind, id, [&](Writer& out) { out.U64(number); });
}

std::uint64_t DecodeNumber(const wire::Frame& frame) {
  return DecodeWith<std::uint64_t>(frame, [](Reader& in, std::uint64_t& n) { n = in.U64(); });
}

std::string EncodeEmpty(Kind kind, std::uint64_t id) {
  return Writer().Frame(static_cast<std::uint8_t>(kind), id);
}

void DecodeEmpty(const wire::Frame& frame) {
  Reader(frame.body).End();
}

}  // namespace trial
