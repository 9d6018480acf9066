#include "PlainDialog.h"

#include <QKeyEvent>
#include <QPushButton>

#include "Twips.h"

namespace platform
{

PlainDialog::PlainDialog(QWidget *parent, Qt::WindowFlags flags) : QDialog(parent, flags) {}

void PlainDialog::setVisible(bool visible)
{
    // QDialog picks an auto-default button as the default when it is shown; with none
    // auto-default, no button is pressed by Enter unless it has the focus.
    if (visible) {
        for (QPushButton *button : findChildren<QPushButton *>()) {
            button->setAutoDefault(false);
            button->setDefault(false);
        }
    }
    QDialog::setVisible(visible);
}

bool PlainDialog::event(QEvent *event)
{
    ShowFocus(this, event);
    return QDialog::event(event);
}

void PlainDialog::keyPressEvent(QKeyEvent *event)
{
    if (PressFocusedButton(this, event) || event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    // Past QDialog, whose handler knows only default and cancel buttons.
    QWidget::keyPressEvent(event);
}

} // namespace platform
