#include "processTableModel.h"

#include <QBrush>
#include <QColor>

processTableModel::processTableModel(QObject *parent)
    : QAbstractTableModel(parent)
{
}

bool processTableModel::load(QByteArrayView content, QString *error)
{
    beginResetModel();
    m_problems.clear();
    const bool ok = m_document.load(content, error);
    endResetModel();
    return ok;
}

void processTableModel::clear()
{
    load(QByteArrayView());
}

bool processTableModel::setValues(int row, const QList<procDefDocument::keyValue> &values, QString *error)
{
    bool ok = true;
    for (const procDefDocument::keyValue &kv : values)
        ok = m_document.setValue(row, kv.key, kv.value, error) && ok;
    emit dataChanged(index(row, 0), index(row, columnCount_ - 1));
    return ok;
}

int processTableModel::add(const QString &name, const QList<procDefDocument::keyValue> &keys, QString *error)
{
    if (!m_document.refusal(name).isEmpty())
        return m_document.add(name, keys, error);
    beginInsertRows({}, rowCount(), rowCount());
    const int row = m_document.add(name, keys, error);
    endInsertRows();
    return row;
}

void processTableModel::remove(int row)
{
    beginRemoveRows({}, row, row);
    m_document.remove(row);
    // Rows below moved up; the next check marks them again.
    m_problems.clear();
    endRemoveRows();
    allChanged();
}

bool processTableModel::rename(int row, const QString &name, QString *error)
{
    if (!m_document.rename(row, name, error))
        return false;
    // Other rows' inputs and masks may name it.
    allChanged();
    return true;
}

void processTableModel::setProblems(const QList<procDefCheck::problem> &problems)
{
    m_problems.clear();
    for (const procDefCheck::problem &p : problems) {
        const int row = m_document.indexAtLine(p.line);
        if (row < 0)
            continue;
        QString &text = m_problems[row];
        if (!text.isEmpty())
            text += QLatin1Char('\n');
        text += p.text;
    }
    allChanged();
}

void processTableModel::allChanged()
{
    if (rowCount() > 0)
        emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount_ - 1));
}

int processTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_document.count();
}

int processTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : columnCount_;
}

QVariant processTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_document.count())
        return {};
    const int row = index.row();
    if (role == Qt::DisplayRole) {
        switch (index.column()) {
        case nameColumn:
            return m_document.name(row);
        case typeColumn:
            return m_document.value(row, u"Type");
        case inputsColumn:
            return m_document.hasKey(row, u"Inputs") ? m_document.value(row, u"Inputs") : m_document.value(row, u"Input");
        case maskColumn:
            return m_document.value(row, u"Mask");
        case latchingColumn:
            return m_document.value(row, u"Latching");
        case forceTimeoutColumn:
            return m_document.value(row, u"ForceTimeout");
        default:
            return {};
        }
    }
    if (role == Qt::ToolTipRole && m_problems.contains(row))
        return m_problems.value(row);
    if (role == Qt::BackgroundRole && m_problems.contains(row))
        return QBrush(QColor(0xf6, 0xd3, 0xd0));
    return {};
}

QVariant processTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return {};
    if (orientation == Qt::Vertical)
        return section < m_document.count() ? QVariant(m_document.line(section)) : QVariant();
    static const char *const titles[] = {"Name", "Type", "Inputs", "Mask", "Latching", "Force timeout"};
    return section >= 0 && section < columnCount_ ? QString::fromLatin1(titles[section]) : QVariant();
}
