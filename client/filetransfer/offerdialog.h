// The dialog for a file or picture that the partner offers: who, the name, the size, Accept and
// Refuse. For a file, Accept first asks where to save it (a standard save dialog offering the
// offered name in the download folder); cancelling that keeps this dialog open. Closing the dialog
// refuses the offer.
#pragma once

#include "filemessages.h"

#include <QDialog>

#include <functional>

class QLabel;
class QPushButton;

namespace quillet {

class OfferDialog : public QDialog
{
    Q_OBJECT

public:
    // Asks where to save: the path chosen (the dialog confirms replacing a file), or "" when the
    // user cancels. The default is QFileDialog::getSaveFileName; tests put in their own.
    using SaveAs = std::function<QString(QWidget *parent, const QString &suggestedPath)>;
    static SaveAs defaultSaveAs();

    OfferDialog(const QString &partner, const QString &safeName, qint64 size, FileMessages::Kind kind,
                QWidget *parent = nullptr, SaveAs saveAs = defaultSaveAs());

    // The path offered to the save dialog: the name in the user's download folder.
    static QString suggestedPath(const QString &safeName);
    // The offer has gone (the partner cancelled it, the chat ended): closes without an answer.
    void withdraw();

    QLabel *lblOffer;
    QLabel *lblName;
    QLabel *lblSize;
    QPushButton *cmdAccept;
    QPushButton *cmdRefuse;

signals:
    // A picture has no target (""); `replace`: the target existed and the user chose to replace it.
    void acceptedAs(const QString &target, bool replace);
    void refused();

protected:
    void done(int result) override;

private:
    void onAccept();

    QString m_name;
    FileMessages::Kind m_kind;
    SaveAs m_saveAs;
    bool m_answered = false;
};

} // namespace quillet
