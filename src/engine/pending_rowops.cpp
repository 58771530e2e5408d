// Placeholder until filters, sorting and date parts land; deleted with them.
#include "table.hpp"
namespace kelo_frame {
Result<Table> Table::where_num(std::string_view, Cmp, double) const { return fail("not built yet"); }
Result<Table> Table::where_among(std::string_view, std::span<const double>) const { return fail("not built yet"); }
Result<Table> Table::where_in(std::string_view, std::span<const std::string>) const { return fail("not built yet"); }
Result<Table> Table::sort(std::string_view, bool) const { return fail("not built yet"); }
Result<Col> Table::date_part(std::string_view, DatePart) const { return fail("not built yet"); }
}  // namespace kelo_frame
