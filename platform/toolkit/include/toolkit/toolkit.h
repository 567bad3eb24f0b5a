#pragma once

// The whole window toolkit.
#include "toolkit/comctrls.h"
#include "toolkit/controls.h"
#include "toolkit/dialogs.h"
#include "toolkit/extctrls.h"
#include "toolkit/forms.h"
#include "toolkit/stdctrls.h"
