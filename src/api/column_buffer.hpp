// A read-only Python buffer over one storage array of a column, holding the
// column so that the memory stays valid as long as the buffer object lives.
// Pickling with protocol 5 wraps these in PickleBuffer objects, which a
// pickler's buffer_callback may carry out of band without a copy.
#pragma once

#include <cstdint>
#include <span>

#include "engine/col.hpp"
#include "engine/rc.hpp"
#include "py.hpp"

namespace kelo_frame::api {

// A new buffer object showing bytes (which col's storage holds), or null with
// an exception set.
PyObject* column_buffer(const Rc<Col>& col, std::span<const std::uint8_t> bytes);

}  // namespace kelo_frame::api
