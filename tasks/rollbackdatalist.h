#pragma once

#include "tasks/rollbackdata.h"

#include <QList>

// The rollback journal: undo records in the order the changes were made,
// undone last first. Owned by the replacement task that creates it; the file
// operations that record into it only hold a pointer.
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

    QList<RollbackData> entries;
};
