#define LLVMFuzzerTestOneInput replay_date
#include "../../fuzz/fuzz_date.cpp"
