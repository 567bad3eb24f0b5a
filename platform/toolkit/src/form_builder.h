#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "form_ast.h"
#include "toolkit/forms.h"

namespace toolkit {

// Turns a parsed description into the form's controls: creates each object by its
// class name (one of the toolkit's own, or one in the class registry), sets its
// published properties by name and binds its events to the form's published methods.
// Every error is a form::PlacedError at the object, property or value it is about.
class FormBuilder {
 public:
  FormBuilder(TForm& form, rtl::TClass formClass, std::string fileName);
  // root is the description as form::ParseForm reads it.
  void Build(const form::Object& root);

 private:
  void BuildChild(const form::Object& object, rtl::TComponent& parent);
  void ApplyProperties(const form::Object& object, rtl::TComponent& target);
  void SetProperty(const form::Property& property, rtl::TComponent& target);
  [[noreturn]] void Fail(form::Position position, std::string_view message) const;

  TForm& form_;
  rtl::TClass formClass_;
  std::string fileName_;
  bool rootVisible_ = false;
};

// The registered description read into its tree, read once until the resource is
// registered again or unregistered. Raises form::PlacedError as form::ParseForm.
std::shared_ptr<const form::Object> ParsedFormResource(const FormResource& resource);

}  // namespace toolkit
