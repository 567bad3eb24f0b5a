// Component classes whose own code takes the process down once an instance is made
// and used, as a preview makes and uses one: registering them runs none of it. A
// setter that raises for some values and writes through a null pointer for others,
// and a constructor that always writes through one.

#include "rtl/package_sdk.h"

namespace {

int* volatile nowhere = nullptr;

}  // namespace

class TNullSetter : public rtl::TComponent {
  RTL_CLASS(TNullSetter, rtl::TComponent)
 public:
  using TComponent::TComponent;

  int Level() const { return level_; }
  // Out of line, so that the report of its fault names it whatever the build. From 0
  // to 9 it is a setter like any other.
  [[gnu::noinline]] void SetLevel(int value) {
    if (value < 0) throw rtl::Exception("TNullSetter: a level of %d is below 0", {value});
    if (value > 9) *nowhere = value;
    level_ = value;
  }

  rtl::TTextList Notes() const { return notes_; }
  void SetNotes(rtl::TTextList notes) { notes_ = std::move(notes); }

  void Reset() { level_ = 0; }
  void Raise(int by) { level_ += by; }

 private:
  int level_ = 1;
  rtl::TTextList notes_{"to do", "done"};
};

class TNullConstructor : public rtl::TComponent {
  RTL_CLASS(TNullConstructor, rtl::TComponent)
 public:
  [[gnu::noinline]] explicit TNullConstructor(rtl::TComponent* owner) : TComponent(owner) {
    *nowhere = 1;
  }
};

// Registered too, but a preview has nothing to make it from.
class TNoOwner : public rtl::TObject {
  RTL_CLASS(TNoOwner, rtl::TObject)
};

RTL_DEFINE_CLASS(TNullSetter, RTL_PROPERTY(TNullSetter, Level, Level, SetLevel, 1),
                 RTL_PROPERTY(TNullSetter, Notes, Notes, SetNotes, rtl::TTextList{"to do", "done"}),
                 RTL_PUBLISH(TNullSetter, Reset), RTL_PUBLISH(TNullSetter, Raise))
RTL_DEFINE_CLASS(TNullConstructor)
RTL_DEFINE_CLASS(TNoOwner)

RTL_UNIT_REGISTER(PreviewFault) {
  rtl::RegisterComponents(
      "Preview faults",
      {TNullSetter::StaticClass(), TNullConstructor::StaticClass(), TNoOwner::StaticClass()});
}
