#include "optiongroups.h"

#include "commands.h"

namespace tallyo {

const std::vector<OptionGroup> &optionGroups()
{
    using M = OptionMeaning;
    static const std::vector<OptionGroup> groups = {
        {"Frame6",
         {{"Option20", M::choosesPort(1)},
          {"Option21", M::choosesPort(2)},
          {"Option22", M::choosesPort(3)},
          {"Option23", M::choosesPort(4)},
          {"Option24", M::choosesPort(5)},
          {"Option25", M::choosesPort(6)}}},
        {"Frame5",
         {{"Option15", M::choosesModel(CounterModel::QF63)}, {"Option16", M::choosesModel(CounterModel::QF27)}}},
        // Set column by column, whichever was clicked.
        {"Frame2",
         {{"Option4", M::sends(cmd::FrequencyA)},
          {"Option5", M::sends(cmd::FrequencyC)},
          {"Option6", M::sends(cmd::Period)},
          {"Option7", M::sends(cmd::TotalCount)},
          {"Option8", M::sends(cmd::Rpm)},
          {"Option17", M::sends(cmd::FrequencyB)},
          {"Option18", M::sends(cmd::Ratio)},
          {"Option19", M::sends(cmd::TimeInterval)}}},
        // Setting the hold mode always clears "Toggle", which sends nothing.
        {"Frame1",
         {{"Option1", M::sends(cmd::HoldOff)}, {"Option2", M::sends(cmd::HoldOn)}, {"Option3", M::nothing()}}},
        {"Frame3", {{"Option9", M::sends(cmd::RemoteOn)}, {"Option10", M::sends(cmd::RemoteOff)}}},
        {"Frame4",
         {{"Option11", M::sends(cmd::Gate10ms)},
          {"Option12", M::sends(cmd::Gate100ms)},
          {"Option13", M::sends(cmd::Gate1s)},
          {"Option14", M::sends(cmd::Gate10s)}}},
    };
    return groups;
}

} // namespace tallyo
