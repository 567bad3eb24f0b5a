#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>

#include "rtl/classes.h"
#include "rtl/object.h"
#include "test_support.h"

namespace {

class TRegFoo : public rtl::TObject {
  RTL_CLASS(TRegFoo, rtl::TObject)
};
RTL_DEFINE_CLASS(TRegFoo)

// A second class that calls itself the same as one of the library's own.
namespace impostor {
class TStringList : public rtl::TObject {
  RTL_CLASS(TStringList, rtl::TObject)
};
RTL_DEFINE_CLASS(TStringList)
}  // namespace impostor

std::string FileOf(const void* address) {
  Dl_info info{};
  return dladdr(address, &info) != 0 && info.dli_fname ? info.dli_fname : "";
}

rtl::HMODULE ModuleOf(const void* address) {
  Dl_info info{};
  return dladdr(address, &info) != 0 ? reinterpret_cast<rtl::HMODULE>(info.dli_fbase) : 0;
}

// Every test leaves the process-wide registry as it found it.
class Registry : public ::testing::Test {
 protected:
  void SetUp() override { before_ = rtl::RegisteredClassCount(); }
  void TearDown() override {
    rtl::UnRegisterClass(TRegFoo::StaticClass());
    rtl::UnRegisterClass(rtl::TStringList::StaticClass());
    rtl::UnRegisterClass(impostor::TStringList::StaticClass());
    EXPECT_EQ(rtl::RegisteredClassCount(), before_) << "the test should leave no class behind";
  }
  std::size_t before_ = 0;
};

TEST_F(Registry, FindsAClassOnlyByItsExactShortName) {
  EXPECT_EQ(rtl::GetClass("TRegFoo"), nullptr) << "nothing is registered at first";
  rtl::RegisterClass(TRegFoo::StaticClass());
  rtl::RegisterClass(TRegFoo::StaticClass());
  EXPECT_EQ(rtl::GetClass("TRegFoo"), TRegFoo::StaticClass()) << "a registered class is found";
  for (const char* other : {"tregfoo", " TRegFoo", "TRegFoo ", "TRegFo"}) {
    EXPECT_EQ(rtl::GetClass(other), nullptr) << "\"" << other << "\" should not match TRegFoo";
  }
  EXPECT_THROW(rtl::FindClass("TUnknownThing"), rtl::Exception) << "FindClass raises when unknown";
  rtl::UnRegisterClass(TRegFoo::StaticClass());
  EXPECT_EQ(rtl::GetClass("TRegFoo"), nullptr) << "one unregistration undoes a repeated one";

  const std::string longName = std::string(255, 'L') + "tail";
  const rtl::TClassInfo longClass{longName.c_str(), rtl::TObject::StaticClass(), nullptr, 0,
                                  nullptr};
  const rtl::TClassInfo emptyClass{"", rtl::TObject::StaticClass(), nullptr, 0, nullptr};
  rtl::RegisterClass(&longClass);
  rtl::RegisterClass(&emptyClass);
  EXPECT_EQ(rtl::GetClass(std::string(255, 'L')), &longClass)
      << "a long class name is registered by its first 255 bytes";
  EXPECT_EQ(rtl::GetClass(longName), nullptr) << "a name over 255 bytes is no class name";
  EXPECT_EQ(rtl::GetClass(""), &emptyClass) << "an empty name is a name like any other";
  rtl::UnRegisterClass(&longClass);
  rtl::UnRegisterClass(&emptyClass);
  EXPECT_THROW(rtl::RegisterClass(nullptr), rtl::Exception) << "a null class should be refused";
  const rtl::TClassInfo nameless{};
  EXPECT_THROW(rtl::RegisterClass(&nameless), rtl::Exception) << "a null name should be refused";
  EXPECT_THROW(rtl::UnRegisterClass(&nameless), rtl::Exception) << "either way";
}

TEST_F(Registry, ADifferentClassUnderATakenNameIsRefusedNamingBothModules) {
  rtl::RegisterClass(rtl::TStringList::StaticClass());
  const std::string message =
      testsupport::MessageOf([] { rtl::RegisterClass(impostor::TStringList::StaticClass()); });
  EXPECT_EQ(message, "Class TStringList is already registered from " +
                         FileOf(rtl::TStringList::StaticClass()) +
                         "; cannot register the one from " + testsupport::ExecutablePath())
      << "a second class named TStringList should be refused naming the class and both files";
  EXPECT_EQ(rtl::GetClass("TStringList"), rtl::TStringList::StaticClass())
      << "the class registered first should stay";
  rtl::UnRegisterClass(impostor::TStringList::StaticClass());
  EXPECT_EQ(rtl::GetClass("TStringList"), rtl::TStringList::StaticClass())
      << "unregistering a class that was refused must not remove the registered one";
}

TEST_F(Registry, AnUnloadedModulesClassesGoAndNoOthers) {
  // A descriptor on the heap belongs to no module.
  const rtl::TClassInfo made{"TMadeAtRunTime", rtl::TObject::StaticClass(), nullptr, 0, nullptr};
  for (rtl::TClass cls : {&made, rtl::TStringList::StaticClass(), TRegFoo::StaticClass()}) {
    rtl::RegisterClass(cls);
  }
  const rtl::HMODULE library = ModuleOf(rtl::TStringList::StaticClass());
  ASSERT_NE(library, ModuleOf(TRegFoo::StaticClass())) << "the classes should be in two modules";
  rtl::UnRegisterModuleClasses(library);
  EXPECT_EQ(rtl::GetClass("TStringList"), nullptr) << "the library's class should be gone";
  EXPECT_EQ(rtl::GetClass("TRegFoo"), TRegFoo::StaticClass()) << "the program's class should stay";
  EXPECT_EQ(rtl::GetClass("TMadeAtRunTime"), &made) << "a class of no module should stay";
  rtl::UnRegisterClass(&made);
}

}  // namespace
