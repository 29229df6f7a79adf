#include "emulatedbench.h"

#include "sim/virtualcamera.h"
#include "sim/virtualrig.h"

namespace {

QVector<VirtualCamera> models(const QVector<QJsonObject>& configurations)
{
    QVector<VirtualCamera> result;
    for (const QJsonObject& configuration : configurations)
        result.append(VirtualCamera::fromJson(configuration));
    return result;
}

} // namespace

EmulatedBench::EmulatedBench(const QVector<QJsonObject>& configurations)
    : m_journal(m_directory.filePath(QStringLiteral("journal.jsonl"))),
      m_cameras(models(configurations), m_journal.path())
{
}
