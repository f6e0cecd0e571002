// LiteFormatArgument: one value of the variable list of a format-string statement
// (LiteDatabase::executeQueryWithFormat, executeUpdateWithFormat), tagged with the
// kind of C argument it is, so that every conversion of the format can be checked
// against the value it takes.
//
// The kinds are those a C variable list carries after the usual promotions: bool,
// char, short and their unsigned forms, and int are Int (%d %D %i %c %hi, and the
// unsigned %u %U %hu, which read the same 32 bits); unsigned int is UnsignedInt; long
// and long long are Long (%ld %lld %qi, and %lu %llu %qu); their unsigned forms are
// UnsignedLong; float and double are Double (%f %g); const char* is CString (%s); a
// LiteValue, std::string, LiteData, LiteDate or nullptr is Object (%@). A C string is
// not an object: pass text for %@ as std::string or LiteValue.
//
// Thread-safety: plain data, as LiteValue.
#pragma once

#include <cstdint>
#include <string>

#include "litedb/LiteValue.h"

class LiteFormatArgument {
 public:
  enum class Kind { Object, Int, UnsignedInt, Long, UnsignedLong, Double, CString };

  LiteFormatArgument(bool value) : LiteFormatArgument(Kind::Int, value ? 1 : 0) {}
  LiteFormatArgument(char value) : LiteFormatArgument(Kind::Int, value) {}
  LiteFormatArgument(signed char value) : LiteFormatArgument(Kind::Int, value) {}
  LiteFormatArgument(unsigned char value) : LiteFormatArgument(Kind::Int, value) {}
  LiteFormatArgument(short value) : LiteFormatArgument(Kind::Int, value) {}
  LiteFormatArgument(unsigned short value) : LiteFormatArgument(Kind::Int, value) {}
  LiteFormatArgument(int value) : LiteFormatArgument(Kind::Int, value) {}
  LiteFormatArgument(unsigned int value) : LiteFormatArgument(Kind::UnsignedInt, value) {}
  LiteFormatArgument(long value) : LiteFormatArgument(Kind::Long, value) {}
  LiteFormatArgument(long long value) : LiteFormatArgument(Kind::Long, value) {}
  LiteFormatArgument(unsigned long value)
      : LiteFormatArgument(Kind::UnsignedLong, static_cast<std::int64_t>(value)) {}
  LiteFormatArgument(unsigned long long value)
      : LiteFormatArgument(Kind::UnsignedLong, static_cast<std::int64_t>(value)) {}
  LiteFormatArgument(float value) : _kind(Kind::Double), _double(value) {}
  LiteFormatArgument(double value) : _kind(Kind::Double), _double(value) {}
  LiteFormatArgument(const char* text) : _kind(Kind::CString), _cString(text) {}
  LiteFormatArgument(char* text) : LiteFormatArgument(static_cast<const char*>(text)) {}
  // Any other pointer would silently become a number; make that a compile error.
  template <class T>
  LiteFormatArgument(T*) = delete;
  LiteFormatArgument(std::nullptr_t) : _kind(Kind::Object) {}  // an absent object
  LiteFormatArgument(LiteValue object) : _kind(Kind::Object), _object(std::move(object)) {}
  LiteFormatArgument(std::string text) : LiteFormatArgument(LiteValue(std::move(text))) {}
  LiteFormatArgument(LiteData data) : LiteFormatArgument(LiteValue(std::move(data))) {}
  LiteFormatArgument(LiteDate date) : LiteFormatArgument(LiteValue(date)) {}

  Kind kind() const { return _kind; }
  // "an int", "an unsigned int", ...: how messages name the kind.
  static const char* kindName(Kind kind);

  // The value read as C's va_arg would read it for the kind's width: the integer
  // readers reinterpret between signed and unsigned of the same width.
  int intValue() const { return static_cast<int>(_integer); }
  unsigned int unsignedIntValue() const { return static_cast<unsigned int>(_integer); }
  std::int64_t longValue() const { return _integer; }
  std::uint64_t unsignedLongValue() const { return static_cast<std::uint64_t>(_integer); }
  double doubleValue() const { return _double; }
  const char* cStringValue() const { return _cString; }
  const LiteValue& objectValue() const { return _object; }

 private:
  LiteFormatArgument(Kind kind, std::int64_t integer) : _kind(kind), _integer(integer) {}

  Kind _kind;
  std::int64_t _integer = 0;
  double _double = 0;
  const char* _cString = nullptr;
  LiteValue _object;
};

using LiteFormatArgumentList = std::vector<LiteFormatArgument>;
