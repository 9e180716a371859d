// Frequency Tallyo: the control panel for a bench frequency counter on a
// serial line.
#include "form1.h"
#include "spreadsheetloader.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    tallyo::applyAppearance();

    tallyo::Form1Dependencies deps;
    deps.portMap = tallyo::systemPortMap();
    deps.spreadsheetFactory = tallyo::makeSpreadsheetFactory();
    tallyo::Form1 window(std::move(deps));
    window.Form_Load();
    window.show();
    return app.exec();
}
