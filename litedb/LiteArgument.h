// LiteArgument: one argument of a variable argument list of LiteDatabase
// (executeQuery(sql, args...), executeUpdate(sql, args...) and
// executeUpdateWithErrorAndBindings), looked at where the caller keeps it instead of
// copied into a LiteValue.
//
// Numbers are held by value, with the one-letter type code LiteValue would give them.
// Text (std::string, std::string_view, const char*), bytes (LiteData), dates and
// LiteValues are borrowed: the argument points at the caller's object. Those operations
// make their arguments from their own parameters, and a parameter lives until the call
// returns (a temporary the caller wrote lives to the end of the caller's full
// expression), so the view stays valid for the whole call. The connection binds borrowed
// text and bytes without a copy when it steps and resets the statement before it
// returns (updates), and has the engine copy them when a result set will step after the
// call has returned (queries).
//
// Only objects of exactly these types are borrowed. A value that would first have to be
// converted to one of them would be a temporary made inside the call and gone before
// the statement steps, so it does not compile; convert it yourself, or pass a LiteValue.
//
// Ownership: holds nothing; the viewed objects stay the caller's.
//
// Thread-safety: as the objects it looks at.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "litedb/LiteValue.h"

class LiteArgument {
 public:
  enum class Kind : unsigned char { Absent, Signed, Unsigned, Floating, Text, Bytes, Date, Value };

  LiteArgument(std::nullptr_t) : _kind(Kind::Absent) {}  // absent, as a missing object

  // Numbers, with LiteValue's type codes.
  LiteArgument(bool value) : LiteArgument('c', static_cast<long long>(value ? 1 : 0)) {}
  LiteArgument(char value)
      : LiteArgument('c', static_cast<long long>(static_cast<signed char>(value))) {}
  LiteArgument(signed char value) : LiteArgument('c', static_cast<long long>(value)) {}
  LiteArgument(unsigned char value) : LiteArgument('C', static_cast<unsigned long long>(value)) {}
  LiteArgument(short value) : LiteArgument('s', static_cast<long long>(value)) {}
  LiteArgument(unsigned short value) : LiteArgument('S', static_cast<unsigned long long>(value)) {}
  LiteArgument(int value) : LiteArgument('i', static_cast<long long>(value)) {}
  LiteArgument(unsigned int value) : LiteArgument('I', static_cast<unsigned long long>(value)) {}
  LiteArgument(long value) : LiteArgument('q', static_cast<long long>(value)) {}
  LiteArgument(long long value) : LiteArgument('q', value) {}
  LiteArgument(unsigned long value) : LiteArgument('Q', static_cast<unsigned long long>(value)) {}
  LiteArgument(unsigned long long value) : LiteArgument('Q', value) {}
  LiteArgument(float value) : _kind(Kind::Floating), _code('f'), _floating(value) {}
  LiteArgument(double value) : _kind(Kind::Floating), _code('d'), _floating(value) {}

  // Text (UTF-8); a null pointer is absent.
  LiteArgument(const char* text) : _kind(text ? Kind::Text : Kind::Absent) {
    if (text) _view = {text, std::strlen(text)};
  }
  LiteArgument(char* text) : LiteArgument(static_cast<const char*>(text)) {}
  // Any other pointer would silently become the number 1; make that a compile error.
  template <class T>
  LiteArgument(T*) = delete;
  LiteArgument(std::string_view text) : _kind(Kind::Text), _view{text.data(), text.size()} {}
  template <class T>
    requires std::same_as<std::remove_cvref_t<T>, std::string>
  LiteArgument(T&& text) : _kind(Kind::Text), _view{text.data(), text.size()} {}

  template <class T>
    requires std::same_as<std::remove_cvref_t<T>, LiteData>
  LiteArgument(T&& bytes) : _kind(Kind::Bytes), _view{bytes.data(), bytes.size()} {}
  template <class T>
    requires std::same_as<std::remove_cvref_t<T>, LiteDate>
  LiteArgument(T&& date) : _kind(Kind::Date), _date(&date) {}
  template <class T>
    requires std::same_as<std::remove_cvref_t<T>, LiteValue>
  LiteArgument(T&& value) : _kind(Kind::Value), _value(&value) {}

  Kind kind() const { return _kind; }
  // The number's one-letter type code; 0 for other kinds.
  char typeCode() const { return _code; }

  // The readers for each kind; they are meaningful for that kind only.
  long long signedValue() const { return _signed; }
  unsigned long long unsignedValue() const { return _unsigned; }
  double floatingValue() const { return _floating; }
  // Text: the bytes of the text, without a terminating NUL. Bytes: the buffer (its
  // pointer may be null when it is empty).
  const void* viewData() const { return _view.data; }
  std::size_t viewSize() const { return _view.size; }
  const LiteDate& date() const { return *_date; }
  const LiteValue& value() const { return *_value; }

  // The same argument as a LiteValue that owns a copy: what the LiteValue made from the
  // caller's object would be.
  LiteValue toValue() const;

 private:
  struct View {
    const void* data;
    std::size_t size;
  };
  LiteArgument(char code, long long value) : _kind(Kind::Signed), _code(code), _signed(value) {}
  LiteArgument(char code, unsigned long long value)
      : _kind(Kind::Unsigned), _code(code), _unsigned(value) {}

  Kind _kind;
  char _code = 0;
  union {
    long long _signed;
    unsigned long long _unsigned;
    double _floating;
    View _view;
    const LiteDate* _date;
    const LiteValue* _value = nullptr;
  };
};
