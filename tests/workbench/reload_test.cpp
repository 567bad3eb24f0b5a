// Reload on rebuild: the workbench started with --watch on a package takes each new
// build of its file into the slot, however the build tool puts it there.

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "Startup.h"
#include "Unit4.h"
#include "workbench_test_support.h"

namespace {

using namespace wbtest;
using Lines = std::vector<std::string>;
using namespace std::chrono_literals;

constexpr const char* kProcedure = "@Watched@Register$qqrv";

std::string Bytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// How a build tool puts its output in place.
enum class Way { InPlace, RenamedOver, RemovedAndCreated, InTwoWrites };

void Pause(std::chrono::milliseconds time) {
  QEventLoop loop;
  QTimer::singleShot(time, &loop, &QEventLoop::quit);
  loop.exec();
}

void Replace(const std::string& file, const std::string& with, Way way) {
  const std::string bytes = Bytes(with);
  switch (way) {
    case Way::InPlace:
      std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
      break;
    case Way::RenamedOver:
      std::ofstream(file + ".tmp", std::ios::binary) << bytes;
      std::filesystem::rename(file + ".tmp", file);
      break;
    case Way::RemovedAndCreated:
      std::filesystem::remove(file);
      Pause(20ms);  // the folder is told of the gap before the new file comes
      std::ofstream(file, std::ios::binary) << bytes;
      break;
    case Way::InTwoWrites: {
      // A half-written file, seen before the rest comes, is not a build yet: it stands
      // for longer than the settle time, but less than the patience with it.
      std::ofstream out(file, std::ios::binary | std::ios::trunc);
      out << bytes.substr(0, bytes.size() / 2) << std::flush;
      Pause(100ms);
      out << bytes.substr(bytes.size() / 2);
      break;
    }
  }
}

// Runs the event loop until the condition holds, or fails the test after a while.
void WaitFor(const std::function<bool()>& condition, const std::string& what) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition() && std::chrono::steady_clock::now() < deadline) {
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  EXPECT_TRUE(condition()) << "waited in vain for " << what;
}

// Runs the workbench as `workbench --watch <file> <procedure>` would, with a short
// settle time, and the body once the command line has been taken up.
void Watching(const std::string& file, const std::function<void()>& body) {
  RunContext context;
  context.settle = 50ms;
  LoopScript script({[] {},
                     [&] {
                       body();
                       Form1->Widget()->close();
                     }},
                    60000);
  EXPECT_EQ(RunWorkbench({file, kProcedure, true}, context), 0);
  EXPECT_EQ(script.StepsRun(), 2);
}

TEST(Reload, EachWayABuildReplacesTheFileReloadsItAndThePaletteListsItsClassesOnce) {
  testsupport::TempDir dir;
  const std::string file = dir.CopyIn(PackageFile("watchone"), "libwatched.so");
  const Lines one = {"TWatchedGauge"}, two = {"TWatchedGauge", "TWatchedDial"};
  ScopedDialogs dialogs;
  Watching(file, [&] {
    EXPECT_EQ(PageLines("Watched"), one) << "the command line's run";
    OpenPreview("TWatchedGauge");
    const struct {
      Way way;
      std::string build;
      Lines classes;
    } rebuilds[] = {{Way::RenamedOver, "watchtwo", two},
                    {Way::RemovedAndCreated, "watchone", one},
                    {Way::InPlace, "watchtwo", two},
                    {Way::InTwoWrites, "watchone", one}};
    for (const auto& rebuild : rebuilds) {
      Replace(file, PackageFile(rebuild.build), rebuild.way);
      WaitFor([&] { return PageLines("Watched") == rebuild.classes; }, rebuild.build);
      EXPECT_EQ(PageCaptions(), Lines{"Watched"});
      ASSERT_EQ(Previews().size(), 1u) << "the preview is opened again";
      EXPECT_EQ(rtl::ClassName(Previews()[0]->PreviewedClass()).ToString(), "TWatchedGauge");
    }
  });
  EXPECT_EQ(dialogs->Messages(), Lines{"BRRRRR"}) << "a reload runs the procedure quietly";
  EXPECT_EQ(dialogs->Exceptions(), Lines{});
}

// A build that fails its trial, or stays half-written, is shown by its own name and
// leaves the slot empty; the next one loads.
TEST(Reload, ABrokenBuildIsShownAndTheNextOneLoadsAgain) {
  testsupport::TempDir dir;
  const std::string file = dir.CopyIn(PackageFile("watchone"), "libwatched.so");
  ScopedDialogs dialogs;
  Watching(file, [&] {
    Replace(file, PackageFile("faultinit"), Way::RenamedOver);
    WaitFor([&] { return !dialogs->Exceptions().empty(); }, "the failed trial's message");
    EXPECT_EQ(LoadedPackage, 0u);
    EXPECT_EQ(PageLines("Watched"), Lines{}) << "the old build's classes are gone";
    // One left half-written is waited on only so long, then tried and shown.
    const std::string bytes = Bytes(PackageFile("watchtwo"));
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes.substr(0, bytes.size() / 2);
    WaitFor([&] { return dialogs->Exceptions().size() == 2; }, "the half-written build's message");
    Replace(file, PackageFile("watchtwo"), Way::RenamedOver);
    WaitFor([&] { return PageLines("Watched").size() == 2; }, "the next build");
    EXPECT_NE(LoadedPackage, 0u);
  });
  EXPECT_THAT(Headlines(dialogs->Exceptions()),
              testing::ElementsAre(file + ": the trial run died of signal SIGSEGV (Segmentation "
                                          "fault) in the initialisation of unit FaultInit of "
                                          "package faultinit; the package was not loaded",
                                   file + ": section table starts past the end of the file"));
}

}  // namespace
