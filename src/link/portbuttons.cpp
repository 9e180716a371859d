// The six port buttons: choose which serial port the counter is reached on.
#include "form1.h"

#include <QRadioButton>

namespace tallyo {

void Form1::selectPort(int portNumber)
{
    if (MSComm1.portOpen()) {
        // Takes effect at once: close, renumber, open with the settings the
        // port was opened with.
        MSComm1.setPortOpen(false);
        MSComm1.setCommPort(portNumber);
        MSComm1.setPortOpen(true);
    } else {
        MSComm1.setCommPort(portNumber);   // the next opening uses it
    }
    const QRadioButton *chosen = nullptr;
    switch (portNumber) {
    case 1: chosen = Option20; break;
    case 2: chosen = Option21; break;
    case 3: chosen = Option22; break;
    case 4: chosen = Option23; break;
    case 5: chosen = Option24; break;
    case 6: chosen = Option25; break;
    }
    for (QRadioButton *button : {Option20, Option21, Option22, Option23, Option24, Option25})
        button->setChecked(button == chosen);
}

void Form1::Option20_Click() { selectPort(1); }
void Form1::Option21_Click() { selectPort(2); }
void Form1::Option22_Click() { selectPort(3); }
void Form1::Option23_Click() { selectPort(4); }
void Form1::Option24_Click() { selectPort(5); }
void Form1::Option25_Click() { selectPort(6); }

} // namespace tallyo
