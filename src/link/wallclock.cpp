#include "wallclock.h"

#include <QDateTime>

namespace tallyo {

qint64 WallClock::nowMs() const
{
    const QDateTime now = QDateTime::currentDateTime();
    return now.toMSecsSinceEpoch() + qint64(now.offsetFromUtc()) * 1000;
}

} // namespace tallyo
