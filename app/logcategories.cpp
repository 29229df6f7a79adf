#include "app/logcategories.h"

Q_LOGGING_CATEGORY(lcApp, "deckctl.app")
Q_LOGGING_CATEGORY(lcDevice, "deckctl.device")
Q_LOGGING_CATEGORY(lcXu, "deckctl.xu")
Q_LOGGING_CATEGORY(lcUpgrade, "deckctl.upgrade")
Q_LOGGING_CATEGORY(lcPreview, "deckctl.preview")
Q_LOGGING_CATEGORY(lcWorkers, "deckctl.workers")
Q_LOGGING_CATEGORY(lcUi, "deckctl.ui")
Q_LOGGING_CATEGORY(lcSim, "deckctl.sim")

QString cameraPrefix(const QString& cameraId)
{
    return cameraId.isEmpty() ? QString() : QStringLiteral("[%1]").arg(cameraId);
}
