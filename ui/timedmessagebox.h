#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Modal message boxes that cannot hold up an unattended run: unattended, the
// text goes to standard error as the box appears, and a box that nobody
// answers closes itself after 60 seconds with its default answer.
// Interactive, they are plain modal boxes.
class TimedMessageBox
{
public:
    TimedMessageBox() = delete;

    // Shows box modally; returns the button that closed it. Its event loop
    // runs whatever else is due: only for start-up, before anything is under
    // way, and for a box after which the program ends.
    static QMessageBox::StandardButton exec(QMessageBox &box, bool unattended,
                                            QMessageBox::StandardButton defaultAnswer);
    // Shows box, which it takes over, modal to its window and without an
    // event loop of its own, so that nothing of an update runs inside one;
    // returns at once. Boxes opened so come one at a time, each once the one
    // before has closed; done, if given, then receives the button that
    // closed it. Unattended, the text goes to standard error at once.
    static void open(QMessageBox *box, bool unattended, QMessageBox::StandardButton defaultAnswer,
                     std::function<void(QMessageBox::StandardButton)> done = {});
    // Writes text and a line break to standard error at once.
    static void toStandardError(const QString &text);

    // Tests only: how long an unattended box waits, in milliseconds; 0
    // restores the 60 seconds.
    static void setTimeoutForTests(int milliseconds);
};
