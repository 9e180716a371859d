// Frequency Tallyo: the control panel for a bench frequency counter on a
// serial line.
#include "form1.h"
#if __has_include("spreadsheetloader.h")
#include "spreadsheetloader.h"
#define TALLYO_HAVE_LOADER 1
#endif

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    tallyo::applyAppearance();

    tallyo::Form1Dependencies deps;
    deps.portMap = tallyo::systemPortMap();
#ifdef TALLYO_HAVE_LOADER
    deps.spreadsheetFactory = tallyo::platformSpreadsheetFactory();
#endif
    tallyo::Form1 window(std::move(deps));
    window.Form_Load();
    window.show();
    return app.exec();
}
