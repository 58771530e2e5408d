#include "export.hpp"

#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <utility>

#include "engine/quote.hpp"
#include "format.hpp"

namespace kelo_frame::arrow {

namespace {

// Stands in for the data buffer of an empty column, whose vector may hold no
// allocation: consumers may expect every buffer pointer of the layout to be set.
alignas(64) constexpr std::uint64_t no_cells[1] = {0};

// --- schema ---

// The private data of one exported schema node. Destroying it releases the
// children still in place (a consumer may have moved some out; theirs have a
// null release callback by then).
struct SchemaData {
  std::string format;
  std::string name;
  std::vector<ArrowSchema> child_storage;
  std::vector<ArrowSchema*> children;

  SchemaData() = default;
  SchemaData(const SchemaData&) = delete;
  SchemaData& operator=(const SchemaData&) = delete;
  ~SchemaData() {
    for (ArrowSchema& c : child_storage) {
      if (c.release != nullptr) c.release(&c);
    }
  }
};

void release_schema(ArrowSchema* schema) {
  delete static_cast<SchemaData*>(schema->private_data);  // NOLINT(cppcoreguidelines-owning-memory)
  schema->release = nullptr;
}

// Hands data over to out, which must be unset. Never fails.
void publish(std::unique_ptr<SchemaData> data, std::int64_t flags, ArrowSchema* out) noexcept {
  out->format = data->format.c_str();
  out->name = data->name.c_str();
  out->metadata = nullptr;
  out->flags = flags;
  out->n_children = static_cast<std::int64_t>(data->children.size());
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = data.release();
}

// --- arrays ---

// The private data of one exported array node: the column it shows (shared,
// so the buffers outlive the table), any buffers built for the export, and
// the children still in place.
struct ArrayData {
  Rc<Col> col;
  std::vector<std::uint64_t> bitmap;    // built when the column's words stop short
  std::vector<std::int32_t> offsets32;  // built when utf8 was requested
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> child_storage;
  std::vector<ArrowArray*> children;

