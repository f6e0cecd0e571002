#include "litedb/LiteFormatArgument.h"

const char* LiteFormatArgument::kindName(Kind kind) {
  switch (kind) {
    case Kind::Object:
      return "an object";
    case Kind::Int:
      return "an int";
    case Kind::UnsignedInt:
      return "an unsigned int";
    case Kind::Long:
      return "a 64-bit integer";
    case Kind::UnsignedLong:
      return "an unsigned 64-bit integer";
    case Kind::Double:
      return "a double";
    case Kind::CString:
      return "a C string";
  }
  return "a value";
}
