#include "models.h"

#include "commands.h"

namespace tallyo {

bool modelHasFunction(CounterModel model, const QByteArray &command)
{
    if (command == cmd::Rpm)
        return model == CounterModel::QF63;
    if (command == cmd::FrequencyB || command == cmd::Ratio || command == cmd::TimeInterval)
        return model == CounterModel::QF27;
    return true;
}

} // namespace tallyo
