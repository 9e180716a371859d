#include "layout.h"

namespace tallyo {

namespace {
using K = ControlKind;
QString s(const char *text)
{
    return QString::fromUtf8(text);
}
} // namespace

const std::vector<ControlRecord> &controlTable()
{
    static const std::vector<ControlRecord> table = {
        {"Label4", K::Label, "", s("CHOOSE COMM PORT FIRST"), 240, 120, 2535, 255, {}},

        {"Frame6", K::Frame, "", s("Comm Port"), 120, 480, 4455, 615, {}},
        {"Option20", K::Option, "Frame6", s("1"), 240, 240, 375, 195, {}},
        {"Option21", K::Option, "Frame6", s("2"), 960, 240, 375, 195, {}},
        {"Option22", K::Option, "Frame6", s("3"), 1680, 240, 375, 195, {}},
        {"Option23", K::Option, "Frame6", s("4"), 2400, 240, 375, 195, {}},
        {"Option24", K::Option, "Frame6", s("5"), 3120, 240, 495, 195, {}},
        {"Option25", K::Option, "Frame6", s("6"), 3840, 240, 495, 195, {}},

        {"Frame5", K::Frame, "", s("Select Frequency Counter Model"), 120, 1200, 4455, 735, {}},
        {"Option15", K::Option, "Frame5", s("QF-63"), 1080, 360, 855, 255, {}},
        {"Option16", K::Option, "Frame5", s("QF-27"), 2640, 360, 855, 255, {}},

        {"Frame2", K::Frame, "", s("Select Function"), 120, 2040, 4455, 2175,
         s("Select a function to set/display on frequency counter")},
        {"Option4", K::Option, "Frame2", s("Frequency From A"), 240, 360, 1815, 255, {}},
        {"Option5", K::Option, "Frame2", s("Frequency From C"), 240, 720, 1695, 255, {}},
        {"Option6", K::Option, "Frame2", s("Period of Frequency"), 240, 1080, 1815, 255, {}},
        {"Option7", K::Option, "Frame2", s("Total count"), 240, 1440, 1215, 255, {}},
        {"Option8", K::Option, "Frame2", s("RPM of Frequency"), 240, 1800, 1695, 255, {}},
        {"Option17", K::Option, "Frame2", s("Frequency From B"), 2400, 360, 1695, 255, {}},
        {"Option18", K::Option, "Frame2", s("Ratio"), 2400, 720, 1695, 255, {}},
        {"Option19", K::Option, "Frame2", s("TI"), 2400, 1080, 1455, 255, {}},

        {"Frame1", K::Frame, "", s("Hold"), 120, 4320, 2055, 1215, s("Set the hold mode")},
        {"Option1", K::Option, "Frame1", s("Off"), 240, 240, 855, 255, {}},
        {"Option2", K::Option, "Frame1", s("On"), 240, 480, 615, 375, {}},
        {"Option3", K::Option, "Frame1", s("Toggle"), 240, 840, 855, 255, {}},

        {"Frame3", K::Frame, "", s("Remote"), 2520, 4320, 2055, 1215, s("Set the remote mode")},
        {"Option9", K::Option, "Frame3", s("On"), 240, 360, 735, 255, {}},
        {"Option10", K::Option, "Frame3", s("Off"), 240, 720, 735, 255, {}},

        {"Frame4", K::Frame, "", s("Gate Time"), 120, 5640, 4455, 1215, s("Adjust the gate time setting")},
        {"Option11", K::Option, "Frame4", s("0.01 sec"), 600, 360, 1095, 255, {}},
        {"Option12", K::Option, "Frame4", s("0.1 sec"), 600, 720, 1095, 255, {}},
        {"Option13", K::Option, "Frame4", s("1 sec"), 2280, 360, 975, 255, {}},
        {"Option14", K::Option, "Frame4", s("10 sec"), 2280, 720, 1095, 255, {}},

        {"Command2", K::Command, "", s("Data"), 120, 7080, 855, 495,
         s("Click here to retrieve display data from counter")},
        {"Command1", K::Command, "", s("CLEAR"), 1920, 7080, 975, 495, s("Click here to clear display below")},
        {"Command3", K::Command, "", s("EXIT"), 3720, 7080, 855, 495, s("Click to exit program")},
        {"Label2", K::Label, "", s("Click \"Data\" to retrieve display info below"), 120, 7680, 3135, 255, {}},
        {"Text1", K::TextBox, "", QString(), 120, 7920, 4455, 735, s("Display box to show retrieved data"),
         s("Reading")},
        {"Label1", K::Label, "", s("Set Data Read Interval"), 360, 8760, 1695, 255, {}},
        {"Combo1",
         K::ComboBox,
         "",
         s("Combo1"),
         360,
         9120,
         1695,
         315,
         {},
         s("Set Data Read Interval"),
         s("The pause after each reading while recording")},
        {"Command4",
         K::Command,
         "",
         s("Data to Excel"),
         2160,
         8880,
         1095,
         615,
         {},
         {},
         s("Starts recording readings into a new spreadsheet, one row each, at the chosen interval")},
        {"Command5",
         K::Command,
         "",
         s("Stop Record"),
         3480,
         8880,
         1095,
         615,
         {},
         {},
         s("Ends the recording once the reading in progress is written")},
    };
    return table;
}

const std::vector<const char *> &focusOrder()
{
    static const std::vector<const char *> order = {
        "Option1",  "Option2",  "Text1",    "Command2", "Option3",  "Option4",  "Option5",  "Option6",
        "Option7",  "Option8",  "Option9",  "Option10", "Option11", "Option12", "Option13", "Option14",
        "Command1", "Command3", "Option15", "Option16", "Option17", "Option18", "Option19", "Option20",
        "Option21", "Option22", "Option23", "Command4", "Combo1",   "Command5", "Option24", "Option25",
    };
    return order;
}

} // namespace tallyo
