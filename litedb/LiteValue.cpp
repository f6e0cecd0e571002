#include "litedb/LiteValue.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>

LiteDate liteDateWithTimeIntervalSince1970(double seconds) {
  return LiteDate(std::chrono::duration<double>(seconds));
}

double liteTimeIntervalSince1970(const LiteDate& date) { return date.time_since_epoch().count(); }

LiteValue::LiteValue() : _storage(Absent{}) {}
LiteValue::LiteValue(std::nullptr_t) : _storage(Absent{}) {}

LiteValue LiteValue::null() {
  LiteValue value;
  value._storage = Null{};
  return value;
}

LiteValue LiteValue::other(std::string description) {
  LiteValue value;
  value._storage = Other{std::move(description)};
  return value;
}

LiteValue LiteValue::signedNumber(char code, long long number) {
  LiteValue value;
  Number n;
  n.code = code;
  n.signedValue = number;
  value._storage = n;
  return value;
}

LiteValue LiteValue::unsignedNumber(char code, unsigned long long number) {
  LiteValue value;
  Number n;
  n.code = code;
  n.unsignedValue = number;
  value._storage = n;
  return value;
}

LiteValue LiteValue::floatingNumber(char code, double number) {
  LiteValue value;
  Number n;
  n.code = code;
  n.floatingValue = number;
  value._storage = n;
  return value;
}

LiteValue::LiteValue(bool value) : LiteValue(signedNumber('c', value ? 1 : 0)) {}
LiteValue::LiteValue(char value) : LiteValue(signedNumber('c', static_cast<signed char>(value))) {}
LiteValue::LiteValue(signed char value) : LiteValue(signedNumber('c', value)) {}
LiteValue::LiteValue(unsigned char value) : LiteValue(unsignedNumber('C', value)) {}
LiteValue::LiteValue(short value) : LiteValue(signedNumber('s', value)) {}
LiteValue::LiteValue(unsigned short value) : LiteValue(unsignedNumber('S', value)) {}
LiteValue::LiteValue(int value) : LiteValue(signedNumber('i', value)) {}
LiteValue::LiteValue(unsigned int value) : LiteValue(unsignedNumber('I', value)) {}
LiteValue::LiteValue(long value) : LiteValue(signedNumber('q', value)) {}
LiteValue::LiteValue(long long value) : LiteValue(signedNumber('q', value)) {}
LiteValue::LiteValue(unsigned long value) : LiteValue(unsignedNumber('Q', value)) {}
LiteValue::LiteValue(unsigned long long value) : LiteValue(unsignedNumber('Q', value)) {}
LiteValue::LiteValue(float value) : LiteValue(floatingNumber('f', value)) {}
LiteValue::LiteValue(double value) : LiteValue(floatingNumber('d', value)) {}

LiteValue::LiteValue(const char* text) : _storage(Absent{}) {
  if (text) _storage = std::string(text);
}
LiteValue::LiteValue(std::string text) : _storage(std::move(text)) {}
LiteValue::LiteValue(LiteData data) : _storage(std::move(data)) {}
LiteValue::LiteValue(LiteDate date) : _storage(date) {}

namespace {

bool isUnsignedCode(char code) { return code == 'C' || code == 'S' || code == 'I' || code == 'Q'; }

bool isFloatingCode(char code) { return code == 'f' || code == 'd'; }

// A double as a 64-bit integer, truncated towards zero; values beyond the type's range
// give its nearest end and NaN gives 0, where a plain conversion would be undefined.
long long saturatingLongLong(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; every double strictly inside (-2^63, 2^63) converts.
  constexpr double twoTo63 = 9223372036854775808.0;
  if (value >= twoTo63) return std::numeric_limits<long long>::max();
  if (value <= -twoTo63) return std::numeric_limits<long long>::min();
  return static_cast<long long>(value);
}

// Negative values wrap through the signed conversion, as signed numbers do.
unsigned long long saturatingUnsignedLongLong(double value) {
  if (std::isnan(value)) return 0;
  if (value < 0) return static_cast<unsigned long long>(saturatingLongLong(value));
  constexpr double twoTo64 = 18446744073709551616.0;
  if (value >= twoTo64) return std::numeric_limits<unsigned long long>::max();
  return static_cast<unsigned long long>(value);
}

std::string shortestDecimal(double value) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

}  // namespace

