#include "ui/timedmessagebox.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QList>
#include <QPointer>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int unattendedQuestionTimeoutMs = 60000;

// The buttons the updater's boxes use, with texts of the program's own
// catalogue: Qt's catalogue is rarely installed beside the updater.
const struct
{
    QMessageBox::StandardButton button;
    const char *text;
} buttonTexts[] = {
    {QMessageBox::Ok, QT_TRANSLATE_NOOP("TimedMessageBox", "OK")},
    {QMessageBox::Yes, QT_TRANSLATE_NOOP("TimedMessageBox", "Yes")},
    {QMessageBox::No, QT_TRANSLATE_NOOP("TimedMessageBox", "No")},
    {QMessageBox::Retry, QT_TRANSLATE_NOOP("TimedMessageBox", "Retry")},
    {QMessageBox::Abort, QT_TRANSLATE_NOOP("TimedMessageBox", "Abort")},
};

void translateButtons(QMessageBox &box)
{
    for (const auto &name : buttonTexts) {
        if (QAbstractButton *button = box.button(name.button))
            button->setText(QCoreApplication::translate("TimedMessageBox", name.text));
    }
}

using Done = std::function<void(QMessageBox::StandardButton)>;

// Closes box with its default answer once nobody has answered in time.
void answerLater(QTimer &timer, QMessageBox *box, QMessageBox::StandardButton defaultAnswer)
{
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, box, [box, defaultAnswer] {
        if (QAbstractButton *button = box->button(defaultAnswer))
            button->click();
        else
            box->done(defaultAnswer);
    });
    timer.start(unattendedQuestionTimeoutMs);
}

QMessageBox::StandardButton answerOf(QMessageBox &box, bool unattended,
                                     QMessageBox::StandardButton defaultAnswer)
{
    if (QAbstractButton *clicked = box.clickedButton())
        return box.standardButton(clicked);
    return unattended ? defaultAnswer : QMessageBox::NoButton;
}

// The boxes of open() and ask(): the one shown, and those waiting for it to
// close.
struct OpenBox
{
    QPointer<QMessageBox> box;
    bool unattended = false;
    QMessageBox::StandardButton defaultAnswer = QMessageBox::NoButton;
};
QPointer<QMessageBox> shownBox;
QList<OpenBox> waitingBoxes;

void showNext()
{
    while (!shownBox && !waitingBoxes.isEmpty()) {
        const OpenBox next = waitingBoxes.takeFirst();
        // A box whose window has gone went with it.
        if (!next.box)
            continue;
        shownBox = next.box;
        // However the box ends, closed or destroyed with its window, the next
        // one follows from the event loop.
        QObject::connect(next.box, &QObject::destroyed,
                         [] { QTimer::singleShot(0, [] { showNext(); }); });
        if (next.unattended)
            answerLater(*new QTimer(next.box), next.box, next.defaultAnswer);
        next.box->open();
    }
}

void show(QMessageBox *box, bool unattended, QMessageBox::StandardButton defaultAnswer,
          const Done &done)
{
    if (unattended)
        TimedMessageBox::toStandardError(box->text());
    translateButtons(*box);
    QObject::connect(box, &QDialog::finished, box, [box, unattended, defaultAnswer, done] {
        const QMessageBox::StandardButton answer = answerOf(*box, unattended, defaultAnswer);
        box->deleteLater();
        if (done)
            done(answer);
    });
    waitingBoxes.append({box, unattended, defaultAnswer});
    showNext();
}
} // namespace

QMessageBox::StandardButton TimedMessageBox::exec(QMessageBox &box, bool unattended,
                                                  QMessageBox::StandardButton defaultAnswer)
{
    if (unattended) {
        toStandardError(box.text());
        return defaultAnswer;
    }
    translateButtons(box);
    box.exec();
    return answerOf(box, unattended, defaultAnswer);
}

void TimedMessageBox::open(QMessageBox *box, bool unattended,
                           QMessageBox::StandardButton defaultAnswer, Done done)
{
    if (!unattended) {
        show(box, unattended, defaultAnswer, done);
        return;
    }
    toStandardError(box->text());
    // Answered from the event loop, as a shown box would be: the caller may
    // still be inside what the box reports. The box goes with its window.
    QTimer::singleShot(0, box, [box, defaultAnswer, done] {
        box->deleteLater();
        if (done)
            done(defaultAnswer);
    });
}

void TimedMessageBox::ask(QMessageBox *box, bool unattended,
                          QMessageBox::StandardButton defaultAnswer, Done done)
{
    show(box, unattended, defaultAnswer, done);
}

void TimedMessageBox::toStandardError(const QString &text)
{
    const QByteArray line = text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}
