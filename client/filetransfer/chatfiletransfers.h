// ChatFileTransfers: what a private chat does about files and pictures. It owns the chat's
// FileTransfers and their windows: "Send File" and "Send Picture" pick a file and offer it, an
// offer from the partner opens the offer dialog, accepted pictures open in a picture window, and
// the transfers window shows every transfer. The chat hands it the link, the file messages that
// arrive, whether the partner's hello named "file", and the chat's end; it paces itself by the link.
#pragma once

#include "filetransfers.h"
#include "offerdialog.h"

#include <QObject>
#include <QPointer>
#include <QTemporaryDir>

#include <functional>
#include <map>
#include <memory>

namespace quillet {

class PeerLink;
class PictureWindow;
class TransferWindow;

class ChatFileTransfers : public QObject
{
    Q_OBJECT

public:
    // The dialogs it opens; tests put in their own.
    struct Seams {
        // A file to send ("" when cancelled); `pictures`: only picture files are offered.
        std::function<QString(QWidget *parent, bool pictures)> openFile;
        OfferDialog::SaveAs saveAs = OfferDialog::defaultSaveAs();
        // A message for the user, not modal.
        std::function<void(QWidget *parent, const QString &title, const QString &text)> inform;
    };
    static Seams defaultSeams();

    // File data waits in the link only while less than this is queued there.
    static constexpr qint64 MaxQueuedBytes = 64 * 1024;

    ChatFileTransfers(PeerLink *link, QObject *parent = nullptr, Seams seams = defaultSeams());
    ~ChatFileTransfers() override;

    void setSeams(Seams seams) { m_seams = std::move(seams); }
    // The private chat window, parent of the dialogs.
    void setWindow(QWidget *window) { m_chatWindow = window; }
    void setPartner(const QString &name) { m_partner = name; }
    // Whether the partner's program understands file messages (its hello named "file").
    void setPartnerCanReceive(bool can) { m_partnerCanReceive = can; }

    void sendFile();
    void sendPicture();
    // A file message from the partner (an extension message's name and body); false for others.
    bool handle(QStringView name, QStringView body) { return m_transfers.handle(name, body); }
    // The chat has ended: every transfer ends, open offers are withdrawn.
    void closeAll();

    FileTransfers &transfers() { return m_transfers; }
    TransferWindow *transferWindow() const { return m_window; }
    // Picture windows open now.
    QList<PictureWindow *> pictureWindows() const;

private:
    struct Offer {
        QString name;
        qint64 size;
        FileMessages::Kind kind;
        QPointer<OfferDialog> dialog;
        std::shared_ptr<QTemporaryDir> folder; // a picture's, once accepted
    };

    void send(FileMessages::Kind kind);
    void onOffered(quint32 id, const QString &name, qint64 size, FileMessages::Kind kind);
    void onAccepted(quint32 id, const QString &target, bool replace);
    void onFinished(FileTransfers::Direction direction, quint32 id, FileTransfers::Outcome outcome,
                    bool byPartner, const QString &path);
    void showTransfers();

    struct Link : FileLink {
        explicit Link(PeerLink *peer) : link(peer) {}
        PeerLink *link;
        bool canSend() const override;
        void send(const QString &message) override;
    };

    Link m_link;
    FileTransfers m_transfers;
    QPointer<QWidget> m_chatWindow;
    Seams m_seams;
    QString m_partner;
    bool m_partnerCanReceive = false;
    TransferWindow *m_window;
    std::map<quint32, Offer> m_offers;  // incoming transfers, by ID
    QList<QPointer<PictureWindow>> m_pictureWindows;
};

} // namespace quillet
