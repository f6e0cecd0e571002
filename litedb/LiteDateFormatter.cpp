#include "litedb/LiteDateFormatter.h"

#include <unicode/locid.h>
#include <unicode/parsepos.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>

struct LiteDateFormatter::Engine {
  std::unique_ptr<icu::SimpleDateFormat> format;
};

std::shared_ptr<LiteDateFormatter> LiteDateFormatter::formatterWithPattern(
    const std::string& pattern, const std::string& timeZoneID, const std::string& localeID) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::Locale locale(localeID.c_str());
  if (locale.isBogus()) return nullptr;
  auto format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern),
                                                        locale, status);
  if (U_FAILURE(status)) return nullptr;
  std::unique_ptr<icu::TimeZone> zone(
      icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(timeZoneID)));
  // ICU answers an unknown id with the "Etc/Unknown" zone rather than failing.
  if (!zone || *zone == icu::TimeZone::getUnknown()) return nullptr;
  format->adoptTimeZone(zone.release());
  format->setLenient(false);
  auto engine = std::make_unique<Engine>();
  engine->format = std::move(format);
  return std::shared_ptr<LiteDateFormatter>(
      new LiteDateFormatter(pattern, timeZoneID, localeID, std::move(engine)));
}

LiteDateFormatter::LiteDateFormatter(std::string pattern, std::string timeZoneID,
                                     std::string localeID, std::unique_ptr<Engine> engine)
    : _dateFormat(std::move(pattern)),
      _timeZoneID(std::move(timeZoneID)),
      _localeID(std::move(localeID)),
      _engine(std::move(engine)) {}

LiteDateFormatter::~LiteDateFormatter() = default;

std::string LiteDateFormatter::stringFromDate(const LiteDate& date) const {
  const double milliseconds = liteTimeIntervalSince1970(date) * 1000.0;
  icu::UnicodeString text;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    _engine->format->format(static_cast<UDate>(milliseconds), text);
  }
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::optional<LiteDate> LiteDateFormatter::dateFromString(const std::string& text) const {
  const icu::UnicodeString unicodeText = icu::UnicodeString::fromUTF8(text);
  icu::ParsePosition position(0);
  UDate milliseconds = 0;
  {
    std::lock_guard<std::mutex> lock(_mutex);
    milliseconds = _engine->format->parse(unicodeText, position);
  }
  if (position.getErrorIndex() >= 0 || position.getIndex() != unicodeText.length()) {
    return std::nullopt;
  }
  return liteDateWithTimeIntervalSince1970(milliseconds / 1000.0);
}
