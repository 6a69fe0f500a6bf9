#include "processListModel.h"

#include <algorithm>

void processListModel::setProcesses(QList<process> processes)
{
    beginResetModel();
    m_rows.clear();
    m_rows.reserve(size_t(processes.size()));
    m_byName.clear();
    m_byName.reserve(processes.size());
    for (process &p : processes) {
        if (!m_byName.contains(p.name))
            m_byName.insert(p.name, int(m_rows.size()));
        m_rows.push_back({std::move(p), false});
    }
    m_changed.clear();
    endResetModel();
}

QString processListModel::stateNameAt(int row) const
{
    const struct row &r = m_rows[size_t(row)];
    return stateName(r.p.state, r.rewritten);
}

void processListModel::setState(int row, int state)
{
    if (row < 0 || size_t(row) >= m_rows.size())
        return;
    struct row &r = m_rows[size_t(row)];
    // A rewrite turns "OFF" into "Off" even when the state stays 0.
    const bool textChanges = !r.rewritten && r.p.state == 0 && state == 0;
    if (r.p.state != state || textChanges)
        m_changed.push_back(row);
    r.p.state = state;
    r.rewritten = true;
}

// Contiguous changed rows are announced together, whole rows since the
// colours change with the state.
void processListModel::endRefresh()
{
    if (m_changed.empty())
        return;
    std::sort(m_changed.begin(), m_changed.end());
    m_changed.erase(std::unique(m_changed.begin(), m_changed.end()), m_changed.end());
    const QList<int> roles{Qt::DisplayRole, Qt::BackgroundRole, Qt::ForegroundRole, SelectionBackgroundRole,
                           SelectedTextRole};
    size_t first = 0;
    for (size_t i = 1; i <= m_changed.size(); ++i) {
        if (i == m_changed.size() || m_changed[i] != m_changed[i - 1] + 1) {
            emit dataChanged(index(m_changed[first], 0), index(m_changed[i - 1], ColumnCount - 1), roles);
            first = i;
        }
    }
    m_changed.clear();
}

QString processListModel::ruleText(int type)
{
    switch (type) {
    case 1: return QStringLiteral("Input");
    case 2: return QStringLiteral("AND");
    case 3: return QStringLiteral("OR");
    case 4: return QStringLiteral("NOT");
    case 5: return QStringLiteral("TRUTH");
    case 6: return QStringLiteral("Time");
    case 7: return QStringLiteral("HOLDOFF");
    case -1: return QStringLiteral("INVALID");
    default: return QStringLiteral("???");
    }
}

QString processListModel::stateName(int state, bool rewritten)
{
    switch (state) {
    case 0: return rewritten ? QStringLiteral("Off") : QStringLiteral("OFF");
    case 1: return QStringLiteral("ON");
    case 2: return QStringLiteral("Force OFF");
    case 3: return QStringLiteral("Force ON");
    case 4: return QStringLiteral("ACK");
    case 5: return QStringLiteral("Ignore");
    case 6: return QStringLiteral("Latched");
    default: return QStringLiteral("Unknown");
    }
}

processListModel::colours processListModel::stateColours(int state)
{
    switch (state) {
    case 1: return {QColor(162, 0, 0), QColor(255, 255, 255), QColor(162, 128, 128), QColor(255, 128, 128)};
    case 2: return {QColor(191, 164, 57), QColor(0, 71, 0), QColor(191, 128, 128), QColor(0, 128, 128)};
    case 3: return {QColor(191, 164, 57), QColor(162, 0, 0), QColor(191, 128, 128), QColor(162, 128, 128)};
    case 4: return {QColor(240, 80, 0), QColor(51, 35, 53), QColor(240, 128, 128), QColor(51, 128, 128)};
    case 5: return {QColor(160, 160, 160), QColor(), QColor(160, 128, 128), QColor()};
    case 6: return {QColor(128, 128, 0), QColor(255, 255, 255), QColor(128, 128, 128), QColor(255, 128, 128)};
    default: return {};
    }
}

int processListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int processListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant processListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || size_t(index.row()) >= m_rows.size())
        return QVariant();
    const row &r = m_rows[size_t(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case Number: return QString::number(r.p.position);
        case Name: return r.p.name;
        case Rule: return ruleText(r.p.type);
        case State: return QString::number(r.p.state);
        case StateName: return stateName(r.p.state, r.rewritten);
        case Mask: return r.p.mask;
        default: return QVariant();
        }
    case Qt::BackgroundRole:
    case Qt::ForegroundRole:
    case SelectionBackgroundRole:
    case SelectedTextRole: {
        const colours c = stateColours(r.p.state);
        const QColor colour = role == Qt::BackgroundRole   ? c.background
                              : role == Qt::ForegroundRole ? c.text
                              : role == SelectionBackgroundRole ? c.selection
                                                                : c.selectedText;
        return colour.isValid() ? QVariant(colour) : QVariant();
    }
    default:
        return QVariant();
    }
}

QVariant processListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    switch (section) {
    case Number: return QStringLiteral("Process Number");
    case Name: return QStringLiteral("Process Name");
    case Rule: return QStringLiteral("Rule");
    case State: return QStringLiteral("State");
    case StateName: return QStringLiteral("State Name");
    case Mask: return QStringLiteral("Mask");
    default: return QVariant();
    }
}
