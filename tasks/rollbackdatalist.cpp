#include "tasks/rollbackdatalist.h"

#include <QFile>

#include <cstring>

namespace {
constexpr qsizetype sharedFieldSize = 4;
} // namespace

RollbackDataList::RollbackDataList() = default;

void RollbackDataList::add(const RollbackData &data)
{
    const QByteArray path = QFile::encodeName(data.path);
    const QByteArray oldPath = QFile::encodeName(data.oldPath);
    // The two names of a rename mostly lie in one folder.
    quint32 shared = 0;
    const qsizetype most = qMin(path.size(), oldPath.size());
    while (qsizetype(shared) < most && path.at(shared) == oldPath.at(shared))
        ++shared;
    char field[sharedFieldSize];
    std::memcpy(field, &shared, sizeof field);
    m_starts.append(m_records.size());
    m_records.append(char(data.operation));
    m_records.append(field, sizeof field);
    m_records.append(path);
    m_records.append('\0');
    m_records.append(oldPath.constData() + shared, oldPath.size() - qsizetype(shared));
    m_records.append('\0');
}

RollbackData RollbackDataList::entryAt(qsizetype index) const
{
    const char *record = m_records.constData() + m_starts.at(index);
    const auto operation = RollbackData::Operation(record[0]);
    quint32 shared = 0;
    std::memcpy(&shared, record + 1, sizeof shared);
    const char *path = record + 1 + sharedFieldSize;
    const qsizetype pathSize = qsizetype(std::strlen(path));
    const char *rest = path + pathSize + 1;
    const QString name = QFile::decodeName(QByteArray(path, pathSize));
    if (shared == 0 && *rest == '\0')
        return RollbackData(operation, name);
    const QByteArray oldPath = QByteArray(path, qsizetype(shared)) + QByteArray(rest);
    return RollbackData(operation, QFile::decodeName(oldPath), name);
}

QList<RollbackData> RollbackDataList::entries() const
{
    QList<RollbackData> list;
    list.reserve(m_starts.size());
    for (qsizetype i = 0; i < m_starts.size(); ++i)
        list.append(entryAt(i));
    return list;
}

void RollbackDataList::clear()
{
    m_records.clear();
    m_starts.clear();
}

void RollbackDataList::appendList(const RollbackDataList &other)
{
    const qsizetype offset = m_records.size();
    m_records.append(other.m_records);
    m_starts.reserve(m_starts.size() + other.m_starts.size());
    for (const qsizetype start : other.m_starts)
        m_starts.append(offset + start);
}

bool RollbackDataList::rollback(QObject *messageTarget)
{
    bool result = true;
    while (!m_starts.isEmpty()) {
        const RollbackData data = entryAt(m_starts.size() - 1);
        m_records.truncate(m_starts.takeLast());
        if (!data.rollback(messageTarget))
            result = false;
    }
    clear();
    return result;
}
