#include "frmchat.h"

#include "Accessibility.h"
#include "Controls.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace quillet {

frmchat::frmchat(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmchat"));
    setWindowTitle(QStringLiteral("Incoming Chat Request"));

    Label3 = plainLabel("Label3", QStringLiteral("Chat Request from :  "), this);
    Label1 = plainLabel("Label1", QString(), this);
    Label2 = plainLabel("Label2", QStringLiteral("Request Message"), this);
    Label4 = plainLabel("Label4", QString(), this);
    Label4->setWordWrap(true);
    Label4->setMaximumWidth(320);
    Label5 = plainLabel("Label5", QStringLiteral("Reason of refusal :"), this);
    Text1 = named(new QLineEdit(this), "Text1");
    Label5->setBuddy(Text1);
    Cmdrequest = button("Cmdrequest", QStringLiteral("&Accept"), this);
    Cmdcancel = button("Cmdcancel", QStringLiteral("&Refuse"), this);

    auto *grid = new QGridLayout(this);
    grid->addWidget(Label3, 0, 0);
    grid->addWidget(Label1, 0, 1);
    grid->addWidget(Label2, 1, 0, Qt::AlignTop);
    grid->addWidget(Label4, 1, 1);
    grid->addWidget(Label5, 2, 0);
    grid->addWidget(Text1, 2, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Cmdrequest);
    buttons->addWidget(Cmdcancel);
    grid->addLayout(buttons, 3, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    connect(Cmdrequest, &QPushButton::clicked, this, [this] {
        accepted_ = true;
        accept();
    });
    connect(Cmdcancel, &QPushButton::clicked, this, &QDialog::reject);
    showRequest(QString(), QString());
}

void frmchat::showRequest(const QString &requester, const QString &message)
{
    showLabelValue(Label1, QStringLiteral("Requester"), requester);
    showLabelValue(Label4, QStringLiteral("Request message"), message);
}

void frmchat::done(int result)
{
    const bool first = !std::exchange(answered_, true);
    const QString reason = Text1->text();
    QDialog::done(result);
    if (first)
        emit answered(accepted_, reason);
}

} // namespace quillet
