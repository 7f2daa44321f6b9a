#pragma once

#include <QMessageBox>
#include <QString>

class QWidget;

// Modal message boxes that cannot hold up an unattended run: unattended, the
// text goes to standard error as the box appears, and a box that nobody
// answers closes itself after 60 seconds with its default answer.
// Interactive, they are plain modal boxes.
class TimedMessageBox
{
public:
    TimedMessageBox() = delete;

    // Shows box modally; returns the button that closed it.
    static QMessageBox::StandardButton exec(QMessageBox &box, bool unattended,
                                            QMessageBox::StandardButton defaultAnswer);
    // A critical box with an OK button.
    static void critical(QWidget *parent, const QString &title, const QString &text,
                         bool unattended);
    // Writes text and a line break to standard error at once.
    static void toStandardError(const QString &text);

    // Tests only: how long an unattended box waits, in milliseconds; 0
    // restores the 60 seconds.
    static void setTimeoutForTests(int milliseconds);
};
