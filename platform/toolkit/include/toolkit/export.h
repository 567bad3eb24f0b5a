#pragma once

// The toolkit is built with hidden visibility like the rest of the framework; what
// it offers to the program and to packages is marked explicitly.
#define TOOLKIT_API __attribute__((visibility("default")))
