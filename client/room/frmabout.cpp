#include "frmabout.h"

#include "AppIcon.h"
#include "Controls.h"
#include "WindowRegistry.h"
#include "frmMain.h"

#include <QFont>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#ifndef QUILLET_VERSION
#define QUILLET_VERSION "0"
#endif

namespace quillet {

frmabout::frmabout(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmabout"));
    setWindowTitle(QStringLiteral("About"));
    setWindowIcon(programIcon());

    picIcon = named(new IconPicture(programIcon(), 48, this), "picIcon");
    picIcon->setAccessibleName(QStringLiteral("Quillet icon"));

    Frame1 = named(new QGroupBox(QStringLiteral("Credits"), this), "Frame1");
    Label1 = plainLabel("Label1", QStringLiteral("Quillet: chat with everyone on your local network."),
                        Frame1);
    Label2 = plainLabel("Label2",
                        QStringLiteral("One shared room, private chats typed live, a sketch canvas."),
                        Frame1);
    Label3 = plainLabel("Label3", QStringLiteral("Written in C++ with Qt, over the Varrow socket library."),
                        Frame1);
    auto *credits = new QVBoxLayout(Frame1);
    credits->addWidget(Label1);
    credits->addWidget(Label2);
    credits->addWidget(Label3);

    Frame2 = named(new QGroupBox(this), "Frame2");
    Frame2->setAccessibleName(QStringLiteral("Version"));
    lblCompanyProduct = plainLabel("lblCompanyProduct", QStringLiteral("The Quillet Team"), Frame2);
    QFont productFont(QStringLiteral("Arial"));
    productFont.setPointSizeF(11.25);
    productFont.setBold(true);
    lblCompanyProduct->setFont(productFont);
    lblVersion = plainLabel("lblVersion",
                            QStringLiteral("Quillet version " QUILLET_VERSION
                                           ". Free to use, share and change."),
                            Frame2);
    auto *company = new QVBoxLayout(Frame2);
    company->addWidget(lblCompanyProduct);
    company->addWidget(lblVersion);

    cmdOK = button("cmdOK", QStringLiteral("OK"), this);
    cmdOK->setDefault(true); // Enter; Esc ends in reject(), which is the same as OK here
    connect(cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    auto *text = new QVBoxLayout;
    text->addWidget(Frame1);
    text->addWidget(Frame2);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdOK);
    text->addLayout(buttons);
    auto *top = new QHBoxLayout(this);
    top->addWidget(picIcon, 0, Qt::AlignTop);
    top->addLayout(text);
    top->setSizeConstraint(QLayout::SetFixedSize); // no maximise
}

void frmabout::done(int result)
{
    QDialog::done(result);
    if (frmMain *main = Window<frmMain>::get()) {
        main->show();
        main->raise();
        main->activateWindow();
    }
}

void frmabout::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (const QScreen *screen = this->screen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

} // namespace quillet
