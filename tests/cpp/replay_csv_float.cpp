#define LLVMFuzzerTestOneInput replay_csv_float
#include "../../fuzz/fuzz_csv_float.cpp"