  ArrayData() = default;
  ArrayData(const ArrayData&) = delete;
  ArrayData& operator=(const ArrayData&) = delete;
  ~ArrayData() {
    for (ArrowArray& c : child_storage) {
      if (c.release != nullptr) c.release(&c);
    }
  }
};

void release_array(ArrowArray* array) {
  delete static_cast<ArrayData*>(array->private_data);  // NOLINT(cppcoreguidelines-owning-memory)
  array->release = nullptr;
}

void publish(std::unique_ptr<ArrayData> data, std::int64_t length, std::int64_t null_count, std::int64_t n_buffers,
             ArrowArray* out) noexcept {
  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = static_cast<std::int64_t>(data->children.size());
  out->buffers = data->buffers;
  out->children = data->children.empty() ? nullptr : data->children.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = data.release();
}

// The validity buffer of a column of `length` cells, and its null count. The
// column's own words serve when they reach the last cell; otherwise a copy is
// extended with present cells (all ones). No missing cell, no buffer.
const void* validity_buffer(const Validity& valid, std::uint64_t length, ArrayData& data, std::int64_t& null_count) {
  null_count = 0;
  if (valid.all_present()) return nullptr;
  const std::vector<std::uint64_t>& words = valid.words();
  std::uint64_t missing = 0;
  for (std::size_t k = 0; k < words.size(); ++k) {
    const std::uint64_t first = std::uint64_t{k} * 64;
    if (first >= length) break;
    const std::uint64_t bits = length - first;
    const std::uint64_t mask = bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    missing += static_cast<std::uint64_t>(std::popcount(~words[k] & mask));
  }
  null_count = static_cast<std::int64_t>(missing);
  if (missing == 0) return nullptr;
  if (std::uint64_t{words.size()} * 64 >= length) return words.data();
  data.bitmap.assign((length + 63) / 64, ~std::uint64_t{0});
  std::memcpy(data.bitmap.data(), words.data(), words.size() * sizeof(std::uint64_t));
  return data.bitmap.data();
}

template <class V>
const void* values_buffer(const std::vector<V>& values) noexcept {
  return values.empty() ? static_cast<const void*>(no_cells) : static_cast<const void*>(values.data());
}

void export_column(const Rc<Col>& col, std::uint64_t length, TextOffsets offsets, ArrowArray* out) {
  auto data = std::make_unique<ArrayData>();
  data->col = col;
  std::int64_t null_count = 0;
  std::int64_t n_buffers = 2;
  std::visit(
      [&](const auto& c) {
        data->buffers[0] = validity_buffer(c.valid, length, *data, null_count);
        if constexpr (std::is_same_v<std::decay_t<decltype(c)>, StrCol>) {
          n_buffers = 3;
          if (offsets == TextOffsets::Small) {
            data->offsets32.resize(c.offsets.size());
            for (std::size_t i = 0; i < c.offsets.size(); ++i) {
              data->offsets32[i] = static_cast<std::int32_t>(c.offsets[i]);
            }
            data->buffers[1] = data->offsets32.data();
          } else {
            data->buffers[1] = c.offsets.data();
          }
          data->buffers[2] = c.bytes.data();
        } else {
          data->buffers[1] = values_buffer(c.values);
        }
      },
      *col);
  publish(std::move(data), static_cast<std::int64_t>(length), null_count, n_buffers, out);
}

// --- the stream ---

struct StreamData {
  ExportPlan plan;
  bool done = false;
  std::string error;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  try {
    export_schema(data->plan, out);
    return 0;
  } catch (const std::bad_alloc&) {
    data->error = "out of memory while exporting the schema";
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* data = static_cast<StreamData*>(stream->private_data);
  if (data->done) {
    out->release = nullptr;  // the end of the stream
    return 0;
  }
  try {
    export_batch(data->plan, out);
    data->done = true;
    return 0;
  } catch (const std::bad_alloc&) {
    data->error = "out of memory while exporting the record batch";
    return ENOMEM;
  }
}

const char* stream_error(ArrowArrayStream* stream) {
  const auto* data = static_cast<const StreamData*>(stream->private_data);
  return data->error.empty() ? nullptr : data->error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
  delete static_cast<StreamData*>(stream->private_data);  // NOLINT(cppcoreguidelines-owning-memory)
  stream->release = nullptr;
}

// Whether a requested field type can be given for a column exactly.
Result<TextOffsets> requested_type(const Column& column, const ArrowSchema& field) {
  const std::string_view want = field.format != nullptr ? field.format : "";
  const Dtype d = dtype(*column.col);
  const std::string_view own = own_format(d);
  if (want == own) return TextOffsets::Large;
  if (d == Dtype::Str && want == "u") {
    const auto& c = std::get<StrCol>(*column.col);
    if (c.bytes.size() > static_cast<std::uint64_t>(INT32_MAX)) {
      return fail("column " + quoted(column.name) + " holds " + std::to_string(c.bytes.size()) +
                  " bytes of text, more than utf8's 32-bit offsets can address; request large_utf8 instead");
    }
    return TextOffsets::Small;
  }
  std::string message = "column " + quoted(column.name) + " (" + std::string(dtype_name(d)) +
                        ") cannot be exported exactly as Arrow " + type_text(field) + "; it is offered as " +
                        std::string(type_name(own));
  if (d == Dtype::Str) message += " or utf8";
  return fail(std::move(message));
}

}  // namespace

Result<ExportPlan> plan_export(const Table& table, const ArrowSchema* requested, bool with_cells) {
  for (const Column& c : table.columns) {
    if (c.name.find('\0') != std::string::npos) {
      return fail("column " + quoted(c.name) + " cannot be exported: Arrow field names end at a NUL character");
    }
  }
  if (requested != nullptr) {
    const std::string_view format = requested->format != nullptr ? requested->format : "";
    if (format != "+s") return fail("the requested schema must be a struct, not Arrow " + type_text(*requested));
    if (requested->n_children != static_cast<std::int64_t>(table.columns.size())) {
      return fail("the requested schema has " + std::to_string(requested->n_children) + " fields; the frame has " +
                  std::to_string(table.columns.size()) + " columns");
    }
  }
  ExportPlan plan;
  plan.height = table.height;
  plan.columns.reserve(table.columns.size());
  plan.offsets.assign(table.columns.size(), TextOffsets::Large);
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    const Column& c = table.columns[i];
    if (requested != nullptr) {
      const ArrowSchema& field = *requested->children[i];
      const std::string_view name = field.name != nullptr ? field.name : "";
      if (name != c.name) {
        return fail("the requested schema names field " + std::to_string(i) + " " + quoted(name) +
                    "; the frame's column there is " + quoted(c.name));
      }
      auto offsets = requested_type(c, field);
      if (!offsets) return fail(std::move(offsets.error()));
      plan.offsets[i] = *offsets;
    }
  }
  // A view's cells are gathered into new columns in row order; a table
  // without a row index shares its columns as they are.
  for (const Column& c : table.columns) {
    plan.columns.push_back(table.index && with_cells ? Column{c.name, Rc<Col>::make(gather(*c.col, *table.index))} : c);
  }
  return plan;
}

void export_schema(const ExportPlan& plan, ArrowSchema* out) {
  auto data = std::make_unique<SchemaData>();
  data->format = "+s";
  const std::size_t n = plan.columns.size();
  data->child_storage.reserve(n);
  data->children.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    auto child = std::make_unique<SchemaData>();
    const Dtype d = dtype(*plan.columns[i].col);
    child->format = d == Dtype::Str && plan.offsets[i] == TextOffsets::Small ? "u" : std::string(own_format(d));
    child->name = plan.columns[i].name;
    ArrowSchema& slot = data->child_storage.emplace_back();
    publish(std::move(child), ARROW_FLAG_NULLABLE, &slot);
    data->children.push_back(&slot);
  }
  publish(std::move(data), 0, out);
}

void export_batch(const ExportPlan& plan, ArrowArray* out) {
  auto data = std::make_unique<ArrayData>();
  const std::size_t n = plan.columns.size();
  data->child_storage.reserve(n);
  data->children.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    ArrowArray& slot = data->child_storage.emplace_back();
    slot.release = nullptr;
    export_column(plan.columns[i].col, plan.height, plan.offsets[i], &slot);
    data->children.push_back(&slot);
  }
  publish(std::move(data), static_cast<std::int64_t>(plan.height), 0, 1, out);
}

void export_stream(ExportPlan plan, ArrowArrayStream* out) {
  auto data = std::make_unique<StreamData>();
  data->plan = std::move(plan);
  out->get_schema = stream_schema;
  out->get_next = stream_next;
  out->get_last_error = stream_error;
  out->release = release_stream;
  out->private_data = data.release();
}

}  // namespace kelo_frame::arrow
