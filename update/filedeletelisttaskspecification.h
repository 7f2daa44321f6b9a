#pragma once

#include "tasks/composedtaskspecification.h"
#include "update/runsettings.h"

#include <QBitArray>
#include <QList>
#include <QString>

#include <functional>

// The last step of an update run: deletes the obsolete files and the
// moved-aside old copies named in the delete list or among the more names
// (relative to the application root), several at a time. The files in the application root
// that the updater needs (InstallationNames::protectedFileNames()) are never
// deleted, and a file that cannot be deleted stays; each is logged, and only
// a user cancel keeps the step from finishing. The list is lent and read
// when the step starts.
class FileDeleteListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    // Only the application root of the settings is kept.
    FileDeleteListTaskSpecification(QList<QString> *fileList, const RunSettings &settings,
                                    QObject *parent, double parentProgressRange);

    // Names deleted after those of the list, as if they ended it: count() of
    // them, asked for as the step starts, and name(i) for each. The old copies
    // that the replacement step set aside come this way, so that 100,000 of
    // them are not made into a list of names.
    struct MoreNames
    {
        std::function<int()> count;
        std::function<QString(int)> name;
    };
    void setMoreNames(MoreNames more) { m_more = std::move(more); }

    void makeSubtasksAndStart();
    // How many of the first count entries of the list this run deleted
    // (not those that were not there, stayed or were kept).
    int deletedAmong(int count) const;

    QList<QString> *fileList;

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

private:
    // The entry at index of the list followed by the more names.
    QString nameAt(int index) const;

    const QString m_appRoot;
    MoreNames m_more;
    // Positions in the list of the entries to delete, in list order.
    QList<int> m_toDelete;
    // Per entry of the list: deleted by this run.
    QBitArray m_deleted;
};
