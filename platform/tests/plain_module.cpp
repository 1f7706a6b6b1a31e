// A loadable library without a string table, for the loader tests.
extern "C" __attribute__((visibility("default"))) int MlTestPlainAnswer() {
    return 42;
}
