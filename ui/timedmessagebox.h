#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

class QWidget;

// Modal message boxes that cannot hold up an unattended run. Unattended, a
// box that the run brings up (an error, a failure, the update server's
// Retry/Abort) is not shown: its text goes to standard error and its default
// answer is taken at once, so that the run ends with its exit code without
// waiting for anybody. A question to someone who acted on the window (closing
// it) is shown, and closes itself with its default answer after 60 seconds.
// Interactive, all of them are plain modal boxes. Their standard buttons
// take their texts from the program's catalogue (context "TimedMessageBox").
class TimedMessageBox
{
public:
    TimedMessageBox() = delete;

    // Shows box modally, or unattended only reports it; returns the button
    // that closed it, or defaultAnswer. Its event loop runs whatever else is
    // due: only for start-up, before anything is under way, and for a box
    // after which the program ends.
    static QMessageBox::StandardButton exec(QMessageBox &box, bool unattended,
                                            QMessageBox::StandardButton defaultAnswer);
    // Shows box, which it takes over, modal to its window and without an
    // event loop of its own, so that nothing of an update runs inside one;
    // returns at once. Boxes opened so come one at a time, each once the one
    // before has closed; done, if given, then receives the button that
    // closed it. Unattended, the box is not shown: its text goes to standard
    // error at once, and done receives defaultAnswer from the event loop.
    static void open(QMessageBox *box, bool unattended, QMessageBox::StandardButton defaultAnswer,
                     std::function<void(QMessageBox::StandardButton)> done = {});
    // The same for a question to the person who just acted on the window:
    // unattended, the box is shown too, with its text on standard error, and
    // closes itself with defaultAnswer after 60 seconds.
    static void ask(QMessageBox *box, bool unattended, QMessageBox::StandardButton defaultAnswer,
                    std::function<void(QMessageBox::StandardButton)> done = {});
    // Writes text and a line break to standard error at once.
    static void toStandardError(const QString &text);
};
