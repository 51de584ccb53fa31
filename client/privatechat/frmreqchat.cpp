#include "frmreqchat.h"

#include "Accessibility.h"
#include "Controls.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace quillet {

frmreqchat::frmreqchat(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmreqchat"));
    setWindowTitle(QStringLiteral(" Chat Request"));

    Label1 = plainLabel("Label1", QStringLiteral("Chat Request to : "), this);
    Label4 = plainLabel("Label4", QString(), this);
    Label2 = plainLabel("Label2", QStringLiteral("Request Message"), this);
    Text1 = named(new QLineEdit(this), "Text1");
    Text1->setMinimumWidth(220);
    Label2->setBuddy(Text1);
    Cmdrequest = button("Cmdrequest", QStringLiteral("Request"), this);
    Cmdcancel = button("Cmdcancel", QStringLiteral("Cancel"), this);
    Cmdrequest->setDefault(true); // Enter sends the request; Esc, like Cancel, ends it

    auto *grid = new QGridLayout(this);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(Label4, 0, 1);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(Text1, 1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Cmdrequest);
    buttons->addWidget(Cmdcancel);
    grid->addLayout(buttons, 2, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    connect(Cmdrequest, &QPushButton::clicked, this, [this] {
        if (requested_)
            return;
        requested_ = true;
        emit requested(Text1->text());
    });
    connect(Cmdcancel, &QPushButton::clicked, this, &QDialog::reject);
    showPartner(QString());
}

void frmreqchat::showPartner(const QString &name)
{
    showLabelValue(Label4, QStringLiteral("Partner"), name);
}

void frmreqchat::done(int result)
{
    QDialog::done(result);
    if (!std::exchange(requested_, true))
        emit cancelled();
}

} // namespace quillet
