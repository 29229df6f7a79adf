#pragma once

// `deckctl-cli virtual plug` and `virtual unplug`: they change the state of the virtual cameras
// that several processes share (a window and scripts on one state file), as a cable plugged in or
// pulled would. The program's entry provides the state when the virtual camera runs on a state
// file; without one the commands are refused.

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace cli {

class VirtualCameraState
{
public:
    virtual ~VirtualCameraState() = default;
    // Attaches a camera made from entry (the keys of a camera entry of the virtual camera's
    // configuration, "model" among them). Returns its index in the state, or -1 with *error set.
    virtual int plug(const QJsonObject& entry, QString* error) = 0;
    // Unplugs the camera at index in the state; false with *error set.
    virtual bool unplug(int index, QString* error) = 0;
};

// Reads "KEY=VALUE" words into a camera entry. A value that is JSON (a number, true, false, null,
// "quoted text", an object or an array) is taken as such, any other value as text. False with
// *error naming the word when it has no key or names a key twice.
bool parseKeyValues(const QStringList& words, QJsonObject* entry, QString* error);

} // namespace cli
