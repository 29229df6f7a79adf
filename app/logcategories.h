#pragma once

// One logging category per module. Every module logs through its own category, so that a reader
// (or `QT_LOGGING_RULES`, or deckctl-cli --verbose) can tell the modules apart and choose what to
// see; the log file's line format does not change.
//
//   deckctl.app      start-up, settings, the model table
//   deckctl.device   listing, standard controls, speaker, the mass-storage transport
//   deckctl.xu       the extension unit and its command set
//   deckctl.upgrade  package, script runner, protocol, upgrade worker, audio-module transfer
//   deckctl.preview  the preview stream
//   deckctl.workers  the worker pattern and the monitors
//   deckctl.ui       the window
//   deckctl.sim      the virtual camera

#include <QLoggingCategory>
#include <QString>

Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcDevice)
Q_DECLARE_LOGGING_CATEGORY(lcXu)
Q_DECLARE_LOGGING_CATEGORY(lcUpgrade)
Q_DECLARE_LOGGING_CATEGORY(lcPreview)
Q_DECLARE_LOGGING_CATEGORY(lcWorkers)
Q_DECLARE_LOGGING_CATEGORY(lcUi)
Q_DECLARE_LOGGING_CATEGORY(lcSim)

// The prefix that ties a line to one camera in a log of several: "[<id>]", or nothing for an
// empty id. Used as qCDebug(lcXu).noquote() << cameraPrefix(id) << "text".
QString cameraPrefix(const QString& cameraId);
