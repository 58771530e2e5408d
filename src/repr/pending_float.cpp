// Placeholder until float text lands; deleted with it.
#include "float.hpp"
namespace kelo_frame::repr {
std::string float_(double) { return {}; }
}  // namespace kelo_frame::repr
