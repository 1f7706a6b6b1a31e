// A stand-in module that the language libraries of the tests are named after.
extern "C" __attribute__((visibility("default"))) int MlTestModuleMarker() {
    return 1;
}
