// A component's preview, tried as the workbench's preview window makes it: an
// instance of the registered class on a blank form, its writes and calls, then freed
// with the form. Every part that runs the class's code is a stage of its own, so a
// crash is told with the constructor, the setter or the method it happened in.

#include <string>
#include <typeinfo>

#include "rtl/classes.h"
#include "rtl/object.h"
#include "rtl/properties.h"
#include "rtl/sysutils.h"
#include "session.h"

#ifdef WB_TRIAL_HOST_TOOLKIT
#include "toolkit/controls.h"
#include "toolkit/forms.h"
#endif

namespace trialhost {

namespace {

#ifdef WB_TRIAL_HOST_TOOLKIT
using PreviewOwner = toolkit::TForm;
#else
// Without the toolkit nothing can be drawn: the owner is all a component needs.
using PreviewOwner = rtl::TComponent;
#endif

trial::Stage ComponentStage(std::string name) {
  return trial::Stage{trial::StageKind::Component, {}, std::move(name), false};
}

std::string StepText(const std::string& className, const trial::PreviewStep& step) {
  return step.type == trial::PreviewStep::Type::Write
             ? "the setter of " + className + "." + step.name
             : "the published method " + className + "." + step.name;
}

void TakeStep(rtl::TComponent& instance, const trial::PreviewStep& step) {
  if (step.type == trial::PreviewStep::Type::Write) {
    // The text is read as the property's type, as the property grid writes it.
    rtl::SetPropValue(instance, step.name, rtl::TValue(std::string(step.value)));
  } else {
    rtl::CallPublishedMethod(instance, step.name);
  }
}

// Why a preview of that class cannot be made at all; empty when it can.
std::string Refusal(const std::string& className, rtl::TClass cls) {
  if (cls == nullptr) return className + " is not a registered class";
  if (cls->Create == nullptr) return className + " cannot be created from an owner";
  return {};
}

}  // namespace

Session::Result Session::Preview(const trial::Action& action) {
  const std::string& name = action.className;
  const rtl::TClass cls = rtl::GetClass(name);
  if (const std::string refusal = Refusal(name, cls); !refusal.empty()) {
    Tell(trial::ActionRaised{refusal, false});
    return Result::Raised;
  }
  Result result = Result::Done;
  auto* owner = new PreviewOwner(nullptr);
  rtl::TComponent* instance = nullptr;
  try {
    Enter(ComponentStage("the constructor of " + name));
    instance = cls->Create(owner);
    if (instance == nullptr) throw rtl::Exception("the constructor of " + name + " made nothing");
#ifdef WB_TRIAL_HOST_TOOLKIT
    if (instance->InheritsFrom(toolkit::TControl::StaticClass())) {
      static_cast<toolkit::TControl*>(instance)->SetParent(owner);
    }
#endif
    for (const trial::PreviewStep& step : action.steps) {
      Enter(ComponentStage(StepText(name, step)));
      TakeStep(*instance, step);
    }
  } catch (...) {
    Tell(trial::ActionRaised{CurrentError(), false});
    result = Result::Raised;
  }
  // A constructor that raised has taken its instance with it: only the form is left.
  if (instance != nullptr) Enter(ComponentStage("the destructor of " + name));
  delete owner;
  return result;
}

}  // namespace trialhost
