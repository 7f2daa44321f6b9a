#pragma once

#include "tasks/rollbackdata.h"

#include <QByteArray>
#include <QList>

// The rollback journal: undo records in the order the changes were made,
// undone last first. Owned by the replacement task that creates it; the file
// operations that record into it only hold a pointer.
//
// A step may journal a change for each of 100,000 files: the records are kept
// as encoded bytes, one after another in a single buffer, and a rename's
// second name keeps only what follows the part it shares with the first.
class RollbackDataList
{
public:
    RollbackDataList();

    void add(const RollbackData &data);
    // Empties the journal without undoing anything.
    void clear();
    // Appends all of other's records, in their order; other is unchanged.
    void appendList(const RollbackDataList &other);
    // Undoes every record, last first, going on past failures. False if any
    // undo failed. The journal is empty afterwards in every case.
    bool rollback(QObject *messageTarget);

    bool isEmpty() const { return m_starts.isEmpty(); }
    int size() const { return int(m_starts.size()); }
    // The records, in order.
    QList<RollbackData> entries() const;

private:
    RollbackData entryAt(qsizetype index) const;

    // Per record: the operation (one byte), how many leading bytes the old
    // path shares with the path (four bytes), the encoded path and a NUL, the
    // rest of the encoded old path and a NUL.
    QByteArray m_records;
    // Where each record starts in m_records.
    QList<qsizetype> m_starts;
};
