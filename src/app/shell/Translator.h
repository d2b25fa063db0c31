#pragma once
// Translation of the user interface from the GNU gettext catalogue of the text domain "default".
// Each window calls translateComponent() once in its constructor, after it has built its children.
#include <QString>
#include <functional>
#include <memory>

class QObject;

// Marks a designed text in a plain string table so the build's text extraction finds it; the
// text is translated where it is shown.
#define N_(text) text

namespace norvale {
class MoCatalog;

class Translator {
public:
    // Loads <exeDir>/locale/<language>/LC_MESSAGES/default.mo; a missing or corrupt catalogue
    // leaves every text as designed.
    static void install(const QString& exeDir, const QString& language = QStringLiteral("en"));
    // Replaces the active catalogue (tests); nullptr removes it.
    static void setCatalog(std::shared_ptr<const MoCatalog> catalog);

    // The translation of one text, or the text itself.
    static QString tr(const QString& text);

    // Translates captions, texts, titles, tool tips and menu texts of the object and every
    // object it owns. Never touched: list contents, images and image lists, and properties named
    // "ClassName".
    static void translateComponent(QObject* root);
    // Every text translateComponent() would look up, in the same order (catalogue checks).
    static void forEachText(QObject* root, const std::function<void(const QString&)>& visit);
};

} // namespace norvale
