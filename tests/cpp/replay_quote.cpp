#define LLVMFuzzerTestOneInput replay_quote
#include "../../fuzz/fuzz_quote.cpp"
