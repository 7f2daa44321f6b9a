#include "net/updateserver.h"

const QString BANNER_SERVER = QStringLiteral(MORVANE_UPDATE_SERVER);
