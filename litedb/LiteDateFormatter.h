// LiteDateFormatter: turns points in time into text and back with a Unicode date
// pattern ("yyyy-MM-dd HH:mm:ss"), in a fixed time zone and locale.
//
// A connection given a formatter (LiteDatabase::setDateFormat) binds dates as its text
// and reads date columns by parsing it; LiteDatabase::storeableDateFormat makes one in
// GMT and "en_US", so what is stored does not depend on the machine it was written on.
// Parsing is strict: the whole text must match the pattern.
//
// Ownership: shared (std::shared_ptr) between the code that made it and the
// connections that use it; it owns its ICU formatter.
//
// Thread-safety: every operation may be called from any thread; the formatter is used
// under its own lock, since ICU's formatters change state while they work.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "litedb/LiteValue.h"

class LiteDateFormatter {
 public:
  // None when ICU rejects the pattern or the locale, or does not know the time zone.
  static std::shared_ptr<LiteDateFormatter> formatterWithPattern(const std::string& pattern,
                                                                 const std::string& timeZoneID,
                                                                 const std::string& localeID);
  ~LiteDateFormatter();
  LiteDateFormatter(const LiteDateFormatter&) = delete;
  LiteDateFormatter& operator=(const LiteDateFormatter&) = delete;

  const std::string& dateFormat() const { return _dateFormat; }
  const std::string& timeZoneID() const { return _timeZoneID; }
  const std::string& localeID() const { return _localeID; }

  std::string stringFromDate(const LiteDate& date) const;
  // None when the text does not match the pattern from its first to its last character.
  std::optional<LiteDate> dateFromString(const std::string& text) const;

 private:
  struct Engine;
  LiteDateFormatter(std::string pattern, std::string timeZoneID, std::string localeID,
                    std::unique_ptr<Engine> engine);

  std::string _dateFormat;
  std::string _timeZoneID;
  std::string _localeID;
  mutable std::mutex _mutex;
  std::unique_ptr<Engine> _engine;
};
