// A stand-in for the module in the terminal tests: a library beside which its
// language library (the same name with "b" for "x") and a test driver lie.
extern "C" __attribute__((visibility("default"))) int MlTerminalTestModuleMarker() {
    return 1;
}
