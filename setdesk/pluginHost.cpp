#include "pluginHost.h"

#include "setdesk_log.h"

#include <QDir>
#include <QFileInfo>
#include <QTreeWidget>

namespace {

// Marks the items that end a key with their key.
constexpr int keyRole = Qt::UserRole + 1;

} // namespace

const QString pluginHost::reservedCharacters = QStringLiteral(":,=&<>\"'");

pluginHost::pluginHost(QTreeWidget *tree, QObject *parent)
    : QObject(parent), m_tree(tree)
{
}

pluginHost::~pluginHost()
{
    // Editors are gone by now (the window deletes them first); the libraries
    // follow in reverse load order.
    while (!m_libraries.empty())
        m_libraries.pop_back();
}

void pluginHost::setSession(const QString &clientDir, const QString &system, const QString &userLevel)
{
    m_clientDir = clientDir;
    m_system = system;
    m_userLevel = userLevel;
}

QString pluginHost::systemRoot() const
{
    if (m_local)
        return qEnvironmentVariable("QX_ROOT") + QLatin1Char('/') + qEnvironmentVariable("QX_SYSTEM");
    return workingFolder();
}

QString pluginHost::workingFolder() const
{
    return m_clientDir + QLatin1Char('/') + m_system;
}

QString pluginHost::keyOf(const QTreeWidgetItem *item)
{
    return item ? item->data(0, keyRole).toString() : QString();
}

void pluginHost::loadPlugins()
{
    const QString folder = pluginFolder();
    qCInfo(lcSetdesk).noquote() << QStringLiteral("ConfigClient: loading plugins: ") + folder;
    m_keys.clear();
    m_libraryByKey.clear();
    m_itemByKey.clear();
    if (m_tree)
        m_tree->clear();

    const QStringList names = QDir(folder).entryList({QStringLiteral("*.so")}, QDir::AllEntries | QDir::NoDotAndDotDot,
                                                     QDir::Name | QDir::IgnoreCase);
    for (const QString &name : names) {
        const QString path = QFileInfo(folder + QLatin1Char('/') + name).absoluteFilePath().replace(QLatin1Char('\\'), QLatin1Char('/'));
        auto library = std::make_unique<pluginLibrary>(path);
        if (!library->load(m_filter))
            continue;
        if (std::unique_ptr<config_plugin_desc> desc = library->description()) {
            QStringList keys;
            library->guarded("keys", [&] { keys = desc->keys(systemRoot(), m_userLevel); });
            for (const QString &key : std::as_const(keys)) {
                QPixmap icon;
                library->guarded("icon", [&] { icon = desc->icon(key); });
                addKey(key, *library, icon);
            }
            library->guarded("description destructor", [&] { desc.reset(); });
        }
        m_libraries.push_back(std::move(library));
    }
}

void pluginHost::addKey(const QString &key, pluginLibrary &library, const QPixmap &icon)
{
    if (key.isEmpty() || std::any_of(key.cbegin(), key.cend(), [](QChar c) { return reservedCharacters.contains(c); })) {
        emit keyRefused(library.fileName(), key);
        return;
    }
    if (m_libraryByKey.contains(key))
        qCDebug(lcSetdesk).noquote() << QStringLiteral("key %1 offered again by %2").arg(key, library.fileName());
    else
        m_keys << key;
    m_libraryByKey.insert(key, &library);
    if (!m_tree)
        return;
    QTreeWidgetItem *item = nullptr;
    for (const QString &part : key.split(QLatin1Char('/')))
        item = child(item, part);
    item->setIcon(0, icon);
    item->setFlags(item->flags() | Qt::ItemIsSelectable);
    item->setData(0, keyRole, key);
    m_itemByKey.insert(key, item);
}

QTreeWidgetItem *pluginHost::child(QTreeWidgetItem *parent, const QString &text)
{
    const int count = parent ? parent->childCount() : m_tree->topLevelItemCount();
    for (int i = 0; i < count; ++i) {
        QTreeWidgetItem *candidate = parent ? parent->child(i) : m_tree->topLevelItem(i);
        if (candidate->text(0) == text)
            return candidate;
    }
    auto *item = parent ? new QTreeWidgetItem(parent, {text}) : new QTreeWidgetItem(m_tree, {text});
    // Only the items that end a key can be chosen.
    item->setFlags(item->flags() & ~Qt::ItemIsSelectable);
    item->setExpanded(true);
    return item;
}

config_plugin_base *pluginHost::createEditor(const QString &key)
{
    pluginLibrary *library = m_libraryByKey.value(key);
    if (!library)
        return nullptr;
    std::unique_ptr<config_plugin_desc> desc = library->description();
    config_plugin_base *editor = nullptr;
    if (desc)
        library->guarded("create", [&] { editor = desc->create(workingFolder(), key, m_userLevel); });
    library->guarded("description destructor", [&] { desc.reset(); });
    if (!editor)
        return nullptr;
    editor->uid = key;
    m_editorByKey.insert(key, editor);
    return editor;
}

void pluginHost::forget(QObject *editor)
{
    for (auto it = m_editorByKey.begin(); it != m_editorByKey.end(); ++it) {
        if (it.value() == editor) {
            m_editorByKey.erase(it);
            return;
        }
    }
}

bool pluginHost::guarded(const config_plugin_base *editor, const char *what, const std::function<void()> &call) const
{
    const pluginLibrary *library = editor ? m_libraryByKey.value(editor->uid) : nullptr;
    return pluginLibrary::guard(library ? library->fileName() : editor ? editor->uid : QString(), what, call);
}
