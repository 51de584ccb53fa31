// frmabout1: the private chat window's About box. The same box as the main window's frmabout (it
// is built by frmabout's own code) with its own caption and no icon. While it is open it takes the
// private chat window's place on the screen: "About" hides that window, and closing this box in any
// way (OK, Esc, the close box) shows it again, if it is still there.
#pragma once

#include "frmabout.h"

#include <QPointer>

namespace quillet {

class frmabout1 : public frmabout
{
    Q_OBJECT

public:
    explicit frmabout1(QWidget *parent = nullptr);

    // The window whose place the box takes while it is open.
    void setOwner(QWidget *owner) { owner_ = owner; }

    // The unload handler: shows the owner again, if it is still loaded.
    void done(int result) override;

protected:
    // Centred on the private chat window.
    void showEvent(QShowEvent *event) override;

private:
    QPointer<QWidget> owner_;
};

} // namespace quillet
