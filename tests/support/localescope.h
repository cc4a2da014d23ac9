#pragma once
// Sets the default locale for one scope, and puts the previous one back at its end.

#include <QLocale>

namespace zrvtest {

class LocaleScope {
 public:
  explicit LocaleScope(const QLocale& locale) : m_saved(QLocale()) { QLocale::setDefault(locale); }
  ~LocaleScope() { QLocale::setDefault(m_saved); }
  LocaleScope(const LocaleScope&) = delete;
  LocaleScope& operator=(const LocaleScope&) = delete;

 private:
  QLocale m_saved;
};

}  // namespace zrvtest
