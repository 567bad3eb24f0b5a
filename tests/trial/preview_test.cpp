// A component's preview tried in the trial host, after its package was loaded and
// registered there: writes and calls that pass, a setter or a call that raises, and
// code that faults, told with the part of the class that ran it. And the host itself,
// which starts with no signal blocked and ends when its program lets it go.

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"
#include "trial/client.h"
#include "trial/settings.h"

namespace {

using testing::HasSubstr;
using trial::Action;
using trial::Outcome;
using trial::PreviewStep;

// "Name=value" writes, "Name()" calls, in order; steps are parted by '|'.
std::vector<PreviewStep> Steps(std::string_view script) {
  std::vector<PreviewStep> steps;
  for (const std::string& step : testsupport::Split(script, '|')) {
    const std::size_t equals = step.find('=');
    if (equals == std::string::npos) {
      steps.push_back({PreviewStep::Type::Call, step.substr(0, step.size() - 2), {}});
    } else {
      steps.push_back({PreviewStep::Type::Write, step.substr(0, equals), step.substr(equals + 1)});
    }
  }
  return steps;
}

// A host per package, whose shadow has loaded it and run its registration, as the
// workbench's would have before it shows the palette.
trial::Host& HostWith(const std::string& package) {
  static std::map<std::string, std::unique_ptr<trial::Host>> hosts;
  std::unique_ptr<trial::Host>& host = hosts[package];
  if (host) return *host;
  host = std::make_unique<trial::Host>();
  const std::string file = testsupport::PackageFile(package);
  const std::string procedure =
      package == "stdreg" ? "@Stdreg@Register$qqrv" : "@PreviewFault@Register$qqrv";
  const Outcome loaded = host->Try(
      trial::RequestFor({Action{Action::Type::Load, file, rtl::IdentityOfFile(file), {}, {}, {}},
                         Action{Action::Type::Run, {}, {}, {{file, procedure}}, {}, {}}}));
  EXPECT_TRUE(loaded.Passed() && loaded.raised.empty())
      << package << " should load and register: " << loaded.Failure(file) << loaded.raised;
  return *host;
}

struct PreviewCase {
  const char* what;
  const char* package;  // stdreg or previewfault
  const char* className;
  std::string_view steps;   // as Steps reads them
  std::string raised = {};  // part of what the action raised; empty: nothing
  std::string stage = {};   // where it died of a signal; empty: it passed
  std::string place = {};   // part of the place of its fault
};

TEST(TrialPreview, AnInstanceIsMadeWrittenAndCalledInTheTrialOnly) {
  using End = Outcome::End;
  const PreviewCase cases[] = {
      {"writes of a control's own and inherited properties", "stdreg", "TClickCounter",
       "Caption=Go|Left=12|Visible=False"},
      {"a setter that raises, which ends the steps", "previewfault", "TNullSetter",
       "Level=2|Level=-1|Level=12", "TNullSetter: a level of -1 is below 0"},
      {"a text that is not of the property's type", "previewfault", "TNullSetter", "Level=high",
       "Level"},
      {"a property the class does not publish", "previewfault", "TNullSetter", "Depth=1", "Depth"},
      {"a setter's harmless values and a call without parameters", "previewfault", "TNullSetter",
       "Level=9|Reset()|Level=3"},
      {"a published method that takes a parameter", "previewfault", "TNullSetter", "Raise()",
       "TNullSetter.Raise takes parameters"},
      {"a method the class does not publish", "previewfault", "TNullSetter", "Explode()",
       "TNullSetter has no published method Explode"},
      {"a setter that writes through a null pointer", "previewfault", "TNullSetter",
       "Level=3|Level=12|Reset()", "", "the setter of TNullSetter.Level", "TNullSetter::SetLevel"},
      {"a constructor that writes through a null pointer", "previewfault", "TNullConstructor",
       "Level=1", "", "the constructor of TNullConstructor", "TNullConstructor::TNullConstructor"},
      {"a registered class that is no component", "previewfault", "TNoOwner", "",
       "TNoOwner cannot be created from an owner"},
      {"a class nobody registered", "previewfault", "TGauge", "",
       "TGauge is not a registered class"},
  };
  for (const PreviewCase& c : cases) {
    SCOPED_TRACE(c.what);
    trial::Host& host = HostWith(c.package);
    const std::vector<Action> tried = {
        Action{Action::Type::Preview, {}, {}, {}, c.className, Steps(c.steps)}};
    const Outcome outcome = host.Try(trial::RequestFor(tried, false));
    const End end = c.stage.empty() ? End::Passed : End::Signal;
    EXPECT_EQ(outcome.end, end) << outcome.Failure(c.package) << outcome.FaultPlace();
    if (c.raised.empty()) {
      EXPECT_EQ(outcome.raised, "") << "nothing should have raised";
    } else {
      EXPECT_THAT(outcome.raised, HasSubstr(c.raised));
    }
    if (end == End::Signal) {
      EXPECT_EQ(trial::Describe(outcome.stage), c.stage);
      EXPECT_EQ(outcome.failedAction, 0u) << "the preview is where it failed";
      EXPECT_THAT(outcome.FaultPlace(), HasSubstr(c.place));
    }
    EXPECT_TRUE(trial::Taken(tried, outcome).empty()) << "a preview is never taken";
  }
}

// Whatever the program had blocked, the host starts with no signal blocked, in
// namespaces of its own or not; and one that does not end when its socket closes,
// here one stopped, is killed.
TEST(TrialHostProcess, StartsWithNoSignalBlockedAndIsKilledIfItDoesNotEnd) {
  const trial::Settings previous = trial::CurrentSettings();
  for (const bool isolate : {true, false}) {
    SCOPED_TRACE(isolate ? "isolated" : "not isolated");
    trial::Settings settings = previous;
    settings.isolate = isolate;
    trial::Configure(settings);
    sigset_t blocked, before;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    auto host = std::make_unique<trial::Host>();
    host->Start();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    std::vector<testsupport::RunningProcess> started = testsupport::ProcessesNamed("trialhost");
    std::erase_if(started, [](const auto& p) { return p.parent != getpid(); });
    EXPECT_EQ(started.size(), 1u);
    if (started.size() != 1u) continue;
    std::stringstream status;
    status << std::ifstream("/proc/" + std::to_string(started[0].pid) + "/status").rdbuf();
    EXPECT_THAT(status.str(), HasSubstr("\nSigBlk:\t0000000000000000\n"));
    kill(started[0].pid, SIGSTOP);
    host.reset();
    EXPECT_EQ(kill(started[0].pid, 0), -1) << "the host should be gone, and reaped";
  }
  trial::Configure(previous);
}

}  // namespace
