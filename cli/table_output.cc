#include "table_output.h"

#include <algorithm>

#include "console_connection.h"

namespace vqflow::cli {

void print_items(std::ostream& out, const Value& items, const std::vector<std::string>& columns,
                 bool json, const std::string& empty) {
  if (json) {
    out << json_text(items, false) << "\n";
    return;
  }
  if (items.empty()) {
    out << empty << "\n";
    return;
  }
  std::vector<std::vector<std::string>> cells;
  std::vector<std::size_t> widths;
  widths.reserve(columns.size());
  for (const std::string& column : columns) widths.push_back(display_width(column));
  for (const Value& item : items) {
    std::vector<std::string>& line = cells.emplace_back();
    for (std::size_t i = 0; i < columns.size(); ++i) {
      const Value cell = item.value(columns[i], Value());
      line.push_back(cell.is_null() ? "-" : one_line(text_form(cell)));
      widths[i] = std::max(widths[i], display_width(line.back()));
    }
  }
  auto print_line = [&](const std::vector<std::string>& line) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      text += i + 1 == line.size() ? line[i] : pad(line[i], widths[i]) + "  ";
    }
    out << text << "\n";
  };
  print_line(columns);
  for (const auto& line : cells) print_line(line);
}

}  // namespace vqflow::cli
