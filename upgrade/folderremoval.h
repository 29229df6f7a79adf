#pragma once

// Removal of package files that never follows a symbolic link out of the folder it works on:
// every step names one entry inside an open folder descriptor, a link is removed as a link, and a
// folder is entered only through a descriptor opened without following links.

#include <QString>
#include <QStringList>

// Folder levels below the starting folder that a removal descends; deeper trees are left alone
// (the package check never writes trees this deep).
constexpr int kMaxRemovalDepth = 256;

// Removes path: a file or a link itself, a folder with everything in it. Returns true when nothing
// of that name is left, also when there was nothing; otherwise error says what stayed and why.
bool removeTree(const QString& path, QString& error);

// Removes every entry of folder (hidden ones too) except the names in keepFiles that are regular
// files and the names in keepFolders that are real folders (not links). removed receives the names
// it removed or tried to remove. Returns true when all of them went; a folder that does not exist
// is empty. The folder itself must not be a symbolic link.
bool emptyFolder(const QString& folder, const QStringList& keepFiles, const QStringList& keepFolders,
                 QStringList& removed, QString& error);
