#include "frmAddress.h"

#include "Controls.h"
#include "Globals.h"
#include "MessageBoxes.h"

#include <QComboBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace quillet {

namespace {

QLabel *label(const char *name, const QString &caption, QWidget *buddy, QWidget *parent)
{
    auto *l = named(new QLabel(caption, parent), name);
    l->setBuddy(buddy);
    return l;
}

} // namespace

QStringList frmAddress::hostPresets()
{
    return {QStringLiteral("192.0.2.10"), QStringLiteral("198.51.100.7"),
            QStringLiteral("localhost"), QStringLiteral("192.168.1.20")};
}

std::optional<qint32> frmAddress::portFromText(const QString &text)
{
    if (text.compare(QLatin1StringView("Auto"), Qt::CaseInsensitive) == 0)
        return DefaultPort;
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    qint32 value = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0');
    }
    if (value < 1 || value > 65535)
        return std::nullopt;
    return value;
}

frmAddress::frmAddress(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmAddress"));
    setWindowTitle(QStringLiteral("Login"));

    Text1 = named(new QLineEdit(this), "Text1");
    Text2 = named(new QLineEdit(this), "Text2");
    Text2->setEchoMode(QLineEdit::Password);
    Text2->setStyleSheet(QStringLiteral("lineedit-password-character: 42;")); // "*"

    ComboAddress = named(new QComboBox(this), "ComboAddress");
    ComboAddress->setEditable(true);
    ComboAddress->setInsertPolicy(QComboBox::NoInsert);
    ComboAddress->addItems(hostPresets());
    ComboAddress->setCurrentIndex(0);

    ComboPort = named(new QComboBox(this), "ComboPort");
    ComboPort->setEditable(true);
    ComboPort->setInsertPolicy(QComboBox::NoInsert);
    ComboPort->addItems({FirstPortText, QStringLiteral("Auto")});
    ComboPort->setCurrentIndex(0);

    Label1 = label("Label1", QStringLiteral("&User Name:"), Text1, this);
    Label2 = label("Label2", QStringLiteral("&Password:"), Text2, this);
    lblAddress = label("lblAddress", QStringLiteral("&Host:"), ComboAddress, this);
    Label3 = label("Label3", QStringLiteral("P&ort:"), ComboPort, this);

    cmdOK = named(new QPushButton(QStringLiteral("&OK"), this), "cmdOK");
    cmdCancel = named(new QPushButton(QStringLiteral("&Cancel"), this), "cmdCancel");
    // Enter anywhere presses OK, whichever button has the focus.
    cmdOK->setAutoDefault(false);
    cmdCancel->setAutoDefault(false);
    cmdOK->setDefault(true);

    auto *grid = new QGridLayout(this);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(Text1, 0, 1);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(Text2, 1, 1);
    grid->addWidget(lblAddress, 2, 0);
    grid->addWidget(ComboAddress, 2, 1);
    grid->addWidget(Label3, 3, 0);
    grid->addWidget(ComboPort, 3, 1);
    auto *buttons = new QVBoxLayout;
    buttons->addWidget(cmdOK);
    buttons->addWidget(cmdCancel);
    buttons->addStretch();
    grid->addLayout(buttons, 0, 2, 2, 1);
    grid->setColumnMinimumWidth(1, 180);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    setTabOrder(Text1, Text2);
    setTabOrder(Text2, cmdOK);
    setTabOrder(cmdOK, cmdCancel);
    setTabOrder(cmdCancel, ComboAddress);
    setTabOrder(ComboAddress, ComboPort);
    Text1->setFocus();

    Text1->installEventFilter(this);
    connect(cmdOK, &QPushButton::clicked, this, &frmAddress::cmdOK_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmAddress::cmdCancel_Click);
}

void frmAddress::cmdOK_Click()
{
    const QString host = ComboAddress->currentText();
    const QString user = Text1->text();
    const QString password = Text2->text();
    const QString portText = ComboPort->currentText();

    if (host.isEmpty() || user.isEmpty() || password.isEmpty() || portText.isEmpty()) {
        messageBox(this, EmptyFieldText, QString(), BoxIcon::Critical);
        return;
    }
    const std::optional<qint32> port = portFromText(portText);
    if (!port) {
        messageBox(this, BadPortText, QStringLiteral("Login"), BoxIcon::Exclamation);
        ComboPort->setFocus();
        return;
    }

    Globals::sServerHost = host;
    Globals::sUserName = user;
    Globals::sPassword = password;
    Globals::nServerPort = *port;
    accept();
}

void frmAddress::cmdCancel_Click()
{
    Globals::sServerHost.clear();
    reject();
}

void frmAddress::keyPressEvent(QKeyEvent *event)
{
    // Esc is the Cancel button (the close box, by contrast, leaves the globals alone).
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdCancel->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool frmAddress::eventFilter(QObject *watched, QEvent *event)
{
    // Focus entering the user name box selects its whole text, so typing replaces it. Queued, so
    // that the mouse press which may have brought the focus does not undo the selection.
    if (watched == Text1 && event->type() == QEvent::FocusIn)
        QMetaObject::invokeMethod(Text1, &QLineEdit::selectAll, Qt::QueuedConnection);
    return QDialog::eventFilter(watched, event);
}

} // namespace quillet
