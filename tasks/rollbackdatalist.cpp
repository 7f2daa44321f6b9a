#include "tasks/rollbackdatalist.h"

RollbackDataList::RollbackDataList() = default;

void RollbackDataList::add(const RollbackData &data)
{
    entries.append(data);
}

void RollbackDataList::clear()
{
    entries.clear();
}

void RollbackDataList::appendList(const RollbackDataList &other)
{
    entries.append(other.entries);
}

bool RollbackDataList::rollback(QObject *messageTarget)
{
    bool result = true;
    while (!entries.isEmpty()) {
        const RollbackData data = entries.takeLast();
        if (!data.rollback(messageTarget))
            result = false;
    }
    return result;
}
