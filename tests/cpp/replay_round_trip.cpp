#define LLVMFuzzerTestOneInput replay_round_trip
#include "../../fuzz/fuzz_round_trip.cpp"
