#include "folderremoval.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kOpenFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

QString errnoText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Closes a descriptor when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// The names in the folder open as fd, without "." and "..".
bool listNames(int fd, std::vector<std::string>& names, int& error)
{
    names.clear();
    // fdopendir takes over the descriptor it is given; the caller keeps its own.
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        error = errno;
        return false;
    }
    DIR* dir = ::fdopendir(copy);
    if (dir == nullptr) {
        error = errno;
        ::close(copy);
        return false;
    }
    ::rewinddir(dir);
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
        errno = 0;
    }
    error = errno;
    ::closedir(dir);
    return error == 0;
}

bool removeAt(int parent, const std::string& name, int depth, QString& error);

// Removes everything inside the folder open as fd.
bool removeContents(int fd, const QString& where, int depth, QString& error)
{
    std::vector<std::string> names;
    int listError = 0;
    if (!listNames(fd, names, listError)) {
        error = QStringLiteral("cannot list %1: %2").arg(where, errnoText(listError));
        return false;
    }
    bool removedAll = true;
    for (const std::string& name : names) {
        QString entryError;
        if (!removeAt(fd, name, depth, entryError)) {
            removedAll = false;
            if (error.isEmpty())
                error = where + QLatin1Char('/') + entryError;
        }
    }
    return removedAll;
}

// Removes the entry name of the folder open as parent: a file or link with one unlink, a folder by
// emptying it through a descriptor of its own and then removing it.
bool removeAt(int parent, const std::string& name, int depth, QString& error)
{
    const QString shown = QFile::decodeName(QByteArray::fromStdString(name));
    if (::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT)
        return true;
    if (errno != EISDIR && errno != EPERM) {
        error = QStringLiteral("%1: %2").arg(shown, errnoText(errno));
        return false;
    }
    if (depth >= kMaxRemovalDepth) {
        error = QStringLiteral("%1: folders nested too deep").arg(shown);
        return false;
    }
    const Descriptor folder(::openat(parent, name.c_str(), kOpenFolderFlags));
    if (folder.get() < 0) {
        error = QStringLiteral("%1: %2").arg(shown, errnoText(errno));
        return false;
    }
    QString inner;
    const bool emptied = removeContents(folder.get(), shown, depth + 1, inner);
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT)
        return true;
    error = emptied ? QStringLiteral("%1: %2").arg(shown, errnoText(errno)) : inner;
    return false;
}

bool isKept(int folder, const std::string& name, const QStringList& keepFiles, const QStringList& keepFolders)
{
    const QString shown = QFile::decodeName(QByteArray::fromStdString(name));
    const bool file = keepFiles.contains(shown);
    const bool dir = keepFolders.contains(shown);
    if (!file && !dir)
        return false;
    struct stat status
    {
    };
    if (::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return (file && S_ISREG(status.st_mode)) || (dir && S_ISDIR(status.st_mode));
}

} // namespace

bool removeTree(const QString& path, QString& error)
{
    error.clear();
    const QFileInfo info(QDir::cleanPath(path));
    const QByteArray name = QFile::encodeName(info.fileName());
    if (path.isEmpty() || name.isEmpty() || name == "." || name == "..") {
        error = QStringLiteral("%1: not an entry that can be removed").arg(path);
        return false;
    }
    // The folder that holds the entry is the caller's; only below it are links never followed.
    const Descriptor parent(
        ::open(QFile::encodeName(info.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0) {
        if (errno == ENOENT)
            return true;
        error = QStringLiteral("%1: %2").arg(info.absolutePath(), errnoText(errno));
        return false;
    }
    return removeAt(parent.get(), name.toStdString(), 0, error);
}

bool emptyFolder(const QString& folder, const QStringList& keepFiles, const QStringList& keepFolders,
                 QStringList& removed, QString& error)
{
    error.clear();
    removed.clear();
    const Descriptor fd(::open(QFile::encodeName(folder).constData(), kOpenFolderFlags));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return true;
        const int openError = errno;
        struct stat status
        {
        };
        if (::lstat(QFile::encodeName(folder).constData(), &status) == 0 && S_ISLNK(status.st_mode))
            error = QStringLiteral("%1 is a symbolic link").arg(folder);
        else
            error = QStringLiteral("%1: %2").arg(folder, errnoText(openError));
        return false;
    }
    std::vector<std::string> names;
    int listError = 0;
    if (!listNames(fd.get(), names, listError)) {
        error = QStringLiteral("cannot list %1: %2").arg(folder, errnoText(listError));
        return false;
    }
    bool removedAll = true;
    for (const std::string& name : names) {
        if (isKept(fd.get(), name, keepFiles, keepFolders))
            continue;
        removed.append(QFile::decodeName(QByteArray::fromStdString(name)));
        QString entryError;
        if (!removeAt(fd.get(), name, 0, entryError)) {
            removedAll = false;
            if (error.isEmpty())
                error = folder + QLatin1Char('/') + entryError;
        }
    }
    return removedAll;
}
