// frmAddress: the login dialog. Asks for user name, password, host and port, stores them in
// Globals on OK and closes; Cancel empties sServerHost. Used modally by the main window's Connect.
#pragma once

#include <QDialog>
#include <QStringList>

#include <optional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillet {

class frmAddress : public QDialog
{
    Q_OBJECT

public:
    explicit frmAddress(QWidget *parent = nullptr);

    // The port chosen by "Auto".
    static constexpr qint32 DefaultPort = 2727;
    // The port box's first entry, what the dialog shows when it opens.
    static inline const QString FirstPortText = QStringLiteral("2727");
    // The host presets, in list order: two documentation addresses, the loopback name, a LAN one.
    static QStringList hostPresets();
    // The port a ComboPort text stands for: "Auto" (any letter case) is DefaultPort, a whole number
    // 1..65535 of decimal digits is itself; anything else is no port.
    static std::optional<qint32> portFromText(const QString &text);

    static inline const QString EmptyFieldText =
        QStringLiteral(" Error , Please fill the all information ");
    static inline const QString BadPortText =
        QStringLiteral("The port must be a whole number from 1 to 65535, or Auto for port 2727.");

    QLabel *Label1;
    QLineEdit *Text1;
    QLabel *Label2;
    QLineEdit *Text2;
    QLabel *lblAddress;
    QComboBox *ComboAddress;
    QLabel *Label3;
    QComboBox *ComboPort;
    QPushButton *cmdOK;
    QPushButton *cmdCancel;

public slots:
    void cmdOK_Click();
    void cmdCancel_Click();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
};

} // namespace quillet
