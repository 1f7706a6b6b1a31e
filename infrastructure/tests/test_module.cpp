// A stand-in for the module in tests: a library that language libraries
// are named after.
extern "C" __attribute__((visibility("default"))) int MlTestModuleMarker() {
    return 1;
}
