#include "processFilterModel.h"

#include "processListModel.h"

processFilterModel::processFilterModel(processListModel *source, QObject *parent)
    : QSortFilterProxyModel(parent), m_source(source)
{
    // Names never change, so a state change never shows or hides a row.
    setDynamicSortFilter(false);
    setSourceModel(source);
}

// Process names are not paths: "*" and "?" match "/" like any other character.
QRegularExpression processFilterModel::wildcardPattern(const QString &wildcard)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    return QRegularExpression(QRegularExpression::wildcardToRegularExpression(
        wildcard, QRegularExpression::UnanchoredWildcardConversion | QRegularExpression::NonPathWildcardConversion));
#else
    QString pattern = QRegularExpression::wildcardToRegularExpression(
        wildcard, QRegularExpression::UnanchoredWildcardConversion);
    pattern.replace(QStringLiteral("[^/]"), QStringLiteral("."));
    return QRegularExpression(pattern);
#endif
}

void processFilterModel::setNameFilter(const QString &wildcard)
{
    if (wildcard == m_nameFilter && m_pattern.isValid())
        return;
    m_nameFilter = wildcard;
    m_pattern = wildcardPattern(wildcard);
    m_pattern.optimize();
    if (!m_inputActive)
        invalidateFilter();
}

bool processFilterModel::nameMatches(const QString &name) const
{
    return m_nameFilter.isEmpty() || (m_pattern.isValid() && m_pattern.match(name).hasMatch());
}

void processFilterModel::setInputNames(const QSet<QString> &names)
{
    m_inputNames = names;
    m_inputActive = true;
    invalidateFilter();
}

void processFilterModel::clearInputNames()
{
    if (!m_inputActive)
        return;
    m_inputNames.clear();
    m_inputActive = false;
    invalidateFilter();
}

bool processFilterModel::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    const QString &name = m_source->at(sourceRow).name;
    return m_inputActive ? m_inputNames.contains(name) : nameMatches(name);
}
