#pragma once

#include "tasks/taskspecification.h"

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTest>

// Runs the event loop until the task has left Running, for timeoutMs at the
// most; true if it has.
inline bool waitForEnd(TaskSpecification *task, int timeoutMs = 60000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (task->state == Running && !deadline.hasExpired())
        QTest::qWait(2);
    return task->state != Running;
}

// An event log of task signals: every watched task's signals become lines
// ("copy progress 0.25 [Finished]", "copy finished [Finished]"), so that a
// test compares the whole order of events at once. The state in brackets is
// the task's state at the moment of the emission.
class TaskLog : public QObject
{
public:
    static QString stateName(int state)
    {
        switch (state) {
        case Idle:
            return QStringLiteral("Idle");
        case Running:
            return QStringLiteral("Running");
        case Finished:
            return QStringLiteral("Finished");
        case ErrorCanceled:
            return QStringLiteral("ErrorCanceled");
        case UserCanceled:
            return QStringLiteral("UserCanceled");
        }
        return QString::number(state);
    }

    // Logs finished, canceled, error, message and otherTaskCancelled, and
    // updateProgress too if withProgress is set.
    void watch(TaskSpecification *task, const QString &name, bool withProgress = true)
    {
        connect(task, &TaskSpecification::finished, this, [this, task, name](TaskSpecification *t) {
            add(name + (t == task ? QString() : QStringLiteral(" (other)")) + " finished ["
                + stateName(task->state) + "]");
        });
        connect(task, &TaskSpecification::canceled, this, [this, task, name](TaskSpecification *t) {
            add(name + (t == task ? QString() : QStringLiteral(" (other)")) + " canceled ["
                + stateName(task->state) + "]");
        });
        connect(task, &TaskSpecification::error, this,
                [this, name](const QString &text) { add(name + " error: " + text); });
        connect(task, &TaskSpecification::message, this,
                [this, name](const QString &text) { add(name + " message: " + text); });
        connect(task, &TaskSpecification::otherTaskCancelled, this,
                [this, name](TaskSpecification *t) {
                    add(name + " announces " + (t ? t->objectName() : QStringLiteral("null")));
                });
        if (withProgress) {
            connect(task, &TaskSpecification::updateProgress, this,
                    [this, task, name](qreal value) {
                        add(name + " progress " + QString::number(value, 'g', 6) + " ["
                            + stateName(task->state) + "]");
                    });
        }
    }

    void add(const QString &line) { lines.append(line); }

    // The lines so far; the log starts empty again.
    QStringList take()
    {
        QStringList result = lines;
        lines.clear();
        return result;
    }

    QStringList lines;
};
