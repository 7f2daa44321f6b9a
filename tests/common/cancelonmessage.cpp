#include "cancelonmessage.h"

#include "update/updateengine.h"

#include <QRegularExpression>

#include <memory>

void cancelOnMessage(UpdateEngine *engine, const QString &pattern, int occurrence,
                     Qt::ConnectionType type)
{
    auto remaining = std::make_shared<int>(occurrence);
    QObject::connect(engine, &UpdateEngine::message, engine,
                     [engine, remaining, type,
                      match = QRegularExpression(pattern)](const QString &line) {
                         if (*remaining > 0 && match.match(line).hasMatch() && --*remaining == 0)
                             QMetaObject::invokeMethod(engine, &UpdateEngine::cancelUpdate, type);
                     });
}
