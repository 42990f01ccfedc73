#include "framework/json.h"

#include <cmath>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

namespace tvx {

Json Json::Object() { return Json(boost::json::value(boost::json::object())); }
Json Json::Array() { return Json(boost::json::value(boost::json::array())); }

namespace {

// Whether every number in `v` is finite. The parser reads a number beyond
// the range of a double (1e400) as infinity, which has no JSON text: written
// back it would give text that no JSON parser reads. Nesting is bounded by
// the parser's depth limit.
bool AllFinite(const boost::json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::double_:
      return std::isfinite(v.get_double());
    case boost::json::kind::array:
      for (const auto& element : v.get_array()) {
        if (!AllFinite(element)) return false;
      }
      return true;
    case boost::json::kind::object:
      for (const auto& member : v.get_object()) {
        if (!AllFinite(member.value())) return false;
      }
      return true;
    default:
      return true;
  }
}

}  // namespace

bool Json::FromString(std::string_view text,
                      const std::function<void(const std::string&)>& on_error) {
  boost::system::error_code ec;
  boost::json::value parsed = boost::json::parse(text, ec);
  if (ec || !AllFinite(parsed)) {
    value_ = nullptr;
    if (on_error) on_error(ec ? ec.message() : "number out of range");
    return false;
  }
  value_ = std::move(parsed);
  return true;
}

namespace {

void Indent(std::string* out, int depth) { out->append(static_cast<size_t>(depth) * 2, ' '); }

void Pretty(const boost::json::value& v, std::string* out, int depth) {
  if (v.is_object()) {
    const auto& obj = v.get_object();
    if (obj.empty()) { out->append("{}"); return; }
    out->append("{\n");
    bool first = true;
    for (const auto& member : obj) {
      if (!first) out->append(",\n");
      first = false;
      Indent(out, depth + 1);
      out->append(boost::json::serialize(boost::json::value(member.key())));
      out->append(": ");
      Pretty(member.value(), out, depth + 1);
    }
    out->append("\n");
    Indent(out, depth);
    out->append("}");
  } else if (v.is_array()) {
    const auto& arr = v.get_array();
    if (arr.empty()) { out->append("[]"); return; }
    out->append("[\n");
    for (size_t i = 0; i < arr.size(); ++i) {
      if (i) out->append(",\n");
      Indent(out, depth + 1);
      Pretty(arr[i], out, depth + 1);
    }
    out->append("\n");
    Indent(out, depth);
    out->append("]");
  } else {
    out->append(boost::json::serialize(v));
  }
}

}  // namespace

std::string Json::ToString(bool pretty) const {
  if (!pretty) return boost::json::serialize(value_);
  std::string out;
  Pretty(value_, &out, 0);
  return out;
}

namespace {

bool IsInt64(const boost::json::value& v) {
  if (v.is_int64()) return true;
  return v.is_uint64() && v.get_uint64() <= static_cast<uint64_t>(INT64_MAX);
}

Json::Type TypeOf(const boost::json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::null: return Json::kNull;
    case boost::json::kind::bool_: return Json::kBool;
    case boost::json::kind::int64:
    case boost::json::kind::uint64: return IsInt64(v) ? Json::kInteger : Json::kDouble;
    case boost::json::kind::double_: return Json::kDouble;
    case boost::json::kind::string: return Json::kString;
    case boost::json::kind::array: return Json::kArray;
    case boost::json::kind::object: return Json::kObject;
  }
  return Json::kNull;
}

}  // namespace

Json::Type Json::GetType() const { return TypeOf(value_); }

bool Json::IsInteger() const { return IsInt64(value_); }

const boost::json::value* Json::Find(std::string_view name) const {
  if (!value_.is_object()) return nullptr;
  return value_.get_object().if_contains(name);
}

bool Json::HasAttribute(std::string_view name) const { return Find(name) != nullptr; }

bool Json::HasAttribute(std::string_view name, Type type) const {
  const boost::json::value* member = Find(name);
  if (!member) return false;
  return TypeOf(*member) == type;
}

Json Json::GetAttribute(std::string_view name) const {
  const boost::json::value* member = Find(name);
  return member ? Json(*member) : Json();
}

Json Json::operator[](size_t index) const {
  if (!value_.is_array() || index >= value_.get_array().size()) return Json();
  return Json(value_.get_array()[index]);
}

size_t Json::Size() const {
  if (value_.is_object()) return value_.get_object().size();
  if (value_.is_array()) return value_.get_array().size();
  return 0;
}

std::vector<std::string> Json::GetAttributeNames() const {
  std::vector<std::string> names;
  if (value_.is_object()) {
    for (const auto& member : value_.get_object()) names.emplace_back(member.key());
  }
  return names;
}

namespace {

std::string StringOf(const boost::json::value* v) {
  if (!v || !v->is_string()) return std::string();
  return std::string(v->get_string());
}

int64_t IntegerOf(const boost::json::value* v) {
  if (!v) return 0;
  if (v->is_int64()) return v->get_int64();
  if (v->is_uint64() && v->get_uint64() <= static_cast<uint64_t>(INT64_MAX)) {
    return static_cast<int64_t>(v->get_uint64());
  }
  return 0;
}

bool BoolOf(const boost::json::value* v) { return v && v->is_bool() && v->get_bool(); }

}  // namespace

std::string Json::GetString() const { return StringOf(&value_); }
int64_t Json::GetInteger() const { return IntegerOf(&value_); }
bool Json::GetBool() const { return BoolOf(&value_); }

double Json::GetDouble() const {
  if (value_.is_double()) return value_.get_double();
  if (value_.is_int64()) return static_cast<double>(value_.get_int64());
  if (value_.is_uint64()) return static_cast<double>(value_.get_uint64());
  return 0;
}

std::string Json::GetString(std::string_view name) const { return StringOf(Find(name)); }
int64_t Json::GetInteger(std::string_view name) const { return IntegerOf(Find(name)); }
bool Json::GetBool(std::string_view name) const { return BoolOf(Find(name)); }

Json& Json::SetAttribute(std::string_view name, Json value) {
  if (!value_.is_object()) value_ = boost::json::object();
  value_.get_object()[name] = std::move(value.value_);
  return *this;
}

Json& Json::SetString(std::string_view name, std::string_view text) {
  return SetAttribute(name, Json(text));
}

Json& Json::PushBack(Json value) {
  if (!value_.is_array()) value_ = boost::json::array();
  value_.get_array().push_back(std::move(value.value_));
  return *this;
}

bool Json::RemoveAttribute(std::string_view name) {
  if (!value_.is_object()) return false;
  return value_.get_object().erase(name) > 0;
}

}  // namespace tvx
