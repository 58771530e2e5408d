// The writer formats into a str of the limited API as follows. A fresh
// two-character str is grown with PyUnicode_Resize, which reallocates a
// compact string in place (large blocks move by remapping, not copying) and
// leaves the new characters unset. An ASCII str's UTF-8 form is its own
// character data, so PyUnicode_AsUTF8AndSize gives the writable bytes. The
// str is new, unshared and not hashed, which is what writing characters into
// a str requires. When the text is done it is cut to its length by one more
// resize, which also sets the terminating NUL.
//
// A text with a byte above 0x7F is not a valid ASCII str: it is decoded as
// UTF-8 into a new str instead and the scratch one is dropped.
//
// Whether the UTF-8 form is the character data is CPython's layout, not a
// promise of the limited API, so it is checked once by writing through the
// pointer and reading back with PyUnicode_ReadChar; without it the text goes
// through a std::string and PyUnicode_FromStringAndSize.
//
// A large table is formatted without the interpreter lock (unlocked.hpp).
// Writing bytes into the str then is sound because no other thread can reach
// it: the one reference is the sink's, the str has been given to no Python
// code, container or cache (a str is not tracked by the garbage collector,
// so not even gc.get_objects() finds it), and no code reads its contents
// until it is finished. Only growing it is a C API call (the allocator and the
// str's header): the sink takes the lock back for each resize, which happens
// a few times per text, as the room grows geometrically.
#include "csv_text.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "csv/write.hpp"
#include "errors.hpp"
#include "unlocked.hpp"

namespace kelo_frame::api {
namespace {

// The bytes of a str that this code alone holds, or null (with an exception
// set) when it cannot give them for `size` characters.
char* str_bytes(PyObject* str, std::size_t size) {
  Py_ssize_t len = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(str, &len);
  if (bytes == nullptr) return nullptr;
  if (static_cast<std::size_t>(len) != size) {
    PyErr_SetString(PyExc_SystemError, "a resized str has an unexpected length");
    return nullptr;
  }
  return const_cast<char*>(bytes);  // the str is new and unshared: see above
}

// Resizes *str (a new, unshared ASCII str) to `size` characters; false with
// an exception set when it cannot.
bool resize(Ref& str, std::size_t size) {
  PyObject* obj = str.release();
  const int failed = PyUnicode_Resize(&obj, static_cast<Py_ssize_t>(size));
  str = Ref::steal(obj);  // left as it was on failure
  return failed == 0;
}

Ref fresh_str() { return Ref::steal(PyUnicode_FromStringAndSize("..", 2)); }

bool probe() {
  constexpr std::size_t kSize = 4096;
  Ref str = fresh_str();
  if (!str || !resize(str, kSize)) {
    PyErr_Clear();
    return false;
  }
  char* bytes = str_bytes(str.get(), kSize);
  if (bytes == nullptr) {
    PyErr_Clear();
    return false;
  }
  bytes[0] = 'x';
  bytes[kSize - 1] = 'y';
  const bool ok = PyUnicode_ReadChar(str.get(), 0) == 'x' && PyUnicode_ReadChar(str.get(), kSize - 1) == 'y';
  PyErr_Clear();  // ReadChar cannot fail here, but leave nothing behind
  return ok;
}

// True when a str's UTF-8 bytes are its own writable character data.
bool str_data_is_writable() {
  static const bool writable = probe();
  return writable;
}

class StrSink final : public csv::Sink {
 public:
  // `unlocked` is the released lock the writer runs under, or null when it
  // runs with the lock.
  explicit StrSink(Unlocked* unlocked) noexcept : unlocked_(unlocked) {}

  char* resize(std::size_t /*keep*/, std::size_t size) override {
    const Unlocked::Relock relock(unlocked_);
    // A resize keeps every byte that stays inside the new length.
    if (!str_) str_ = fresh_str();
    if (!str_ || !api::resize(str_, size)) throw std::bad_alloc();
    char* bytes = str_bytes(str_.get(), size);
    if (bytes == nullptr) throw std::bad_alloc();
    return bytes;
  }

  // The finished str of the first `written.size` bytes.
  Ref finish(const csv::Written& written) {
    if (!written.ascii) {
      const char* bytes = str_bytes(str_.get(), static_cast<std::size_t>(PyUnicode_GetLength(str_.get())));
      if (bytes == nullptr) return {};
      return Ref::steal(PyUnicode_DecodeUTF8(bytes, static_cast<Py_ssize_t>(written.size), nullptr));
    }
    if (!api::resize(str_, written.size)) return {};
    return std::move(str_);
  }

 private:
  Unlocked* unlocked_;
  Ref str_;
};

}  // namespace

NewObject csv_text(const Table& table) {
  const std::uint64_t work = table.height;
  if (!str_data_is_writable()) {
    return {text_object(run_unlocked_if(work, [&] { return csv::write(table); })).release()};
  }
  if (work < kReleaseFrom) {
    StrSink sink(nullptr);
    const csv::Written written = csv::write_into(table, sink);
    return {sink.finish(written).release()};
  }
  std::optional<StrSink> sink;
  csv::Written written;
  {
    Unlocked unlocked;
    sink.emplace(&unlocked);
    written = csv::write_into(table, *sink);
  }
  // The lock is held again; the sink no longer refers to the released one.
  return {sink->finish(written).release()};
}

}  // namespace kelo_frame::api
