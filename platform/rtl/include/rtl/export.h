#pragma once

// Everything is built with hidden visibility; what the run-time library offers to
// the program and to packages is marked explicitly.
#define RTL_API __attribute__((visibility("default")))
