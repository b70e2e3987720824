#include "ingest/PortAllocator.h"

#include "app/Environment.h"
#include "ingest/IngestLog.h"

#include <QByteArray>
#include <QSet>

int PortAllocator::portBase()
{
    const QByteArray text = Environment::intakePortBase();
    if (text.isEmpty())
        return kPortBase;
    bool ok = false;
    const int value = text.toInt(&ok);
    if (!ok || value < 1024 || value > 65000) {
        qCWarning(lcIngest) << "QUORVIX_INTAKE_PORT_BASE must be 1024..65000, not" << text
                            << "- using" << kPortBase;
        return kPortBase;
    }
    return value;
}

int PortAllocator::next(const QList<int> &held)
{
    const QSet<int> taken(held.begin(), held.end());
    for (int tries = 0; tries <= kLastPort - m_base; ++tries) {
        ++m_last;
        if (m_last > kLastPort || m_last <= m_base)
            m_last = m_base + 1;
        if (!taken.contains(m_last))
            break;
    }
    return m_last;
}
