// The test module: one exported function.
extern "C" __attribute__((visibility("default"))) int mvn_test_answer() { return 42; }
