#include "toolkit/forms.h"

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "form_builder.h"
#include "form_parser.h"

namespace toolkit {

namespace {

std::map<std::string, FormResource, std::less<>>& Resources() {
  static std::map<std::string, FormResource, std::less<>> resources;
  return resources;
}

// The tree of each description, read when the first form of its class is built:
// every form of the class is built from the same text, and reading it took a tenth
// of the time a form takes to build. Registering a name again or unregistering it
// drops its tree. Never destroyed, as a static destructor may unregister a
// description after this file's statics are gone.
using ParsedForms = std::map<std::string, std::shared_ptr<const form::Object>, std::less<>>;
ParsedForms& Parsed() {
  static auto* parsed = new ParsedForms();
  return *parsed;
}

void ForgetParsed(std::string_view name) noexcept {
  auto& parsed = Parsed();
  if (const auto found = parsed.find(name); found != parsed.end()) parsed.erase(found);
}

}  // namespace

std::shared_ptr<const form::Object> ParsedFormResource(const FormResource& resource) {
  auto& parsed = Parsed();
  if (const auto found = parsed.find(resource.name); found != parsed.end()) return found->second;
  auto tree =
      std::make_shared<const form::Object>(form::ParseForm(resource.text, resource.fileName));
  parsed.emplace(resource.name, tree);
  return tree;
}

void RegisterFormResource(const char* name, const char* fileName, std::string_view text) noexcept {
  if (name == nullptr) return;
  FormResource& resource = Resources()[name];
  resource.name = name;
  resource.fileName = fileName != nullptr ? fileName : name;
  resource.text.assign(text.data(), text.size());
  ForgetParsed(name);
}

void UnregisterFormResource(std::string_view name) noexcept {
  auto& resources = Resources();
  auto found = resources.find(name);
  if (found != resources.end()) resources.erase(found);
  ForgetParsed(name);
}

const FormResource* FindFormResource(std::string_view name) {
  auto& resources = Resources();
  auto found = resources.find(name);
  return found == resources.end() ? nullptr : &found->second;
}

}  // namespace toolkit
