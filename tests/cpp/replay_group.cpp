#define LLVMFuzzerTestOneInput replay_group
#include "../../fuzz/fuzz_group.cpp"
