// Json: a JSON value with value semantics (copies are deep), a thin wrapper
// over boost::json::value. Objects keep their members in insertion order, so
// text written from a parsed value keeps the order it was read in.
//
// Reads never throw: asking a value for a kind it does not hold yields the
// kind's zero ("" / 0 / false / null Json).
#ifndef FRAMEWORK_JSON_H_
#define FRAMEWORK_JSON_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/json/value.hpp>

namespace tvx {

class Json {
 public:
  enum Type { kNull, kBool, kInteger, kDouble, kString, kArray, kObject };

  Json() = default;
  explicit Json(boost::json::value value) : value_(std::move(value)) {}
  Json(const char* text) : value_(text) {}  // NOLINT: implicit like a string
  Json(const std::string& text) : value_(text) {}
  Json(std::string_view text) : value_(text) {}
  Json(int value) : value_(static_cast<int64_t>(value)) {}
  Json(int64_t value) : value_(value) {}
  Json(double value) : value_(value) {}
  Json(bool value) : value_(value) {}

  static Json Object();
  static Json Array();

  // Parses `text` into this value. On failure the value is left null,
  // `on_error` (when given) gets the parser's message, and false is returned.
  bool FromString(std::string_view text,
                  const std::function<void(const std::string&)>& on_error = nullptr);

  // Compact text when `pretty` is false.
  std::string ToString(bool pretty = false) const;

  Type GetType() const;
  bool IsNull() const { return value_.is_null(); }
  bool IsObject() const { return value_.is_object(); }
  bool IsArray() const { return value_.is_array(); }
  bool IsString() const { return value_.is_string(); }
  // Whole numbers that fit a signed 64-bit integer.
  bool IsInteger() const;
  bool IsDouble() const { return value_.is_double(); }
  bool IsBool() const { return value_.is_bool(); }

  // Objects: whether a member exists (of the given type).
  bool HasAttribute(std::string_view name) const;
  bool HasAttribute(std::string_view name, Type type) const;
  // A copy of the member, or null when absent or this is not an object.
  Json GetAttribute(std::string_view name) const;
  Json operator[](std::string_view name) const { return GetAttribute(name); }
  // Arrays: a copy of the element, or null when out of range.
  Json operator[](size_t index) const;
  // Members of an object or elements of an array; 0 otherwise.
  size_t Size() const;
  // Member names of an object, in order.
  std::vector<std::string> GetAttributeNames() const;

  std::string GetString() const;
  int64_t GetInteger() const;
  double GetDouble() const;
  bool GetBool() const;

  // Member-wise reads without copying the member.
  std::string GetString(std::string_view name) const;
  int64_t GetInteger(std::string_view name) const;
  bool GetBool(std::string_view name) const;

  // Writes. SetAttribute turns a non-object into an empty object first;
  // PushBack turns a non-array into an empty array first.
  Json& SetAttribute(std::string_view name, Json value);
  Json& SetString(std::string_view name, std::string_view text);
  Json& PushBack(Json value);
  bool RemoveAttribute(std::string_view name);

  Json& operator=(const std::string& text) { value_ = text; return *this; }
  Json& operator=(const char* text) { value_ = text; return *this; }
  Json& operator=(int64_t value) { value_ = value; return *this; }
  Json& operator=(int value) { value_ = static_cast<int64_t>(value); return *this; }
  Json& operator=(double value) { value_ = value; return *this; }
  Json& operator=(bool value) { value_ = value; return *this; }

  bool operator==(const Json& other) const { return value_ == other.value_; }

  const boost::json::value& value() const { return value_; }
  boost::json::value& value() { return value_; }

 private:
  const boost::json::value* Find(std::string_view name) const;

  boost::json::value value_;
};

}  // namespace tvx

#endif  // FRAMEWORK_JSON_H_
