// Placeholder until grouping and aggregation land; deleted with them.
#include "groups.hpp"
namespace kelo_frame {
Result<Groups> Table::group(std::span<const std::string>) const { return fail("not built yet"); }
Table Groups::key_table() const { return {}; }
Result<Table> Groups::agg(std::string_view, Agg) const { return fail("not built yet"); }
Table Groups::count() const { return {}; }
Result<Table> Groups::with(std::string_view, Col) const { return fail("not built yet"); }
}  // namespace kelo_frame
