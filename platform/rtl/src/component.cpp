#include <algorithm>

#include "rtl/classes.h"

namespace rtl {

RTL_DEFINE_CLASS(TComponent)

TComponent::TComponent(TComponent* owner) {
  if (owner != nullptr) owner->InsertComponent(this);
}

TComponent::~TComponent() {
  DestroyComponents();
  if (owner_ != nullptr) owner_->RemoveComponent(this);
}

void TComponent::SetName(const std::string& name) {
  if (name == name_) return;
  if (owner_ != nullptr && !name.empty()) {
    TComponent* other = owner_->FindComponent(name);
    if (other != nullptr && other != this) {
      throw Exception("A component named %s already exists in %s", {name, owner_->ClassName()});
    }
  }
  name_ = name;
}

TComponent* TComponent::Components(int index) const {
  if (index < 0 || index >= ComponentCount()) {
    throw Exception("List index out of bounds (%d)", {index});
  }
  return components_[static_cast<std::size_t>(index)];
}

TComponent* TComponent::FindComponent(std::string_view name) const {
  if (name.empty()) return nullptr;
  for (TComponent* component : components_) {
    if (component->name_ == name) return component;
  }
  return nullptr;
}

void TComponent::InsertComponent(TComponent* component) {
  if (component == nullptr) throw Exception("InsertComponent: no component given");
  if (component->owner_ == this) return;
  // Owning oneself, directly or through one's owners, would free the chain twice.
  for (const TComponent* o = this; o != nullptr; o = o->owner_) {
    if (o == component) {
      throw Exception("A %s cannot own itself or one of its owners", {component->ClassName()});
    }
  }
  if (!component->name_.empty() && FindComponent(component->name_) != nullptr) {
    throw Exception("A component named %s already exists in %s", {component->name_, ClassName()});
  }
  if (component->owner_ != nullptr) component->owner_->RemoveComponent(component);
  components_.push_back(component);
  component->owner_ = this;
  Notification(component, TOperation::opInsert);
}

void TComponent::RemoveComponent(TComponent* component) {
  if (component == nullptr || component->owner_ != this) {
    throw Exception(
        "RemoveComponent: the %s is not owned by this %s",
        {component != nullptr ? component->ClassName() : ShortString("(null)"), ClassName()});
  }
  Notification(component, TOperation::opRemove);
  std::erase(components_, component);
  component->owner_ = nullptr;
}

void TComponent::DestroyComponents() {
  // Each one leaves the list before it is freed, so a destructor that frees a sibling
  // or removes itself finds the list consistent.
  while (!components_.empty()) {
    TComponent* last = components_.back();
    components_.pop_back();
    last->owner_ = nullptr;
    delete last;
  }
}

void TComponent::Notification(TComponent* /*component*/, TOperation /*operation*/) {}

}  // namespace rtl
