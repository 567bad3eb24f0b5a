#include "Startup.h"

// The program takes no command-line arguments.
int main() {
  return RunWorkbench();
}
