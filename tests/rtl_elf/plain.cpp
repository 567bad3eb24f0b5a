// An ordinary shared library: valid ELF, no package information.

extern "C" __attribute__((visibility("default"))) int elfplain_answer() {
  return 42;
}
