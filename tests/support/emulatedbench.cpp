#include "emulatedbench.h"

#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

namespace {

QVector<VirtualCamera> models(const QVector<QJsonObject>& configurations)
{
    QVector<VirtualCamera> result;
    for (const QJsonObject& configuration : configurations)
        result.append(VirtualCamera::fromJson(configuration));
    return result;
}

} // namespace

Fd::Fd(const QString& node) : fd(::open(QFile::encodeName(node).constData(), O_RDWR | O_CLOEXEC)) {}

Fd::~Fd()
{
    if (fd >= 0)
        ::close(fd);
}

EmulatedBench::EmulatedBench(const QVector<QJsonObject>& configurations)
    : m_journal(m_directory.filePath(QStringLiteral("journal.jsonl"))),
      m_cameras(models(configurations), m_journal.path())
{
}
