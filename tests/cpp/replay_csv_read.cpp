#define LLVMFuzzerTestOneInput replay_csv_read
#include "../../fuzz/fuzz_csv_read.cpp"
