// The values litedb passes around: argument and column values (LiteValue), byte
// buffers (LiteData), points in time (LiteDate), named arguments and whole rows
// (LiteDictionary) and error objects (LiteError).
//
// A LiteValue is a small self-contained value: it owns copies of its text and bytes,
// so it can be stored, copied and compared freely.
//
// Thread-safety: values are plain data; distinct objects may be used from different
// threads, one object from several threads only for reading.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

using LiteData = std::vector<std::uint8_t>;
using LiteDate = std::chrono::time_point<std::chrono::system_clock, std::chrono::duration<double>>;

// Seconds since 1970-01-01 00:00:00 UTC, and back.
LiteDate liteDateWithTimeIntervalSince1970(double seconds);
double liteTimeIntervalSince1970(const LiteDate& date);

class LiteValue {
 public:
  enum class Kind { Absent, Null, Data, Date, Number, Text, Other };

  LiteValue();                                      // absent
  LiteValue(std::nullptr_t);                        // absent, as a missing object
  static LiteValue null();                          // the null marker
  static LiteValue other(std::string description);  // any other object, by its description

  // Numbers remember the one-letter code of the C++ type they were made from.
  LiteValue(bool value);                // c (0 or 1)
  LiteValue(char value);                // c
  LiteValue(signed char value);         // c
  LiteValue(unsigned char value);       // C
  LiteValue(short value);               // s
  LiteValue(unsigned short value);      // S
  LiteValue(int value);                 // i
  LiteValue(unsigned int value);        // I
  LiteValue(long value);                // q
  LiteValue(long long value);           // q
  LiteValue(unsigned long value);       // Q
  LiteValue(unsigned long long value);  // Q
  LiteValue(float value);               // f
  LiteValue(double value);              // d

  LiteValue(const char* text);  // text (UTF-8); a null pointer is absent
  LiteValue(char* text) : LiteValue(static_cast<const char*>(text)) {}
  // Any other pointer would silently become the number 1; make that a compile error.
  template <class T>
  LiteValue(T*) = delete;
  LiteValue(std::string text);  // text (UTF-8)
  LiteValue(std::string_view text) : LiteValue(std::string(text)) {}
  LiteValue(LiteData data);
  LiteValue(LiteDate date);

  // kind, typeCode, text and data are inline: binding asks for them on every argument.
  // The storage's alternatives are in the order of Kind.
  Kind kind() const {
    const std::size_t index = _storage.index();
    return index < static_cast<std::size_t>(Kind::Other) ? static_cast<Kind>(index) : Kind::Other;
  }
  bool isAbsent() const { return kind() == Kind::Absent; }
  bool isNull() const { return kind() == Kind::Null; }
  // Absent or the null marker: both are stored as SQL NULL.
  bool isNullOrAbsent() const { return isAbsent() || isNull(); }

  // The number's one-letter type code; 0 for other kinds.
  char typeCode() const {
    const Number* n = std::get_if<Number>(&_storage);
    return n ? n->code : 0;
  }

  // Text as itself, numbers in decimal, bytes as <0a1b...>, dates as
  // "1970-01-01 00:00:00 +0000", the null marker as "<null>", absent as "(null)".
  std::string description() const;

  // Typed readers. Each gives nothing (nullptr / nullopt) for a value of another kind.
  const std::string* text() const { return std::get_if<std::string>(&_storage); }
  const LiteData* data() const { return std::get_if<LiteData>(&_storage); }
  std::optional<LiteDate> date() const;

  // Number readers: the number converted as C++ converts its type, except that a
  // floating value beyond an integer's range gives that range's nearest end and NaN
  // gives 0; 0 for other kinds.
  long long longLongValue() const;
  unsigned long long unsignedLongLongValue() const;
  double doubleValue() const;
  int intValue() const { return static_cast<int>(longLongValue()); }
  bool boolValue() const { return longLongValue() != 0 || doubleValue() != 0.0; }

  friend bool operator==(const LiteValue& a, const LiteValue& b);

 private:
  struct Absent {
    bool operator==(const Absent&) const = default;
  };
  struct Null {
    bool operator==(const Null&) const = default;
  };
  struct Number {
    char code = 0;
    // Exactly one of these is meaningful, chosen by the code.
    long long signedValue = 0;
    unsigned long long unsignedValue = 0;
    double floatingValue = 0;
    bool operator==(const Number&) const = default;
  };
  struct Other {
    std::string description;
    bool operator==(const Other&) const = default;
  };
  using Storage = std::variant<Absent, Null, LiteData, LiteDate, Number, std::string, Other>;
  static_assert(
      std::is_same_v<std::variant_alternative_t<static_cast<std::size_t>(Kind::Text), Storage>,
                     std::string>);

  static LiteValue signedNumber(char code, long long value);
  static LiteValue unsignedNumber(char code, unsigned long long value);
  static LiteValue floatingNumber(char code, double value);

  Storage _storage;
};

std::ostream& operator<<(std::ostream& out, const LiteValue& value);

// Named arguments (keys without the leading colon) and whole rows.
using LiteDictionary = std::map<std::string, LiteValue>;

// What an error out-parameter (std::optional<LiteError>*) receives.
struct LiteError {
  std::string domain;  // "LiteDatabase" for the connection's own errors
  int code = 0;
  std::string description;

  bool operator==(const LiteError&) const = default;
};

std::ostream& operator<<(std::ostream& out, const LiteError& error);
