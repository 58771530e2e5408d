#define LLVMFuzzerTestOneInput replay_sort
#include "../../fuzz/fuzz_sort.cpp"
