// The one-shot reading: "Data" shows one reading in the display box, "CLEAR"
// empties it, and every change of the box's text puts the caret at its end.
#include "form1.h"

#include <QLineEdit>

namespace tallyo {

void Form1::Command2_Click()
{
    ReopenPort();
    RequestReading();
    Text1->setText(currentReading);
}

void Form1::Command1_Click()
{
    Text1->setText(QString());
}

void Form1::Text1_Change()
{
    Text1->repaint();
    Text1->setCursorPosition(int(Text1->text().size()));
}

} // namespace tallyo
