#include "session.h"

#include <limits.h>

#include <algorithm>
#include <exception>
#include <utility>

#include "process.h"
#include "rtl/classes.h"
#include "rtl/package_file.h"
#include "rtl/properties.h"
#include "rtl/sysutils.h"

#ifdef WB_TRIAL_HOST_TOOLKIT
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#endif

namespace trialhost {

namespace {

Session* current = nullptr;

std::string FileOf(rtl::HMODULE module) {
  char path[PATH_MAX];
  return rtl::GetModuleFileNameA(module, path, sizeof path) > 0 ? std::string(path) : std::string();
}

}  // namespace

std::string CurrentError() {
  try {
    throw;
  } catch (const rtl::Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "an exception that is not an Exception";
  }
}

void TellStage(rtl::TPackageStage stage, const std::string& package, const std::string& unit) {
  if (current == nullptr) return;
  trial::StageKind kind = trial::StageKind::StaticConstructors;
  switch (stage) {
    case rtl::TPackageStage::StaticConstructors:
      kind = trial::StageKind::StaticConstructors;
      break;
    case rtl::TPackageStage::UnitInitialization:
      kind = trial::StageKind::UnitInitialization;
      break;
    case rtl::TPackageStage::UnitFinalization:
      kind = trial::StageKind::UnitFinalization;
      break;
    case rtl::TPackageStage::StaticDestructors:
      kind = trial::StageKind::StaticDestructors;
      break;
  }
  current->Enter(trial::Stage{kind, package, unit});
}

namespace {

// A default the class's own descriptor cannot show (an enumeration value out of its
// range, say) is a fault of the listing, not of the registration: told in its place.
std::string DefaultText(const rtl::TPublishedProperty& property) {
  try {
    return rtl::ToText(property.Default);
  } catch (...) {
    return "(cannot be shown: " + CurrentError() + ")";
  }
}

trial::RegisteredClass PublishedBy(rtl::TClass cls) {
  trial::RegisteredClass published{std::string(rtl::ClassName(cls).View()), {}, {}};
  for (const rtl::TPublishedProperty* property : rtl::GetPropList(cls)) {
    published.properties.push_back(trial::PublishedProperty{
        property->Name, rtl::TypeName(property->Type), DefaultText(*property)});
  }
  std::vector<rtl::TClass> lineage;
  for (rtl::TClass c = cls; c != nullptr; c = c->Parent) lineage.push_back(c);
  for (auto c = lineage.rbegin(); c != lineage.rend(); ++c) {
    for (std::size_t i = 0; i < (*c)->MethodCount; ++i) {
      const std::string name = (*c)->Methods[i].Name;
      auto& methods = published.methods;
      if (std::find(methods.begin(), methods.end(), name) == methods.end()) methods.push_back(name);
    }
  }
  return published;
}

}  // namespace

// Registers as the workbench's palette hook does, by the same walk, so that a class
// the registry refuses fails here too; each call is reported with the names listed
// before a failure, as the palette lists them, and what each of them publishes.
void RecordingHook(const std::string& page, const rtl::TClass* classes, std::int32_t high) {
  trial::Registration registration{page, {}, {}};
  try {
    rtl::ListAndRegisterClasses(
        "RecordingHook", page, classes, high, [&](const rtl::ShortString& name) {
          // The walk lists the classes in their order: the next one is this one.
          registration.published.push_back(PublishedBy(classes[registration.classes.size()]));
          registration.classes.emplace_back(name.View());
        });
  } catch (...) {
    if (current != nullptr) current->Tell(registration);
    throw;
  }
  if (current != nullptr) current->Tell(registration);
}

rtl::HMODULE ModuleOfFile(const std::string& file) {
  for (rtl::TLibModule* m = rtl::LibModuleList(); m != nullptr; m = m->Next) {
    if (FileOf(m->Instance) == file) return m->Instance;
  }
  return 0;
}

Session::Session(Reporter& reporter) : reporter_(&reporter) {
  current = this;
  rtl::PackageStageProc = &TellStage;
  rtl::RegisterComponentsProc = &RecordingHook;
}

Session::~Session() {
  if (current == this) current = nullptr;
}

// What an action did is told of the actions tried, not of those done again to
// rebuild the workbench's state: they were told when they were tried.
void Session::Tell(const trial::Registration& registration) {
  if (!replay_) reporter_->Registered(registration);
}

void Session::Tell(const trial::ActionRaised& raised) {
  if (!replay_) reporter_->Raised(raised);
}

void Session::Enter(trial::Stage stage) {
  stage.replay = replay_;
  if (stage.kind != trial::StageKind::Events) lastCodeStage_ = stage;
  if (stage.kind == trial::StageKind::UnitFinalization) lastFinalisation_ = stage;
  reporter_->Entered(stage);
}

Session::Result Session::Take(const trial::Action& action) {
  switch (action.type) {
    case trial::Action::Type::Load:
      return Load(action);
    case trial::Action::Type::Unload:
    case trial::Action::Type::Close:
      return Unload();
    case trial::Action::Type::Run:
      return Run(action);
    case trial::Action::Type::Condemn:
      if (slot_ != 0) condemned_.push_back(std::exchange(slot_, 0));
      return Result::Done;
    case trial::Action::Type::Preview:
      return Preview(action);
  }
  return Result::Done;
}

Session::Result Session::Load(const trial::Action& action) {
  // Loaded as the workbench loads it after the trial: held to the identity the
  // workbench saw, which the loader checks as it maps the file.
  if (action.identity) {
    const std::string change = rtl::FileChange(*action.identity, rtl::IdentityOfFile(action.file));
    // Rebuilding the workbench's state, a file rebuilt since it was loaded cannot be
    // loaded as it was: the state is rebuilt without it, as near as it can be.
    if (!change.empty() && replay_) return Result::Raised;
    if (!change.empty()) {
      reporter_->Changed("the file changed after the workbench looked at it (" + change + ")");
      return Result::Changed;
    }
  }
  try {
    slot_ = action.identity ? rtl::LoadPackage(action.file, *action.identity)
                            : rtl::LoadPackage(action.file);
    slotFile_ = action.file;
  } catch (...) {
    Tell(trial::ActionRaised{CurrentError(), false});
    return Result::Raised;
  }
  // Its own code may have put another file in its place, which the workbench would
  // then load untried.
  if (action.identity) {
    const std::string change = rtl::FileChange(*action.identity, rtl::IdentityOfFile(action.file));
    if (!change.empty()) {
      reporter_->Changed("the file changed while its code ran (" + change + ")");
      return Result::Changed;
    }
  }
  return Result::Done;
}

Session::Result Session::Unload() {
  if (slot_ == 0) return Result::Done;
  lastFinalisation_.reset();
  try {
    rtl::UnloadPackage(std::exchange(slot_, 0));
  } catch (...) {
    Tell(trial::ActionRaised{CurrentError(), false});
    return Result::Raised;
  }
  return Result::Done;
}

Session::Result Session::Run(const trial::Action& action) {
  using Procedure = void (*)();
  for (const trial::Call& call : action.calls) {
    Enter(trial::Stage{trial::StageKind::Procedure, {}, call.name});
    const rtl::HMODULE module = ModuleOfFile(call.file);
    if (module == 0) {
      Tell(trial::ActionRaised{call.file + " is not loaded in the trial host: its state is not the "
                                           "workbench's",
                               false});
      return Result::Raised;
    }
    // An export name ends at its first zero byte: a name holding one matches none.
    const auto code =
        call.name.find('\0') == std::string::npos
            ? reinterpret_cast<Procedure>(rtl::GetProcAddress(module, call.name.c_str()))
            : nullptr;
    if (code == nullptr) {
      Tell(trial::ActionRaised{call.name, true});
      return Result::Raised;
    }
    try {
      code();
    } catch (...) {
      Tell(trial::ActionRaised{CurrentError(), false});
      return Result::Raised;
    }
  }
  return Result::Done;
}

void Session::WarmUp() {
  TouchLinkerTables();
#ifdef WB_TRIAL_HOST_TOOLKIT
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                  QEventLoop::ExcludeSocketNotifiers |
                                  QEventLoop::X11ExcludeTimers);
#endif
  // The allocator's own pages, in the sizes a load asks for.
  for (std::size_t size = 16; size <= (1u << 20); size *= 4) delete[] new char[size];
}

void Session::RunEvents(std::chrono::milliseconds settle) {
#ifdef WB_TRIAL_HOST_TOOLKIT
  Enter(trial::Stage{trial::StageKind::Events, {}, trial::Describe(lastCodeStage_)});
  QCoreApplication::sendPostedEvents();
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  if (settle.count() > 0) {
    QEventLoop loop;
    QTimer::singleShot(settle, &loop, &QEventLoop::quit);
    loop.exec();
  }
#else
  (void)settle;
#endif
}

}  // namespace trialhost
