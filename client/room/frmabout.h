// frmabout: the main window's About box, opened modeless from Help > About. One at a time (see
// WindowRegistry.h); closing it in any way brings the main window to the front.
#pragma once

#include <QDialog>

class QGroupBox;
class QLabel;
class QPushButton;

namespace quillet {

class frmabout : public QDialog
{
    Q_OBJECT

public:
    explicit frmabout(QWidget *parent = nullptr);

    QLabel *picIcon;
    QGroupBox *Frame1;
    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QGroupBox *Frame2;
    QLabel *lblCompanyProduct;
    QLabel *lblVersion;
    QPushButton *cmdOK;

    // The unload handler: OK, Esc and the close box all end here.
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;
};

} // namespace quillet
