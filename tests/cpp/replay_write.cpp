#define LLVMFuzzerTestOneInput replay_write
#include "../../fuzz/fuzz_write.cpp"
