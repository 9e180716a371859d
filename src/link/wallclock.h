// The local wall clock that pauses are measured on.
#pragma once

#include <QObject>

namespace tallyo {

class WallClock : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Milliseconds of local time (the UTC offset included), so that a pause
    // follows the clock on the wall when it is set back or forward.
    virtual qint64 nowMs() const;

signals:
    // Emitted by clocks that jump (test clocks); the real clock never does.
    void changed();
};

} // namespace tallyo
