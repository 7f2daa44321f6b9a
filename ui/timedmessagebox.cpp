#include "ui/timedmessagebox.h"

#include <QAbstractButton>
#include <QTimer>

#include <cstdio>

namespace {
constexpr int unattendedTimeoutMs = 60000;
int testTimeoutMs = 0;
} // namespace

QMessageBox::StandardButton TimedMessageBox::exec(QMessageBox &box, bool unattended,
                                                  QMessageBox::StandardButton defaultAnswer)
{
    QTimer timeout;
    if (unattended) {
        toStandardError(box.text());
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &box, [&box, defaultAnswer] {
            if (QAbstractButton *button = box.button(defaultAnswer))
                button->click();
            else
                box.done(defaultAnswer);
        });
        timeout.start(testTimeoutMs > 0 ? testTimeoutMs : unattendedTimeoutMs);
    }
    box.exec();
    timeout.stop();
    if (QAbstractButton *clicked = box.clickedButton())
        return box.standardButton(clicked);
    return unattended ? defaultAnswer : QMessageBox::NoButton;
}

void TimedMessageBox::critical(QWidget *parent, const QString &title, const QString &text,
                               bool unattended)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, parent);
    exec(box, unattended, QMessageBox::Ok);
}

void TimedMessageBox::toStandardError(const QString &text)
{
    const QByteArray line = text.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

void TimedMessageBox::setTimeoutForTests(int milliseconds)
{
    testTimeoutMs = milliseconds;
}
