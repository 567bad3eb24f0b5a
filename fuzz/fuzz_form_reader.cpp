// Window descriptions are read from files a user may have edited by hand, so the
// reader must turn any bytes into either a tree or an rtl::Exception.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "form_parser.h"
#include "rtl/sysutils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  toolkit::form::Object form;
  try {
    form = toolkit::form::ParseForm(text, "fuzz.form");
  } catch (const rtl::Exception&) {
    return 0;
  }
  // Whatever was read must write back into text that reads as the same tree; a
  // writer that loses an escape or a reader that mis-decodes one shows up here.
  toolkit::form::Object again = toolkit::form::ParseForm(toolkit::form::WriteForm(form), "again");
  if (!(again == form)) std::abort();
  return 0;
}
