// The counter models the window knows, and the measurement functions each
// one lacks.
#pragma once

#include <QByteArray>

namespace tallyo {

enum class CounterModel {
    QF63,
    QF27
};

// Whether `model` has the measurement function that `command` selects.
// RPM only on the QF-63; channel B, ratio and time interval only on the QF-27.
bool modelHasFunction(CounterModel model, const QByteArray &command);

} // namespace tallyo