std::string LiteValue::description() const {
  switch (kind()) {
    case Kind::Absent:
      return "(null)";
    case Kind::Null:
      return "<null>";
    case Kind::Text:
      return std::get<std::string>(_storage);
    case Kind::Other:
      return std::get<Other>(_storage).description;
    case Kind::Data: {
      static const char digits[] = "0123456789abcdef";
      std::string out = "<";
      for (std::uint8_t byte : std::get<LiteData>(_storage)) {
        out += digits[byte >> 4];
        out += digits[byte & 0xf];
      }
      return out + ">";
    }
    case Kind::Date: {
      const double seconds = liteTimeIntervalSince1970(std::get<LiteDate>(_storage));
      // Past some hundred million years (or not a number) there is no calendar date
      // to print, and converting to time_t could be undefined: give the seconds.
      if (!(std::fabs(seconds) < 1e16)) return shortestDecimal(seconds);
      std::time_t whole = static_cast<std::time_t>(seconds);
      if (static_cast<double>(whole) > seconds) --whole;  // round towards the past
      std::tm utc{};
      if (!gmtime_r(&whole, &utc)) return shortestDecimal(seconds);
      char text[40];
      std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S +0000", &utc);
      return text;
    }
    case Kind::Number: {
      const Number& n = std::get<Number>(_storage);
      if (isFloatingCode(n.code)) return shortestDecimal(n.floatingValue);
      if (isUnsignedCode(n.code)) return std::to_string(n.unsignedValue);
      return std::to_string(n.signedValue);
    }
  }
  return {};
}

std::optional<LiteDate> LiteValue::date() const {
  if (const LiteDate* d = std::get_if<LiteDate>(&_storage)) return *d;
  return std::nullopt;
}

long long LiteValue::longLongValue() const {
  const Number* n = std::get_if<Number>(&_storage);
  if (!n) return 0;
  if (isFloatingCode(n->code)) return saturatingLongLong(n->floatingValue);
  if (isUnsignedCode(n->code)) return static_cast<long long>(n->unsignedValue);
  return n->signedValue;
}

unsigned long long LiteValue::unsignedLongLongValue() const {
  const Number* n = std::get_if<Number>(&_storage);
  if (!n) return 0;
  if (isFloatingCode(n->code)) return saturatingUnsignedLongLong(n->floatingValue);
  if (isUnsignedCode(n->code)) return n->unsignedValue;
  return static_cast<unsigned long long>(n->signedValue);
}

double LiteValue::doubleValue() const {
  const Number* n = std::get_if<Number>(&_storage);
  if (!n) return 0;
  if (isFloatingCode(n->code)) return n->floatingValue;
  if (isUnsignedCode(n->code)) return static_cast<double>(n->unsignedValue);
  return static_cast<double>(n->signedValue);
}

bool operator==(const LiteValue& a, const LiteValue& b) { return a._storage == b._storage; }

std::ostream& operator<<(std::ostream& out, const LiteValue& value) {
  static const char* const kindNames[] = {"absent", "null", "data", "date",
                                          "number", "text", "other"};
  out << kindNames[static_cast<int>(value.kind())];
  if (value.typeCode()) out << " '" << value.typeCode() << "'";
  return out << " " << value.description();
}

std::ostream& operator<<(std::ostream& out, const LiteError& error) {
  return out << "LiteError{" << error.domain << ", " << error.code << ", \"" << error.description
             << "\"}";
}
