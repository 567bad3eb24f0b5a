#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rtl/export.h"
#include "rtl/object.h"

namespace rtl {

enum class TOperation { opInsert, opRemove };

// A component has a name, an owner, and owns components of its own: freeing an
// owner frees what it owns (last inserted first), and a component freed on its own
// is taken out of its owner's list.
class RTL_API TComponent : public TObject {
  RTL_CLASS(TComponent, TObject)
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;

  TComponent* Owner() const noexcept { return owner_; }
  const std::string& Name() const noexcept { return name_; }
  // Raises when a sibling under the same owner already has that (non-empty) name.
  void SetName(const std::string& name);

  int ComponentCount() const noexcept { return static_cast<int>(components_.size()); }
  TComponent* Components(int index) const;  // raises on an index out of range
  TComponent* FindComponent(std::string_view name) const;

  void InsertComponent(TComponent* component);
  void RemoveComponent(TComponent* component);
  // Frees every owned component now. Descendants whose owned components need the
  // descendant's own parts alive call this at the start of their destructor.
  void DestroyComponents();

 protected:
  // Told when a component is inserted into or removed from this one's list.
  virtual void Notification(TComponent* component, TOperation operation);

 private:
  TComponent* owner_ = nullptr;
  std::string name_;
  std::vector<TComponent*> components_;
};

// An unsorted list of texts; repeats are kept.
class RTL_API TStringList : public TObject {
  RTL_CLASS(TStringList, TObject)
 public:
  int Add(std::string text);
  void Clear() noexcept { strings_.clear(); }
  int Count() const noexcept { return static_cast<int>(strings_.size()); }
  const std::string& Strings(int index) const;  // raises on an index out of range

 private:
  std::vector<std::string> strings_;
};

// The slot to which RegisterComponents forwards each call: the page name, the first
// class reference and the high index (count - 1, -1 for none).
using TRegisterComponentsProc = void (*)(const std::string& page, const TClass* classes,
                                         std::int32_t high);
extern RTL_API TRegisterComponentsProc RegisterComponentsProc;

// What a package's registration procedure calls. Raises when no handler is installed.
RTL_API void RegisterComponents(const std::string& page, std::span<const TClass> classes);
inline void RegisterComponents(const std::string& page, std::initializer_list<TClass> classes) {
  RegisterComponents(page, std::span<const TClass>(classes.begin(), classes.size()));
}

// The walk a registration hook makes over the classes it is handed, so that every
// hook registers alike: for each class in order, `list` is given its name (when
// given at all), then the class is registered. Listing comes first, so a class the
// registry refuses stays listed. Raises, naming `hook` and the page, when there are
// classes but no array, or when a class is null; whatever raises stops the walk
// there, and nothing done before is undone.
RTL_API void ListAndRegisterClasses(const char* hook, const std::string& page,
                                    const TClass* classes, std::int32_t high,
                                    const std::function<void(const ShortString& name)>& list);

}  // namespace rtl
