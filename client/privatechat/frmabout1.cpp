#include "frmabout1.h"

#include <QIcon>

namespace quillet {

frmabout1::frmabout1(QWidget *parent)
    : frmabout(parent)
{
    setObjectName(QStringLiteral("frmabout1"));
    setWindowTitle(QStringLiteral("About Private Chat"));
    setWindowIcon(QIcon());
}

void frmabout1::done(int result)
{
    QDialog::done(result); // not frmabout's: that one brings back the main window
    if (owner_ && owner_->testAttribute(Qt::WA_DeleteOnClose)) {
        owner_->show();
        owner_->raise();
        owner_->activateWindow();
    }
}

void frmabout1::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (owner_) {
        QRect frame = frameGeometry();
        frame.moveCenter(owner_->frameGeometry().center());
        move(frame.topLeft());
    }
}

} // namespace quillet
