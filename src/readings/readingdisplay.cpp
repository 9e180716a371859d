#include "readingdisplay.h"

#include <QLineEdit>

namespace tallyo {

void ReadingDisplay::show(const QString &reading)
{
    m_box->setText(reading);
}

void ReadingDisplay::clear()
{
    m_box->setText(QString());
}

void ReadingDisplay::followChange()
{
    m_box->repaint();
    m_box->setCursorPosition(int(m_box->text().size()));
}

} // namespace tallyo
