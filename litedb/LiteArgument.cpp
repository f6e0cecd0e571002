#include "litedb/LiteArgument.h"

LiteValue LiteArgument::toValue() const {
  switch (_kind) {
    case Kind::Absent:
      return LiteValue();
    case Kind::Signed:
      switch (_code) {
        case 'c':
          return LiteValue(static_cast<signed char>(_signed));
        case 's':
          return LiteValue(static_cast<short>(_signed));
        case 'i':
          return LiteValue(static_cast<int>(_signed));
        default:
          return LiteValue(_signed);
      }
    case Kind::Unsigned:
      switch (_code) {
        case 'C':
          return LiteValue(static_cast<unsigned char>(_unsigned));
        case 'S':
          return LiteValue(static_cast<unsigned short>(_unsigned));
        case 'I':
          return LiteValue(static_cast<unsigned int>(_unsigned));
        default:
          return LiteValue(_unsigned);
      }
    case Kind::Floating:
      return _code == 'f' ? LiteValue(static_cast<float>(_floating)) : LiteValue(_floating);
    case Kind::Text:
      return LiteValue(std::string(static_cast<const char*>(_view.data), _view.size));
    case Kind::Bytes: {
      const auto* bytes = static_cast<const std::uint8_t*>(_view.data);
      return LiteValue(LiteData(bytes, bytes + _view.size));
    }
    case Kind::Date:
      return LiteValue(*_date);
    case Kind::Value:
      return *_value;
  }
  return LiteValue();
}
