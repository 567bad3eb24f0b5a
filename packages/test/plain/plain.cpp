// An ordinary shared library, built without the package SDK.

extern "C" __attribute__((visibility("default"))) int plain_function() {
  return 1;
}
