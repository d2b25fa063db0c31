#include "app/shell/Translator.h"

#include "core/MoCatalog.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QTabWidget>
#include <QTreeWidget>
#include <QWidget>
#include <functional>

namespace norvale {

namespace {
std::shared_ptr<const MoCatalog>& activeCatalog() {
    static std::shared_ptr<const MoCatalog> catalog;
    return catalog;
}

// List contents keep their texts: the camera list's fixed items and the scanner's results.
bool isList(const QObject* o) {
    return qobject_cast<const QListView*>(o) != nullptr;
}

using TextMap = std::function<QString(const QString&)>;

// Without a tool tip of its own an action shows its text without mnemonics and trailing dots;
// that follows the translated text and is no text to look up.
bool hasOwnToolTip(const QAction& a) {
    QString derived = a.text();
    derived.remove(QLatin1Char('&'));
    if (derived.endsWith(QLatin1String("...")))
        derived.chop(3);
    return !a.toolTip().isEmpty() && a.toolTip() != a.text() && a.toolTip() != derived.trimmed();
}

// Passes every user-visible text of one object through `map` and stores the result.
void mapOne(QObject* o, const TextMap& map) {
    if (auto* w = qobject_cast<QWidget*>(o)) {
        if (!w->windowTitle().isEmpty())
            w->setWindowTitle(map(w->windowTitle()));
        if (!w->toolTip().isEmpty())
            w->setToolTip(map(w->toolTip()));
    }
    if (auto* b = qobject_cast<QAbstractButton*>(o)) {
        if (!b->text().isEmpty())
            b->setText(map(b->text()));
    } else if (auto* l = qobject_cast<QLabel*>(o)) {
        if (!l->text().isEmpty())
            l->setText(map(l->text()));
    } else if (auto* g = qobject_cast<QGroupBox*>(o)) {
        if (!g->title().isEmpty())
            g->setTitle(map(g->title()));
    } else if (auto* t = qobject_cast<QTabWidget*>(o)) {
        for (int i = 0; i < t->count(); ++i)
            t->setTabText(i, map(t->tabText(i)));
    } else if (auto* m = qobject_cast<QMenu*>(o)) {
        if (!m->title().isEmpty())
            m->setTitle(map(m->title()));
    } else if (auto* a = qobject_cast<QAction*>(o)) {
        if (!a->text().isEmpty())
            a->setText(map(a->text()));
        if (hasOwnToolTip(*a))
            a->setToolTip(map(a->toolTip()));
    } else if (auto* tree = qobject_cast<QTreeWidget*>(o)) {
        // Column captions are part of the window; the rows are data.
        if (QTreeWidgetItem* header = tree->headerItem()) {
            for (int c = 0; c < header->columnCount(); ++c)
                header->setText(c, map(header->text(c)));
        }
    }
}

void mapTree(QObject* o, const TextMap& map) {
    mapOne(o, map);
    if (isList(o) && !qobject_cast<QTreeWidget*>(o))
        return;
    for (QObject* child : o->children()) {
        if (qobject_cast<QHeaderView*>(child))
            continue;
        mapTree(child, map);
    }
}
} // namespace

void Translator::install(const QString& exeDir, const QString& language) {
    QString dir = exeDir;
    if (!dir.isEmpty() && !dir.endsWith(QLatin1Char('/')))
        dir += QLatin1Char('/');
    const QString path =
        dir + QStringLiteral("locale/") + language + QStringLiteral("/LC_MESSAGES/default.mo");
    setCatalog(std::make_shared<const MoCatalog>(MoCatalog::load(path.toStdString())));
}

void Translator::setCatalog(std::shared_ptr<const MoCatalog> catalog) {
    activeCatalog() = std::move(catalog);
}

QString Translator::tr(const QString& text) {
    const auto& catalog = activeCatalog();
    if (!catalog || text.isEmpty())
        return text;
    const QByteArray key = text.toUtf8();
    if (auto found =
            catalog->lookup(std::string_view(key.constData(), static_cast<size_t>(key.size()))))
        return QString::fromUtf8(found->data(), static_cast<qsizetype>(found->size()));
    return text;
}

void Translator::translateComponent(QObject* root) {
    if (root)
        mapTree(root, [](const QString& text) { return Translator::tr(text); });
}

void Translator::forEachText(QObject* root, const std::function<void(const QString&)>& visit) {
    if (root)
        mapTree(root, [&visit](const QString& text) {
            visit(text);
            return text;
        });
}

} // namespace norvale
