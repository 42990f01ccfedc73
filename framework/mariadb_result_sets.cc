// ResultSets: the in-memory rows of one statement's results.
#include <charconv>
#include <limits>

#include "framework/mariadb.h"

namespace tvx {

bool ResultSets::SeekNextResultSet() {
  if (set_index_ + 1 >= static_cast<int64_t>(sets_.size())) {
    set_index_ = static_cast<int64_t>(sets_.size());
    row_index_ = -1;
    return false;
  }
  ++set_index_;
  row_index_ = -1;
  return true;
}

bool ResultSets::SeekNextRow() {
  if (set_index_ < 0 || set_index_ >= static_cast<int64_t>(sets_.size())) return false;
  const auto& rows = sets_[static_cast<size_t>(set_index_)].rows;
  if (row_index_ + 1 >= static_cast<int64_t>(rows.size())) {
    row_index_ = static_cast<int64_t>(rows.size());
    return false;
  }
  ++row_index_;
  return true;
}

size_t ResultSets::GetRowCount() const {
  if (set_index_ < 0 || set_index_ >= static_cast<int64_t>(sets_.size())) return 0;
  return sets_[static_cast<size_t>(set_index_)].rows.size();
}

size_t ResultSets::GetColumnCount() const {
  if (set_index_ < 0 || set_index_ >= static_cast<int64_t>(sets_.size())) return 0;
  return sets_[static_cast<size_t>(set_index_)].column_count;
}

const std::optional<std::string>* ResultSets::Cell(size_t column) const {
  if (set_index_ < 0 || set_index_ >= static_cast<int64_t>(sets_.size())) return nullptr;
  const auto& rows = sets_[static_cast<size_t>(set_index_)].rows;
  if (row_index_ < 0 || row_index_ >= static_cast<int64_t>(rows.size())) return nullptr;
  const auto& row = rows[static_cast<size_t>(row_index_)];
  if (column >= row.size()) return nullptr;
  return &row[column];
}

int64_t ResultSets::GetInt(size_t column, int64_t default_value) const {
  const auto* cell = Cell(column);
  if (!cell || !cell->has_value()) return default_value;
  const std::string& text = **cell;
  int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
    return default_value;
  }
  return value;
}

int32_t ResultSets::GetInt32(size_t column, int32_t default_value) const {
  const int64_t value = GetInt(column, default_value);
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    return default_value;
  }
  return static_cast<int32_t>(value);
}

std::string ResultSets::GetString(size_t column, const std::string& default_value) const {
  const auto* cell = Cell(column);
  if (!cell || !cell->has_value()) return default_value;
  return **cell;
}

bool ResultSets::IsNull(size_t column) const {
  const auto* cell = Cell(column);
  return cell && !cell->has_value();
}

void ResultSets::AddResultSet(size_t column_count) {
  sets_.push_back(ResultSet{column_count, {}});
}

void ResultSets::AddRow(std::vector<std::optional<std::string>> values) {
  if (sets_.empty()) AddResultSet(values.size());
  sets_.back().rows.push_back(std::move(values));
}

}  // namespace tvx
