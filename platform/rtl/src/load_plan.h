#pragma once

// The loader's own way into the load plan (rtl/package_file.h).

#include <string>
#include <vector>

#include "rtl/package_file.h"

namespace rtl::detail {

// PlanLoad, while the loads of the packages named `loading` are in progress (the
// outermost first): code run by one of them that loads a package of those names again
// would recurse forever, so the plan refuses it as a package requiring itself.
TLoadPlan PlanLoad(const std::string& fileName, const TLoadedPackages& loaded,
                   const std::string& runtimeDirectory, const std::vector<std::string>& loading);

}  // namespace rtl::detail
