// A package that shows a box as it starts and when it registers: fine in the
// workbench once the user has answered, so it must pass its trial too.

#include "rtl/package_sdk.h"
#include "toolkit/dialogs.h"

RTL_UNIT_INITIALIZATION(BoxInit) {
  toolkit::ShowMessage("boxinit: starting");
}

RTL_UNIT_REGISTER(BoxInit) {
  toolkit::ShowMessage("boxinit: registering");
}
