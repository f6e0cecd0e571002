// Qt's own texts (the file dialog, message boxes, the text fields' context menus) in
// the language of the desktop, from the translations Qt ships (Debian's
// qt6-translations-l10n), found where this Qt keeps them. The board's own texts are
// not translated.
//
// Thread-safety: main thread only, after the application object exists.
#pragma once

#include <QLocale>
#include <QString>

class QCoreApplication;

// Installs the "qtbase" translation for `locale` on the application; false (nothing
// installed) when there is none for it, as for English.
bool installQtTranslations(QCoreApplication& app, const QLocale& locale = QLocale::system());
// Where the translations were looked for.
QString qtTranslationsPath();
