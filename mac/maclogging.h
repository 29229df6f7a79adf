#pragma once

// The raw-USB edition's device layer logs through deckctl.mac.

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcMac)
