#include "MessageBoxes.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

namespace {
// The innermost box shown now (a box may open while another is shown).
QPointer<QMessageBox> g_openBox;
} // namespace

int ShowModalMessageBox(const char* text, int kind, int buttons, void*)
{
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle("Quorbel Linvaro");
    // The texts use CR as line break.
    box.setText(QString::fromUtf8(text).replace('\r', '\n'));
    static const QMessageBox::Icon icons[] = {QMessageBox::Warning, QMessageBox::Critical, QMessageBox::Information,
                                              QMessageBox::Question};
    box.setIcon(kind >= 0 && kind <= 3 ? icons[kind] : QMessageBox::NoIcon);
    QMessageBox::StandardButtons set;
    if (buttons & 1) set |= QMessageBox::Yes;
    if (buttons & 2) set |= QMessageBox::No;
    if (buttons & 4) set |= QMessageBox::Ok;
    if (buttons & 8) set |= QMessageBox::Cancel;
    if (!set)
        set = QMessageBox::Ok;
    box.setStandardButtons(set);
    const QPointer<QMessageBox> outer = g_openBox;
    g_openBox = &box;
    const int pressed = box.exec();
    g_openBox = outer;
    switch (pressed) {
    case QMessageBox::Yes: return 6;
    case QMessageBox::No: return 7;
    case QMessageBox::Ok: return 1;
    default: return 2;
    }
}

void CloseOpenMessageBox()
{
    // done() with a code no button has: the caller sees Cancel (2).
    if (g_openBox)
        g_openBox->done(-1);
}
